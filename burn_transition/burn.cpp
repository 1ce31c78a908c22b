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

// What the opening steps leave for the rest of a burn.
struct Burn {
  const ZKPluginParams* params;
  double percent;  // (renderFrame + 1) / frameCount: 1.0 on the last frame
  int16_t width;
  int16_t height;
  ZKRefDVQuality quality;
  int32_t frame2;  // the incoming frame's number
  FetchedFrame before;
  LockedPixMap outgoing;
  LockedPixMap output;
};

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

// The steps both burns share: frame numbers, the outgoing frame fetched,
// locked with the output and copied whole into frameRect, its audio mixed.
// A result other than kPluginOK before the outgoing frame was fetched means
// nothing is held; after it, burn.before and both maps are held.
ZKPluginResult BeginBurn(const ZKPluginParams& params, Burn& burn, bool& holdsOutgoing) {
  holdsOutgoing = false;
  if (params.frameCount <= 0) return kPluginBadParams;
  burn.params = &params;
  burn.percent = (double(params.renderFrame) + 1.0) / double(params.frameCount);
  burn.width = FrameWidth(params.frameRect);
  burn.height = FrameHeight(params.frameRect);
  burn.quality = QualityFor(params, burn.height);
  const std::optional<int32_t> frame1 = FrameNumber(params.startFrame, params.renderFrame);
  const std::optional<int32_t> frame2 =
      FrameNumber(params.startFrame, int64_t(params.renderFrame) + params.frameCount);
  if (!frame1 || *frame1 < 0 || !frame2) return kPluginFailed;
  burn.frame2 = *frame2;

  const ZKPluginResult got =
      FetchFrame(params, *frame1, burn.width, burn.height, burn.quality, burn.before);
  if (got != kPluginOK) return got;
  holdsOutgoing = true;

  const Rect dstRect = params.frameRect;
  Rect srcRect;
  GetPortBounds(burn.before.world, &srcRect);
  burn.outgoing = LockFramePixels(burn.before.world);
  burn.output = LockFramePixels(params.frame);
  const ZKProcs& procs = *params.procs;
  ZKPluginResult result =
      ResultOf(procs.Blit(*burn.outgoing.handle, *burn.output.handle, &srcRect, &dstRect, 255));
  if (!params.proxyOnly && result == kPluginOK) {
    result = ResultOf(procs.MixAudio(params.instance, burn.before.cookie,
                                     OutgoingMixVolume(burn.percent, burn.before.volume)));
  }
  return result;
}

ZKPluginResult ReleaseFetched(const ZKPluginParams& params, const FetchedFrame& frame) {
  return ResultOf(params.procs->ReleaseFrame(params.instance, frame.cookie));
}

ZKPluginResult MixIncoming(const ZKPluginParams& params, const FetchedFrame& after) {
  return ResultOf(params.procs->MixAudio(params.instance, after.cookie, 256));
}

}  // namespace

ZKPluginResult DoBurnOut(ZKPluginParams* params, bool inUseWhite) {
  Burn burn;
  bool holdsOutgoing;
  ZKPluginResult result = BeginBurn(*params, burn, holdsOutgoing);
  if (!holdsOutgoing) return result;

  // Both frames are held during the pass: the key is the outgoing frame.
  FetchedFrame after;
  bool haveAfter = false;
  LockedPixMap incoming{};
  if (result == kPluginOK) {
    result = FetchFrame(*params, burn.frame2, burn.width, burn.height, burn.quality, after);
    haveAfter = result == kPluginOK;
  }
  if (haveAfter) {
    incoming = LockFramePixels(after.world);
    result = KeyedPixelPass(*params->procs,
                            {&burn.outgoing, &incoming, &burn.output, burn.width, burn.height,
                             params->frameRect.top, params->frameRect.left,
                             ThresholdFor(burn.percent, inUseWhite), SenseFor(inUseWhite)});
    if (!params->proxyOnly && result == kPluginOK) result = MixIncoming(*params, after);
    RGBForeColor(&rgbBlack);
    RGBBackColor(&rgbWhite);
  }
  RestoreFramePixels(burn.outgoing);
  KeepFirstFailure(result, ReleaseFetched(*params, burn.before));
  if (haveAfter) RestoreFramePixels(incoming);
  RestoreFramePixels(burn.output);
  if (haveAfter) KeepFirstFailure(result, ReleaseFetched(*params, after));
  return result;
}

ZKPluginResult DoBurnIn(ZKPluginParams* params, bool inUseWhite) {
  Burn burn;
  bool holdsOutgoing;
  ZKPluginResult result = BeginBurn(*params, burn, holdsOutgoing);
  if (!holdsOutgoing) return result;

  // The outgoing pixels are already in the output and the key is the
  // incoming frame, so the outgoing frame goes back before the next fetch.
  RestoreFramePixels(burn.outgoing);
  KeepFirstFailure(result, ReleaseFetched(*params, burn.before));
  FetchedFrame after;
  bool haveAfter = false;
  if (result == kPluginOK) {
    result = FetchFrame(*params, burn.frame2, burn.width, burn.height, burn.quality, after);
    haveAfter = result == kPluginOK;
  }
  if (haveAfter) {
    const LockedPixMap incoming = LockFramePixels(after.world);
    result = KeyedPixelPass(*params->procs,
                            {&incoming, &incoming, &burn.output, burn.width, burn.height,
                             params->frameRect.top, params->frameRect.left,
                             ThresholdFor(burn.percent, inUseWhite), SenseFor(inUseWhite)});
    if (!params->proxyOnly && result == kPluginOK) result = MixIncoming(*params, after);
    RestoreFramePixels(incoming);
  }
  RestoreFramePixels(burn.output);
  if (haveAfter) KeepFirstFailure(result, ReleaseFetched(*params, after));
  return result;
}

}  // namespace zk
