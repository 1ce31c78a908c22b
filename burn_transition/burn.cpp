// Cindergate's burns: the outgoing frame is laid down whole, then incoming
// pixels are copied over it wherever a brightness key passes.  Burn-out
// keys on the outgoing frame, burn-in on the incoming one.
#include <cstdint>

#include "burn.h"
#include "plugin_support.h"

extern "C" const RGBColor rgbBlack;
extern "C" const RGBColor rgbWhite;

namespace zk {
namespace {

// The outgoing frame's audio fades with the progress; 255 is full level.
// Saturated to 16 bits for a renderFrame past the end or a huge volume.
int16_t OutgoingMixVolume(double percent, int16_t volume) {
  const double level = (1.0 - percent) * (volume == 255 ? 256 : volume);
  if (level >= 32767.0) return 32767;
  if (level <= -32768.0) return -32768;
  return static_cast<int16_t>(level);
}

// The key of the pass: toward white keys above a falling threshold, toward
// black below a rising one.
double ThresholdFor(double percent, bool inUseWhite) {
  return inUseWhite ? (1.0 - percent) * 765.0 : percent * 765.0;
}

KeySense SenseFor(bool inUseWhite) { return inUseWhite ? KeySense::kAbove : KeySense::kBelow; }

// The outgoing frame copied whole into frameRect, then its audio mixed.
ZKPluginResult LayDownOutgoing(const ZKPluginParams& params, const HeldFrame& outgoing,
                               const PixMapLock& output, double percent) {
  const Rect dstRect = params.frameRect;
  Rect srcRect;
  GetPortBounds(outgoing.world(), &srcRect);
  ZKPluginResult result = ResultOf(
      params.procs->Blit(*outgoing.map().handle, *output.map().handle, &srcRect, &dstRect, 255));
  if (!params.proxyOnly && result == kPluginOK) {
    result = outgoing.MixAudio(OutgoingMixVolume(percent, outgoing.volume()));
  }
  return result;
}

// Both burns.  The one difference in their steps is when the outgoing
// frame goes back: burn-out keys on it, so it holds both frames through the
// pass; burn-in has no more use for it once it is laid down and gives it
// back before fetching the incoming frame, holding one frame at a time.
//
// A failed pixel copy is reported, like the failure of any other step of a
// burn, and the first failure is the result.  Ashveil's dropout drops such
// failures: its result speaks only for the frame's audio and release, and
// a lost copy there shows the colour the frame is dropping into anyway.
ZKPluginResult Burn(ZKPluginParams* params, bool burnOut, bool inUseWhite) {
  if (params->frameCount <= 0) return kPluginBadParams;
  const double percent = (double(params->renderFrame) + 1.0) / double(params->frameCount);
  const int16_t width = FrameWidth(params->frameRect);
  const int16_t height = FrameHeight(params->frameRect);
  const ZKRefDVQuality quality = QualityFor(*params, height);
  const std::optional<int32_t> frame1 = FrameNumber(params->startFrame, params->renderFrame);
  const std::optional<int32_t> frame2 =
      FrameNumber(params->startFrame, int64_t(params->renderFrame) + params->frameCount);
  if (!frame1 || *frame1 < 0 || !frame2) return kPluginFailed;

  HeldFrame outgoing(*params), incoming(*params);
  ZKPluginResult result = outgoing.Fetch(*frame1, width, height, quality);
  if (result != kPluginOK) return result;
  PixMapLock output(params->frame);
  result = LayDownOutgoing(*params, outgoing, output, percent);
  if (!burnOut) KeepFirstFailure(result, outgoing.GiveBack());

  if (result == kPluginOK) result = incoming.Fetch(*frame2, width, height, quality);
  if (incoming.held()) {
    const HeldFrame& key = burnOut ? outgoing : incoming;
    result = KeyedPixelPass(*params->procs,
                            {&key.map(), &incoming.map(), &output.map(), width, height,
                             params->frameRect.top, params->frameRect.left,
                             ThresholdFor(percent, inUseWhite), SenseFor(inUseWhite)});
    if (!params->proxyOnly && result == kPluginOK) result = incoming.MixAudio(256);
    if (burnOut) {
      RGBForeColor(&rgbBlack);
      RGBBackColor(&rgbWhite);
    }
  }
  KeepFirstFailure(result, outgoing.GiveBack());
  incoming.Unlock();
  output.Restore();
  KeepFirstFailure(result, incoming.GiveBack());
  return result;
}

}  // namespace

ZKPluginResult DoBurnOut(ZKPluginParams* params, bool inUseWhite) {
  return Burn(params, /*burnOut=*/true, inUseWhite);
}

ZKPluginResult DoBurnIn(ZKPluginParams* params, bool inUseWhite) {
  return Burn(params, /*burnOut=*/false, inUseWhite);
}

}  // namespace zk
