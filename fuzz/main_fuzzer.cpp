// Drives either bundle's main through the reference host with inputs that
// choose everything a host could get wrong: the bundle, the variant, the
// selector sequence, every field of the parameter block the plug-ins read,
// the transition speed, the services' results (with garbage in their upper
// bytes), missing services, and frames delivered null, too small or at the
// wrong depth.  After every call the host checks what a plug-in must never
// break; the sanitizers check the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "instance.h"
#include "service_rig.h"
#include "zk_plugin.h"

namespace {

using zk::host::PluginInstance;
using zk::host::Service;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
#define CHECK(cond)                 \
  do {                              \
    if (!(cond)) Broken(#cond);     \
  } while (0)

constexpr int kMaxSide = 64;  // frame sides stay small so each run is quick

// Pictures for any frame number: a pattern from the number and a seed, or
// the failure the input chose for that number.
class FuzzFrames : public zk::host::FrameSource {
 public:
  uint32_t seed = 0;
  int16_t volume = 256;
  uint8_t failEvery = 0;  // frame numbers divisible by this fail (0: none)
  ZKPluginResult failure = kPluginCantGetNeededFrame;

  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality, const zk::host::World& into) override {
    if (failEvery != 0 && uint32_t(number) % failEvery == 0) return failure;
    uint32_t state = seed ^ uint32_t(number) * 0x9E3779B9u;
    for (int y = 0; y < into.height(); ++y) {
      uint32_t* row = into.row(y);
      for (int x = 0; x < into.width(); ++x) {
        state = state * 1664525u + 1013904223u;
        row[x] = state;
      }
    }
    return kPluginOK;
  }
  int16_t VolumeOf(int32_t) override { return volume; }
};

// What the plug-in holds: each delivered frame released exactly once,
// with its pixel map restored by then.  Every result also gets the upper
// bytes the input chose, which must not matter.
struct LoanWatch {
  std::map<ZKFrameCookie, GWorldPtr> held;
  uint32_t garbage = 0;
  static inline LoanWatch* current = nullptr;

  static ZKServiceResult MixAudio(ZKPluginInstance instance, ZKFrameCookie cookie, int16_t volume) {
    return zk::host::HostProcs().MixAudio(instance, cookie, volume) | current->garbage;
  }
  static ZKServiceResult Blit(PixMapPtr src, PixMapPtr dst, const Rect* s, const Rect* d,
                              int16_t mode) {
    return zk::host::HostProcs().Blit(src, dst, s, d, mode) | current->garbage;
  }
  static ZKServiceResult GetTransitionInfo(ZKPluginInstance instance, ZKPluginTransitionInfo** info) {
    return zk::host::HostProcs().GetTransitionInfo(instance, info) | current->garbage;
  }
  static ZKServiceResult ReleaseTransitionInfo(ZKPluginInstance instance, ZKPluginTransitionInfo* info) {
    return zk::host::HostProcs().ReleaseTransitionInfo(instance, info) | current->garbage;
  }
  static ZKServiceResult GetClipInfo(ZKPluginInstance instance, int16_t clip, ZKPluginClipInfo* info) {
    return zk::host::HostProcs().GetClipInfo(instance, clip, info) | current->garbage;
  }
  static ZKServiceResult SetClipInfo(ZKPluginInstance instance, const ZKPluginClipInfo* info) {
    return zk::host::HostProcs().SetClipInfo(instance, info) | current->garbage;
  }

