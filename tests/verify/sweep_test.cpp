// Every host service call of a render failing in turn: the renderer must
// report the failure its rules pick, skip what those rules skip, give back
// every frame once with its pixel map restored, restore the output's locks
// and the current port, and write nothing outside frameRect.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace zk::test {
namespace {

constexpr int kW = 6, kH = 4;                  // the rendered frame
constexpr int kOutW = 11, kOutH = 9;           // the output world around it
constexpr Rect kRect = {3, 4, 3 + kH, 4 + kW};  // frameRect inside the output
constexpr int32_t kStart = 50;
constexpr int32_t kFrameCount = 4;
constexpr SignedByte kHostHandleState = 0x21;
constexpr GWorldFlags kHostPixelState = kZKPixelsLocked | 0x4;

// Pictures whose every pixel passes the keys used below: brightness 192 to
// 573 lies inside both dropout keys at frame 0 of 4 and inside both burn
// keys on the last frame.  A and B differ everywhere.
Image Picture(unsigned seed) {
  Image image(kW, kH);
  for (int i = 0; i < kW * kH; ++i) {
    image.pixels[size_t(i)] = PixelOfBrightness(200 + 15 * unsigned(i) + 7 * seed, 0x40 + i);
  }
  return image;
}

// Wraps GetFrame and ReleaseFrame to see what the plug-in holds: each
// delivered world must be released exactly once, and its pixel map must
// be back in the state it was delivered in when it goes back.
struct LoanWatch {
  struct Held {
    GWorldPtr world;
    int releases = 0;
  };
  std::map<ZKFrameCookie, Held> held;
  int unknownReleases = 0;
  int releasedLocked = 0;

  static inline LoanWatch* current = nullptr;

  static ZKServiceResult GetFrame(ZKPluginInstance instance, int32_t number, GWorldPtr* world,
                                  int16_t width, int16_t height, ZKRefDVQuality quality,
                                  int16_t* volume, ZKFrameCookie* cookie) {
    const ZKServiceResult r =
        host::HostProcs().GetFrame(instance, number, world, width, height, quality, volume, cookie);
    if ((r & 0xFF) == kPluginOK) current->held[*cookie] = {*world};
    return r;
  }
  static ZKServiceResult ReleaseFrame(ZKPluginInstance instance, ZKFrameCookie cookie) {
    auto it = current->held.find(cookie);
    if (it == current->held.end() || it->second.releases > 0) {
      ++current->unknownReleases;
    } else {
      ++it->second.releases;
      PixMapHandle pm = GetGWorldPixMap(it->second.world);
      if (HGetState(reinterpret_cast<Handle>(pm)) != 0 || GetPixelsState(pm) != 0) {
        ++current->releasedLocked;
      }
    }
    return host::HostProcs().ReleaseFrame(instance, cookie);
  }
};

struct Scenario {
  const char* bundle;
  int which;
  bool proxy;
};

std::string NameOf(const Scenario& s) {
  return std::string(s.bundle) + "_" + std::to_string(s.which) + (s.proxy ? "_proxy" : "");
}
std::string Name(const ::testing::TestParamInfo<Scenario>& info) { return NameOf(info.param); }
void PrintTo(const Scenario& s, std::ostream* os) { *os << NameOf(s); }

// One render of the scenario's frame, with the fault (if any) on the nth
// recorded service call.
struct Render {
  explicit Render(const Scenario& s, uint32_t nth = 0, ZKServiceResult fault = 0)
      : burn(std::string(s.bundle) == "Cindergate"),
        a(Picture(1)),
        b(Picture(2)),
        out(kOutW, kOutH),
        port(2, 2),
        inst(LoadedBundle(s.bundle), int16_t(s.which)) {
    for (int r = 0; r < 2 * kFrameCount; ++r) frames.Set(kStart + r, r < kFrameCount ? a : b, 255);
    inst.set_frame_source(&frames);
    EXPECT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    procs = host::HostProcs();
    procs.GetFrame = LoanWatch::GetFrame;
    procs.ReleaseFrame = LoanWatch::ReleaseFrame;
    inst.params().procs = &procs;

    out.Fill(kUntouched);
    outMap = GetGWorldPixMap(out.get());
    HSetState(reinterpret_cast<Handle>(outMap), kHostHandleState);
    SetPixelsState(outMap, kHostPixelState);

    rig.Forget();
    if (nth != 0) rig.InjectFaultAtCall(nth, fault);
    LoanWatch::current = &watch;
    SetGWorld(port.get(), nullptr);
    GetGWorld(&portBefore, &deviceBefore);
    // Burn: the last frame (every key passes); dropout: the first.
    result = inst.DoFrame(kStart, burn ? kFrameCount - 1 : 0, kFrameCount, out.get(), kRect, s.proxy);
    GetGWorld(&portAfter, &deviceAfter);
    SetGWorld(nullptr, nullptr);
    LoanWatch::current = nullptr;
  }

