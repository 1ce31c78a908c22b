/* Exports the colours of a bundle but no entry point. */
typedef struct { unsigned short red, green, blue; } Color;
const Color rgbWhite = {0xFFFF, 0xFFFF, 0xFFFF}, rgbBlack = {0, 0, 0};
const Color rgbDkGray = {0x2FFF, 0x2FFF, 0x2FFF}, rgbLtGray = {0x7FFF, 0x7FFF, 0x7FFF};
const Color rgbGreen = {0, 0x7FFF, 0}, rgbReddish = {0x6FFF, 0x2FFF, 0x2FFF};