  static ZKServiceResult GetFrame(ZKPluginInstance instance, int32_t number, GWorldPtr* world,
                                  int16_t width, int16_t height, ZKRefDVQuality quality,
                                  int16_t* volume, ZKFrameCookie* cookie) {
    const ZKServiceResult r = zk::host::HostProcs().GetFrame(instance, number, world, width,
                                                             height, quality, volume, cookie) |
                              current->garbage;
    if ((r & 0xFF) == kPluginOK) {
      CHECK(current->held.count(*cookie) == 0);
      current->held[*cookie] = *world;
      if (*world != nullptr) {
        PixMapHandle pm = GetGWorldPixMap(*world);
        CHECK(HGetState(reinterpret_cast<Handle>(pm)) == 0 && GetPixelsState(pm) == 0);
      }
    }
    return r;
  }
  static ZKServiceResult ReleaseFrame(ZKPluginInstance instance, ZKFrameCookie cookie) {
    auto it = current->held.find(cookie);
    CHECK(it != current->held.end());  // released twice, or never lent
    if (it->second != nullptr) {
      PixMapHandle pm = GetGWorldPixMap(it->second);
      CHECK(HGetState(reinterpret_cast<Handle>(pm)) == 0 && GetPixelsState(pm) == 0);
    }
    current->held.erase(it);
    return zk::host::HostProcs().ReleaseFrame(instance, cookie) | current->garbage;
  }
};

const zk::host::Bundle& BundleNamed(bool cindergate) {
  static std::unique_ptr<zk::host::Bundle> c =
      zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/Cindergate.so");
  static std::unique_ptr<zk::host::Bundle> a =
      zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/Ashveil.so");
  return cindergate ? *c : *a;
}

// A small value from `low` up by default (an exhausted input reads as
// zeros), else one of the edges of the range, else any.
int32_t Int32(FuzzedDataProvider& in, int32_t low) {
  static const int32_t kPicks[] = {0, 1, -1, 2, 3, 4, 10, 120, INT32_MAX, INT32_MIN,
                                   INT32_MAX - 1, INT32_MIN + 1, 65535, -65536};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return low + in.ConsumeIntegralInRange<int32_t>(0, 12);
    case 1: return kPicks[in.ConsumeIntegralInRange<size_t>(0, std::size(kPicks) - 1)];
    default: return in.ConsumeIntegral<int32_t>();
  }
}

// A frame side: 1 to kMaxSide by default, down to -8 (empty or inverted).
int Side(FuzzedDataProvider& in) {
  const int v = in.ConsumeIntegralInRange<int>(0, kMaxSide + 8);
  return v < kMaxSide ? v + 1 : kMaxSide - 1 - v;
}

