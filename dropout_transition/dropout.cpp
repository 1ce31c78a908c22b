// Ashveil's dropout: the clip's last frames drop out, pixel by pixel in
// order of brightness, into solid black or white.
#include <cstdint>

#include "dropout.h"
#include "plugin_support.h"

extern "C" const RGBColor rgbBlack;
extern "C" const RGBColor rgbWhite;

namespace zk {
namespace {

// Variants 1 and 2 drop into black, 3 and 4 into white; the odd ones lose
// their brightest pixels first (keep those below a falling threshold), the
// even ones their darkest (keep those above a rising one).
struct DropoutVariant {
  const RGBColor* background;
  bool keepsDark;
};

DropoutVariant VariantFor(int16_t which) {
  return {which <= 2 ? &rgbBlack : &rgbWhite, (which & 1) != 0};
}

}  // namespace

ZKPluginResult DoDropout(ZKPluginParams* params, int16_t which) {
  const ZKProcs& procs = *params->procs;
  if (params->frameCount <= 0) return kPluginBadParams;
  // The share of the transition still to come, falling to 0 on the last frame.
  const int64_t remaining = int64_t(params->frameCount) - params->renderFrame - 1;
  const double percent = double(remaining) / double(params->frameCount);
  const int16_t width = FrameWidth(params->frameRect);
  const int16_t height = FrameHeight(params->frameRect);
  const ZKRefDVQuality quality = QualityFor(*params, height);
  const std::optional<int32_t> frameNumber = FrameNumber(params->startFrame, params->renderFrame);
  if (!frameNumber || *frameNumber < 0) return kPluginFailed;

  HeldFrame source(*params);
  const ZKPluginResult got = source.Fetch(*frameNumber, width, height, quality);
  if (got != kPluginOK) return got;

  SetGWorld(params->frame, nullptr);
  PixMapLock destination(params->frame);
  const double thresholdB = (1.0 - percent) * 765.0;
  const double thresholdW = percent * 765.0;

  const DropoutVariant variant = VariantFor(which);
  RGBForeColor(variant.background);
  const Rect dstRect = params->frameRect;
  PaintRect(&dstRect);
  // A failed copy is dropped: the pixel keeps the background colour it is
  // dropping into, and the frame is still delivered (a burn reports it).
  KeyedPixelPass(procs, {&source.map(), &source.map(), &destination.map(), width, height,
                         params->frameRect.top, params->frameRect.left,
                         variant.keepsDark ? thresholdW : thresholdB,
                         variant.keepsDark ? KeySense::kBelow : KeySense::kAbove});
  RGBForeColor(&rgbBlack);
  RGBBackColor(&rgbWhite);
  source.Unlock();
  destination.Restore();

  const ZKPluginResult mixed = params->proxyOnly ? ZKPluginResult(kPluginOK) : source.MixAudio(256);
  const ZKPluginResult released = source.GiveBack();
  return mixed != kPluginOK ? mixed : released;
}

}  // namespace zk