  bool burn;
  Image a, b;
  host::MemoryFrameSource frames;
  World out, port;
  ZKProcs procs;
  LoanWatch watch;
  PluginInstance inst;  // after the rest: its destructor still calls the plug-in
  ServiceRig rig{inst};
  PixMapHandle outMap;
  CGrafPtr portBefore, portAfter;
  GDHandle deviceBefore, deviceAfter;
  int result;
};

// Calls as lines, so that a difference reads as one.
std::vector<std::string> Lines(const std::vector<ServiceCall>& calls) {
  std::vector<std::string> lines;
  for (const ServiceCall& c : calls) {
    std::string line = host::ServiceName(c.service);
    for (int64_t a : c.args) line += " " + std::to_string(a);
    lines.push_back(line);
  }
  return lines;
}

bool IsPixelBlit(const ServiceCall& c) {
  return c.service == Service::kBlit && c.args[2] - c.args[0] == 1 && c.args[3] - c.args[1] == 1;
}

// The calls a renderer makes when call k (0-based) of the clean run fails.
// Cindergate keeps the first failure and from then on only finishes the
// keyed pass it is in and gives back what it holds, in the order it got
// it.  Ashveil ignores a failed pixel copy, still gives the frame back
// after a failed MixAudio, and stops at a failed GetFrame.
std::vector<ServiceCall> ExpectedCalls(bool burn, const std::vector<ServiceCall>& clean, size_t k) {
  const ServiceCall& failed = clean[k];
  if (!burn && failed.service != Service::kGetFrame) return clean;
  std::vector<ServiceCall> calls(clean.begin(), clean.begin() + long(k) + 1);
  std::vector<int64_t> heldFrames;
  for (size_t i = 0; i < k; ++i) {
    if (clean[i].service == Service::kGetFrame) heldFrames.push_back(clean[i].args[0]);
    if (clean[i].service == Service::kReleaseFrame) std::erase(heldFrames, clean[i].args[0]);
  }
  // A failed release still gives the frame back.
  if (failed.service == Service::kReleaseFrame) std::erase(heldFrames, failed.args[0]);
  if (IsPixelBlit(failed)) {
    for (size_t next = k + 1; next < clean.size() && IsPixelBlit(clean[next]); ++next) {
      calls.push_back(clean[next]);
    }
  }
  for (int64_t number : heldFrames) calls.push_back({Service::kReleaseFrame, {number}});
  return calls;
}

// Cindergate reports every failure; Ashveil every one but a pixel copy's.
ZKPluginResult ExpectedResult(bool burn, const ServiceCall& failed, ZKServiceResult fault) {
  if (!burn && failed.service == Service::kBlit) return kPluginOK;
  return ZKPluginResult(fault & 0xFF);
}

class FailureSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FailureSweep, EachCallFailingInTurn) {
  const Render clean(GetParam());
  ASSERT_EQ(clean.result, kPluginOK);
  const std::vector<ServiceCall> cleanCalls = clean.rig.calls();
  const Image cleanOut = clean.out.ToImage();
  ASSERT_GE(cleanCalls.size(), 3u);

