// A bundle with the right exports that refuses every call, as one built
// for a newer host would.
#include "zk_plugin.h"

extern "C" __attribute__((visibility("default"))) int RefusingMain(int, ZKPluginParams*)
    __asm__("main");
int RefusingMain(int, ZKPluginParams*) { return kPluginAppIsTooOld; }

extern "C" {
__attribute__((visibility("default"))) extern const RGBColor rgbWhite = {0xFFFF, 0xFFFF, 0xFFFF};
__attribute__((visibility("default"))) extern const RGBColor rgbBlack = {0, 0, 0};
__attribute__((visibility("default"))) extern const RGBColor rgbDkGray = {0x2FFF, 0x2FFF, 0x2FFF};
__attribute__((visibility("default"))) extern const RGBColor rgbLtGray = {0x7FFF, 0x7FFF, 0x7FFF};
__attribute__((visibility("default"))) extern const RGBColor rgbGreen = {0, 0x7FFF, 0};
__attribute__((visibility("default"))) extern const RGBColor rgbReddish = {0x6FFF, 0x2FFF, 0x2FFF};
}