float Speed(FuzzedDataProvider& in) {
  static const float kPicks[] = {0.0f,
                                 0.5f,
                                 1.0f,
                                 -0.0f,
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::lowest(),
                                 std::numeric_limits<float>::denorm_min(),
                                 19522948.0f};
  if (in.ConsumeBool()) return kPicks[in.ConsumeIntegralInRange<size_t>(0, std::size(kPicks) - 1)];
  const uint32_t bits = in.ConsumeIntegral<uint32_t>();
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// A failed service's result, with the upper bytes as given.  (A service
// that succeeds does its work; the host's faults skip it, so they fail.)
ZKServiceResult ResultWord(FuzzedDataProvider& in) {
  const uint32_t upper = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>() & 0xFFFFFF00u;
  return upper | in.ConsumeIntegralInRange<uint8_t>(1, 255);
}

// The output world's bytes, padding between rows included.
std::vector<unsigned char> Snapshot(GWorldPtr world) {
  PixMapHandle pm = GetGWorldPixMap(world);
  Rect b;
  GetPortBounds(world, &b);
  const size_t bytes = size_t(GetPixRowBytes(pm)) * size_t(std::max(1, b.bottom - b.top));
  const auto* base = reinterpret_cast<const unsigned char*>(GetPixBaseAddr(pm));
  return {base, base + bytes};
}

// True when the two snapshots differ only inside rect's pixels.
bool ChangedOnlyInside(GWorldPtr world, const std::vector<unsigned char>& before,
                       const std::vector<unsigned char>& after, const Rect& rect) {
  PixMapHandle pm = GetGWorldPixMap(world);
  Rect b;
  GetPortBounds(world, &b);
  const size_t rowBytes = size_t(GetPixRowBytes(pm));
  const int w = b.right - b.left;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    const int y = int(i / rowBytes), x = int((i % rowBytes) / 4);
    if (x >= w) return false;  // row padding
    if (y < rect.top || y >= rect.bottom || x < rect.left || x >= rect.right) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool cindergate = in.ConsumeBool();
  const int whichMode = in.ConsumeIntegralInRange<int>(0, 3);
  const int which = whichMode == 0   ? in.ConsumeIntegralInRange<int>(1, 4)
                    : whichMode == 1 ? in.ConsumeIntegralInRange<int>(-1, 6)
                                     : in.ConsumeIntegral<int>();

  FuzzFrames frames;
  frames.seed = in.ConsumeIntegral<uint32_t>();
  frames.volume = in.ConsumeBool() ? 255 : in.ConsumeIntegral<int16_t>();
  frames.failEvery = in.ConsumeIntegralInRange<uint8_t>(0, 5);
  frames.failure = ZKPluginResult(in.ConsumeIntegralInRange<uint8_t>(1, 12));

  PluginInstance inst(BundleNamed(cindergate), int16_t(which));
  zk::test::ServiceRig rig(inst);
  inst.set_frame_source(&frames);
  inst.set_speed(Speed(in));
  if (in.ConsumeBool()) inst.set_localized_string(in.ConsumeRandomLengthString(40));

  // The host's table, with the loans watched and perhaps a service missing.
  ZKProcs procs = zk::host::HostProcs();
  procs.GetFrame = LoanWatch::GetFrame;
  procs.ReleaseFrame = LoanWatch::ReleaseFrame;
  procs.MixAudio = LoanWatch::MixAudio;
  procs.Blit = LoanWatch::Blit;
  procs.GetTransitionInfo = LoanWatch::GetTransitionInfo;
  procs.ReleaseTransitionInfo = LoanWatch::ReleaseTransitionInfo;
  procs.GetClipInfo = LoanWatch::GetClipInfo;
  procs.SetClipInfo = LoanWatch::SetClipInfo;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 15) {
    void* entry = nullptr;
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, sizeof(ZKProcs) / sizeof(void*) - 1);
    std::memcpy(reinterpret_cast<char*>(&procs) + slot * sizeof(void*), &entry, sizeof entry);
  }
  inst.params().procs = &procs;

  // Faults: on chosen services or on the nth call of any, and frames
  // delivered unfit for the pass.
  const int faults = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < faults; ++i) {
    const auto s = Service(in.ConsumeIntegralInRange<int>(0, int(Service::kCount) - 1));
    rig.InjectFault(s, in.ConsumeIntegralInRange<uint32_t>(0, 40), ResultWord(in));
  }
  if (in.ConsumeBool()) rig.InjectFaultAtCall(in.ConsumeIntegralInRange<uint32_t>(1, 60), ResultWord(in));
  if (in.ConsumeIntegralInRange<int>(0, 3) == 3) {
    zk::test::DeliveryQuirk q;
    q.nullWorld = in.ConsumeBool();
    q.widthShortfall = in.ConsumeIntegralInRange<int16_t>(0, 3);
    q.heightShortfall = in.ConsumeIntegralInRange<int16_t>(0, 3);
    q.depth = in.ConsumeBool() ? in.ConsumeIntegral<int16_t>() : 32;
    q.onlyCall = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    rig.set_delivery_quirk(q);
  }

  zk::host::World out(kMaxSide + 8 - in.ConsumeIntegralInRange<int>(0, kMaxSide + 7),
                      kMaxSide + 8 - in.ConsumeIntegralInRange<int>(0, kMaxSide + 7));
  out.Fill(in.ConsumeIntegral<uint32_t>());
  zk::host::World otherPort(1, 1);
  PixMapHandle outMap = GetGWorldPixMap(out.get());
  HSetState(reinterpret_cast<Handle>(outMap), in.ConsumeIntegral<SignedByte>());
  SetPixelsState(outMap, in.ConsumeIntegral<GWorldFlags>());

  LoanWatch watch;
  watch.garbage = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>() & 0xFFFFFF00u;
  LoanWatch::current = &watch;
  ZKPluginParams& p = inst.params();
  // Mostly an initialised instance asked for frames; any sequence else.
  const bool initFirst = !in.ConsumeBool();
  const int calls = in.ConsumeIntegralInRange<int>(1, 8);
  for (int call = 0; call < calls + initFirst; ++call) {
    static const ZKPluginSelector kSelectors[] = {kPlugDoFrame,   kPlugGetInfo,
                                                  kPlugInitialize, kPlugFilePlaceHolder,
                                                  kPlugTerminate,  kPlugDoFrame};
    const int pick = in.ConsumeIntegralInRange<int>(0, int(std::size(kSelectors)));
    p.selector = pick < int(std::size(kSelectors)) ? kSelectors[pick] : in.ConsumeIntegral<uint8_t>();
    if (call == 0 && initFirst) p.selector = kPlugInitialize;
    p.interfaceVersion = in.ConsumeIntegralInRange<int>(0, 7) == 7 ? in.ConsumeIntegral<int16_t>()
                                                                   : zk::host::kHostInterfaceVersion;
    p.startFrame = Int32(in, 0);
    p.renderFrame = Int32(in, 0);
    p.frameCount = Int32(in, 1);
    p.proxyOnly = in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() : 0;
    // Any origin; a width and height of at most kMaxSide, edges wrapping
    // at 16 bits as a host's arithmetic would.
    const bool farOff = in.ConsumeIntegralInRange<int>(0, 7) == 7;
    p.frameRect.top = farOff ? in.ConsumeIntegral<int16_t>() : in.ConsumeIntegralInRange<int16_t>(-4, kMaxSide);
    p.frameRect.left = farOff ? in.ConsumeIntegral<int16_t>() : in.ConsumeIntegralInRange<int16_t>(-4, kMaxSide);
    p.frameRect.bottom = int16_t(p.frameRect.top + Side(in));
    p.frameRect.right = int16_t(p.frameRect.left + Side(in));
    p.frame = in.ConsumeIntegralInRange<int>(0, 31) == 31 ? nullptr : out.get();

    const ZKPluginParams paramsBefore = p;
    std::vector<unsigned char> bytesBefore(sizeof p);
    std::memcpy(bytesBefore.data(), &p, sizeof p);
    const Ptr clientBefore = p.clientData;
    const uint64_t allocsBefore = rig.CountOf(Service::kNewPtrClear);
    const SignedByte handleBefore = HGetState(reinterpret_cast<Handle>(outMap));
    const GWorldFlags pixelsBefore = GetPixelsState(outMap);
    const std::vector<unsigned char> pixels = Snapshot(out.get());
    SetGWorld(otherPort.get(), nullptr);
    CGrafPtr portBefore, portAfter;
    GDHandle deviceBefore, deviceAfter;
    GetGWorld(&portBefore, &deviceBefore);

    const int result = inst.CallMain(which, &p);

    GetGWorld(&portAfter, &deviceAfter);
    SetGWorld(nullptr, nullptr);
    CHECK(result >= 0 && result <= 255);
    CHECK(watch.held.empty());
    CHECK(inst.framesOnLoan() == 0);
    // A table without ReleaseTransitionInfo cannot take back a record it
    // lent; the plug-in then refuses the call and the record stays out.
    CHECK(inst.transitionInfosOnLoan() == 0 || procs.ReleaseTransitionInfo == nullptr);
    CHECK(inst.badReleases() == 0);
    CHECK(HGetState(reinterpret_cast<Handle>(outMap)) == handleBefore);
    CHECK(GetPixelsState(outMap) == pixelsBefore);
    // Client data: allocated only when there was none, at most one block.
    CHECK(inst.liveBlocks() <= 1);
    if (clientBefore != nullptr) CHECK(rig.CountOf(Service::kNewPtrClear) == allocsBefore);
    CHECK((p.clientData != nullptr) == (inst.liveBlocks() == 1));
    const bool accepted = paramsBefore.interfaceVersion > 2;
    if (accepted && paramsBefore.selector == kPlugTerminate && result == kPluginOK) {
      CHECK(p.clientData == nullptr);
    }
    // The current port comes back, except after a placeholder was drawn.
    const bool drewPlaceholder =
        accepted && paramsBefore.selector == kPlugFilePlaceHolder && result == kPluginOK;
    if (drewPlaceholder) {
      CHECK(portAfter == paramsBefore.frame);
    } else {
      CHECK(portAfter == portBefore && deviceAfter == deviceBefore);
    }
    // Pixels: a frame changes nothing outside frameRect, the placeholder
    // nothing outside the world's pixels, anything else nothing at all.
    const std::vector<unsigned char> now = Snapshot(out.get());
    if (accepted && paramsBefore.selector == kPlugDoFrame) {
      CHECK(ChangedOnlyInside(out.get(), pixels, now, paramsBefore.frameRect));
    } else if (drewPlaceholder) {
      CHECK(ChangedOnlyInside(out.get(), pixels, now, Rect{-32768, -32768, 32767, 32767}));
    } else {
      CHECK(now == pixels);
    }
    // Frames, renders and the placeholder write no field of the block.
    if (paramsBefore.selector != kPlugGetInfo && paramsBefore.selector != kPlugInitialize &&
        paramsBefore.selector != kPlugTerminate) {
      CHECK(std::memcmp(bytesBefore.data(), &p, sizeof p) == 0);
    }
  }
  LoanWatch::current = nullptr;
  // Whatever the sequence, a final terminate from a sane host frees the block.
  p.interfaceVersion = zk::host::kHostInterfaceVersion;
  p.procs = const_cast<ZKProcs*>(&zk::host::HostProcs());
  rig.ClearFaults();
  p.selector = kPlugTerminate;
  CHECK(inst.CallMain(which, &p) == kPluginOK);
  CHECK(p.clientData == nullptr && inst.liveBlocks() == 0);
  return 0;
}