  for (size_t k = 0; k < cleanCalls.size(); ++k) {
    const ServiceCall& failing = cleanCalls[k];
    std::vector<ZKServiceResult> faults = {0xA5A5A500u | kPluginFailed};
    if (failing.service == Service::kGetFrame) faults.push_back(0xFF00u | kPluginCantGetNeededFrame);
    for (ZKServiceResult fault : faults) {
      SCOPED_TRACE("call " + std::to_string(k + 1) + " (" + host::ServiceName(failing.service) +
                   ") fails with " + std::to_string(fault & 0xFF));
      const Render run(GetParam(), uint32_t(k + 1), fault);
      EXPECT_EQ(run.result, ExpectedResult(run.burn, failing, fault));
      EXPECT_EQ(Lines(run.rig.calls()), Lines(ExpectedCalls(run.burn, cleanCalls, k)));

      // Everything lent is back, every lock as it was.
      EXPECT_EQ(run.inst.framesOnLoan(), 0);
      EXPECT_EQ(run.inst.badReleases(), 0);
      EXPECT_EQ(run.watch.unknownReleases, 0);
      EXPECT_EQ(run.watch.releasedLocked, 0);
      for (const auto& [cookie, held] : run.watch.held) EXPECT_EQ(held.releases, 1);
      EXPECT_EQ(run.inst.liveBlocks(), 1);
      EXPECT_EQ(HGetState(reinterpret_cast<Handle>(run.outMap)), kHostHandleState);
      EXPECT_EQ(GetPixelsState(run.outMap), kHostPixelState);
      EXPECT_EQ(run.portAfter, run.portBefore);
      EXPECT_EQ(run.deviceAfter, run.deviceBefore);

      // The output: untouched outside frameRect; inside, what the clean
      // run drew, short of what the failure prevented.
      const Image got = run.out.ToImage();
      Image want = cleanOut;
      const bool drewNothing =
          run.burn ? (failing.service == Service::kBlit && !IsPixelBlit(failing)) ||
                         (failing.service == Service::kGetFrame && k == 0)
                   : failing.service == Service::kGetFrame;
      const bool passRan = std::any_of(run.rig.calls().begin(), run.rig.calls().end(), IsPixelBlit);
      for (int y = 0; y < kOutH; ++y) {
        for (int x = 0; x < kOutW; ++x) {
          const bool inside = y >= kRect.top && y < kRect.bottom && x >= kRect.left && x < kRect.right;
          if (!inside || drewNothing) {
            want.at(x, y) = kUntouched;
          } else if (run.burn && !passRan) {
            want.at(x, y) = run.a.at(x - kRect.left, y - kRect.top);  // the outgoing frame alone
          }
        }
      }
      if (IsPixelBlit(failing)) {
        // The one failed copy left its pixel as it was before the pass.
        const int x = int(failing.args[5]), y = int(failing.args[4]);
        EXPECT_NE(got.at(x, y), cleanOut.at(x, y));
        want.at(x, y) = got.at(x, y);
      }
      EXPECT_IMAGE_EQ(got, want);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Renderers, FailureSweep,
    ::testing::Values(Scenario{"Cindergate", 1, false}, Scenario{"Cindergate", 2, false},
                      Scenario{"Cindergate", 3, false}, Scenario{"Cindergate", 4, false},
                      Scenario{"Cindergate", 1, true}, Scenario{"Cindergate", 2, true},
                      Scenario{"Cindergate", 3, true}, Scenario{"Cindergate", 4, true},
                      Scenario{"Ashveil", 1, false}, Scenario{"Ashveil", 2, false},
                      Scenario{"Ashveil", 3, false}, Scenario{"Ashveil", 4, false},
                      Scenario{"Ashveil", 1, true}, Scenario{"Ashveil", 2, true},
                      Scenario{"Ashveil", 3, true}, Scenario{"Ashveil", 4, true}),
    Name);

// The dispatcher's own service calls failing in turn.
TEST(FailureSweep, DispatcherCalls) {
  const struct {
    const char* bundle;
    ZKPluginSelector selector;
    Service failing;
    int result;
    bool infoWritten;
    int blocksAfter;
  } cases[] = {
      {"Cindergate", kPlugGetInfo, Service::kGetTransitionInfo, kPluginFailed, false, 1},
      {"Cindergate", kPlugGetInfo, Service::kReleaseTransitionInfo, kPluginFailed, true, 1},
      {"Ashveil", kPlugGetInfo, Service::kGetTransitionInfo, kPluginFailed, false, 1},
      {"Ashveil", kPlugGetInfo, Service::kReleaseTransitionInfo, kPluginFailed, true, 1},
      {"Cindergate", kPlugTerminate, Service::kGetClipInfo, kPluginOK, false, 0},
      {"Cindergate", kPlugTerminate, Service::kSetClipInfo, kPluginOK, false, 0},
      {"Ashveil", kPlugTerminate, Service::kGetClipInfo, kPluginOK, false, 0},
      {"Ashveil", kPlugTerminate, Service::kSetClipInfo, kPluginOK, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bundle) + " selector " + std::to_string(c.selector) + " " +
                 host::ServiceName(c.failing));
    PluginInstance inst(LoadedBundle(c.bundle), 2);
    ServiceRig rig(inst);
    ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    inst.params().getInfo.framesToBeRendered = -7;
    rig.InjectFault(c.failing, 1, 0x1234500u | kPluginFailed);
    EXPECT_EQ(inst.Call(c.selector), c.result);
    EXPECT_EQ(inst.params().getInfo.framesToBeRendered, c.infoWritten ? 66 : -7);
    EXPECT_EQ(inst.transitionInfosOnLoan(), 0);
    EXPECT_EQ(inst.liveBlocks(), c.blocksAfter);
    EXPECT_EQ(inst.params().clientData == nullptr, c.blocksAfter == 0);
    EXPECT_EQ(inst.badReleases(), 0);
  }
  for (const char* bundle : {"Cindergate", "Ashveil"}) {
    PluginInstance inst(LoadedBundle(bundle), 1);
    ServiceRig rig(inst);
    rig.InjectFault(Service::kNewPtrClear, 1, kPluginFailed);
    EXPECT_EQ(inst.Call(kPlugInitialize), kPluginOutOfMemory);
    EXPECT_EQ(inst.params().clientData, nullptr);
    EXPECT_EQ(inst.liveBlocks(), 0);
  }
}

}  // namespace
}  // namespace zk::test
