// The selector dispatcher that both bundles run, parameterised by a table.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "plugin_support.h"
#include "zk_plugin_layout.h"

namespace zk {
namespace {

constexpr int32_t kMinSpeedFrames = 10;
constexpr int32_t kMaxSpeedFrames = 120;
constexpr int32_t kClientDataSize = 4;

ZKPluginResult GetInfo(const BundleTable& table, int16_t which, ZKPluginParams* params) {
  if (!Offers(*params, &ZKProcs::GetTransitionInfo)) return kPluginBadParams;
  const ZKProcs* procs = params->procs;
  ZKPluginTransitionInfo* transitionInfo = nullptr;
  const ZKPluginResult got = ResultOf(procs->GetTransitionInfo(params->instance, &transitionInfo));
  if (got != kPluginOK) return got;
  if (transitionInfo == nullptr) return kPluginOK;
  // A record that cannot be given back is not read either.
  if (!Offers(*params, &ZKProcs::ReleaseTransitionInfo)) return kPluginBadParams;

  const int32_t frameCount = FrameCountForSpeed(transitionInfo->speed);
  ZKPluginGetInfo& info = params->getInfo;
  info.defaultFontSize = 0;
  if (IsVariant(which)) {
    info.pluginType = table.variantPluginType;
    info.framesToBeRendered = frameCount;
    info.takeFromClipBefore = frameCount;
    info.takeFromClipAfter = table.takesFromClipAfter ? frameCount : 0;
  } else {
    info.pluginType = kPluginTransitionBetweenType;
    info.takeFromClipBefore = frameCount / 2;
    info.takeFromClipAfter = frameCount / 2;
  }
  info.minSpeedFrames = kMinSpeedFrames;
  info.maxSpeedFrames = kMaxSpeedFrames;
  info.mustTakeFromSingleClips = 1;
  return ResultOf(procs->ReleaseTransitionInfo(params->instance, transitionInfo));
}

ZKPluginResult Initialize(ZKPluginParams* params) {
  if (params->clientData == nullptr) {
    if (!Offers(*params, &ZKProcs::NewPtrClear)) return kPluginBadParams;
    params->clientData = params->procs->NewPtrClear(kClientDataSize);
    if (params->clientData == nullptr) return kPluginOutOfMemory;
  }
  const uint32_t zero = 0;
  std::memcpy(params->clientData, &zero, sizeof zero);
  return kPluginOK;
}

// What either renderer calls: frames, copies, and the mixer unless the
// render is a proxy.
bool OffersRenderServices(const ZKPluginParams& params) {
  return Offers(params, &ZKProcs::GetFrame, &ZKProcs::ReleaseFrame, &ZKProcs::Blit) &&
         (params.proxyOnly || Offers(params, &ZKProcs::MixAudio));
}

ZKPluginResult DoFrame(const BundleTable& table, int16_t which, ZKPluginParams* params) {
  if (params->clientData == nullptr || params->frame == nullptr) return kPluginBadParams;
  const bool renders = IsVariant(which);
  if (renders && !OffersRenderServices(*params)) return kPluginBadParams;
  CGrafPtr oldPort = nullptr;
  GDHandle oldGD = nullptr;
  GetGWorld(&oldPort, &oldGD);
  SetGWorld(params->frame, nullptr);
  const ZKPluginResult result = renders ? table.render(params, which) : ZKPluginResult(kPluginOK);
  SetGWorld(oldPort, oldGD);
  return result;
}

ZKPluginResult Terminate(const BundleTable& table, int16_t which, ZKPluginParams* params) {
  if (!Offers(*params, &ZKProcs::GetClipInfo, &ZKProcs::SetClipInfo) ||
      (params->clientData != nullptr && !Offers(*params, &ZKProcs::DisposePtr))) {
    return kPluginBadParams;
  }
  const ZKProcs* procs = params->procs;
  // A record that GetClipInfo did not fill holds nothing of the host's, so
  // it is not handed back.
  ZKPluginClipInfo clipInfo;
  std::memset(&clipInfo, 0, sizeof clipInfo);
  if (ResultOf(procs->GetClipInfo(params->instance, 1, &clipInfo)) == kPluginOK) {
    if (table.setsFadeOutAtTerminate && IsVariant(which)) {
      clipInfo.fadeOut = 1;
      clipInfo.ver2.fadeOutFrames = params->frameCount;
    }
    procs->SetClipInfo(params->instance, &clipInfo);
  }
  if (params->clientData != nullptr) {
    procs->DisposePtr(params->clientData);
    params->clientData = nullptr;
  }
  return kPluginOK;
}

}  // namespace

int32_t FrameCountForSpeed(float speed) {
  // Each step rounded to single precision on its own: no fused multiply-add.
  const float scaled = speed * 110.0f;
  const float frames = scaled + 10.0f;
  int32_t count;
  if (std::isnan(frames)) {
    count = kMinSpeedFrames;
  } else if (frames >= 2147483648.0f) {
    count = INT32_MAX;
  } else if (frames <= -2147483648.0f) {
    count = INT32_MIN;
  } else {
    count = static_cast<int32_t>(frames);  // truncation toward zero
  }
  if (count & 1) count = (count == INT32_MAX) ? INT32_MAX - 1 : count + 1;
  return count;
}

std::optional<int32_t> FrameNumber(int32_t startFrame, int64_t offset) {
  const int64_t number = int64_t(startFrame) + offset;
  if (number < INT32_MIN || number > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(number);
}

int DispatchMain(const BundleTable& table, int which, ZKPluginParams* params) {
  if (params == nullptr) return kPluginBadParams;
  if (params->interfaceVersion <= 2) return kPluginAppIsTooOld;
  const auto variant = static_cast<int16_t>(which & 0xFFFF);
  const ZKPluginSelector selector = params->selector;
  const bool handled = selector == kPlugGetInfo || selector == kPlugInitialize ||
                       selector == kPlugFilePlaceHolder || selector == kPlugDoFrame ||
                       selector == kPlugTerminate;
  if (!handled) return kPluginOK;
  switch (selector) {
    case kPlugGetInfo: return GetInfo(table, variant, params);
    case kPlugInitialize: return Initialize(params);
    case kPlugFilePlaceHolder: return DrawPlaceholder(params);
    case kPlugDoFrame: return DoFrame(table, variant, params);
    default: return Terminate(table, variant, params);
  }
}

}  // namespace zk
