// The six colour constants every bundle exports.
#include "zk_graphics.h"

#define ZK_EXPORT __attribute__((visibility("default")))

extern "C" {
ZK_EXPORT extern const RGBColor rgbWhite = {0xFFFF, 0xFFFF, 0xFFFF};
ZK_EXPORT extern const RGBColor rgbBlack = {0, 0, 0};
ZK_EXPORT extern const RGBColor rgbDkGray = {0x2FFF, 0x2FFF, 0x2FFF};
ZK_EXPORT extern const RGBColor rgbLtGray = {0x7FFF, 0x7FFF, 0x7FFF};
ZK_EXPORT extern const RGBColor rgbGreen = {0, 0x7FFF, 0};
ZK_EXPORT extern const RGBColor rgbReddish = {0x6FFF, 0x2FFF, 0x2FFF};
}
