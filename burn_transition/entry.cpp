// Cindergate: a transition between two clips.
#include "burn.h"
#include "plugin_support.h"

namespace {

// Variant 1 burns in from bright, 2 from dark, 3 burns out from bright,
// 4 from dark.
ZKPluginResult RenderBurn(ZKPluginParams* params, int16_t which) {
  const bool inUseWhite = (which & 1) != 0;
  return which <= 2 ? zk::DoBurnIn(params, inUseWhite) : zk::DoBurnOut(params, inUseWhite);
}

const zk::BundleTable kCindergate = {
    .variantPluginType = kPluginTransitionBetweenType,
    .takesFromClipAfter = true,
    .setsFadeOutAtTerminate = false,
    .render = RenderBurn,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int CindergateMain(int which,
                                                                     ZKPluginParams* params)
    __asm__("main");

int CindergateMain(int which, ZKPluginParams* params) {
  return zk::DispatchMain(kCindergate, which, params);
}
