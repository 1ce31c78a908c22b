// Ashveil: a transition at the end of one clip.
#include "dropout.h"
#include "plugin_support.h"

namespace {

const zk::BundleTable kAshveil = {
    .variantPluginType = kPluginTransitionAfterType,
    .takesFromClipAfter = false,
    .setsFadeOutAtTerminate = true,
    .render = zk::DoDropout,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int AshveilMain(int which, ZKPluginParams* params)
    __asm__("main");

int AshveilMain(int which, ZKPluginParams* params) {
  return zk::DispatchMain(kAshveil, which, params);
}
