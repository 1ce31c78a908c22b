// The entry point of both bundles, driven through the reference host.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace zk::test {
namespace {

const char* const kBundles[] = {"Cindergate", "Ashveil"};

std::vector<unsigned char> BytesOf(const ZKPluginParams& p) {
  const auto* b = reinterpret_cast<const unsigned char*>(&p);
  return {b, b + sizeof p};
}

class EachBundle : public ::testing::TestWithParam<const char*> {
 protected:
  const host::Bundle& bundle() { return LoadedBundle(GetParam()); }
};

TEST_P(EachBundle, RefusesNullBlockAndOldHosts) {
  EXPECT_EQ(bundle().main()(1, nullptr), kPluginBadParams);
  PluginInstance inst(bundle(), 1);
  ServiceRig rig(inst);
  for (int16_t version : {2, 0, -1, -32768}) {
    inst.params().interfaceVersion = version;
    for (ZKPluginSelector s : {kPlugGetInfo, kPlugInitialize, kPlugTerminate, kPlugDoFrame}) {
      EXPECT_EQ(inst.Call(s), kPluginAppIsTooOld) << "version " << version;
    }
  }
  EXPECT_EQ(rig.CountOf(Service::kGetTransitionInfo) + rig.CountOf(Service::kNewPtrClear) +
                rig.CountOf(Service::kGetClipInfo),
            0u);
  for (int16_t version : {3, 32767}) {
    inst.params().interfaceVersion = version;
    EXPECT_EQ(inst.GetInfo(), kPluginOK) << "version " << version;
  }
}

TEST_P(EachBundle, UnhandledSelectorsTouchNothing) {
  PluginInstance inst(bundle(), 1);
  ServiceRig rig(inst);
  for (int selector : {0, 3, 4, 7, 9, 10, 200, 255}) {
    inst.params().selector = ZKPluginSelector(selector);
    const auto before = BytesOf(inst.params());
    EXPECT_EQ(inst.CallMain(1, &inst.params()), kPluginOK) << "selector " << selector;
    EXPECT_EQ(BytesOf(inst.params()), before) << "selector " << selector;
  }
  EXPECT_TRUE(rig.calls().empty());
}

struct SpeedCase {
  float speed;
  int32_t frames;
};

TEST_P(EachBundle, FrameCountFollowsSpeed) {
  const float inf = std::numeric_limits<float>::infinity();
  const SpeedCase cases[] = {
      {0.0f, 10},   {0.1f, 22},  {0.25f, 38},  {0.5f, 66},       {0.75f, 92},
      {1.0f, 120},  {-0.1f, 0},  {-1.0f, -100}, {std::nanf(""), 10}, {inf, 2147483646},
      {1e10f, 2147483646}, {-inf, INT32_MIN}, {-1e10f, INT32_MIN},
  };
  for (const SpeedCase& c : cases) {
    PluginInstance inst(bundle(), 1);
    inst.set_speed(c.speed);
    ASSERT_EQ(inst.GetInfo(), kPluginOK);
    EXPECT_EQ(inst.params().getInfo.framesToBeRendered, c.frames) << "speed " << c.speed;
  }
}

struct InfoCase {
  const char* bundle;
  int which;
  int pluginType;
  int32_t toBeRendered;  // -1: left as the host stored it
  int32_t before;
  int32_t after;
};

TEST(GetInfo, WritesTheFieldsOfEachVariant) {
  const InfoCase cases[] = {
      {"Cindergate", 1, 103, 66, 66, 66}, {"Cindergate", 4, 103, 66, 66, 66},
      {"Cindergate", 0, 103, -1, 33, 33}, {"Cindergate", 5, 103, -1, 33, 33},
      {"Ashveil", 2, 104, 66, 66, 0},     {"Ashveil", 3, 104, 66, 66, 0},
      {"Ashveil", 0, 103, -1, 33, 33},    {"Ashveil", -1, 103, -1, 33, 33},
  };
  for (const InfoCase& c : cases) {
    SCOPED_TRACE(std::string(c.bundle) + " variant " + std::to_string(c.which));
    PluginInstance inst(LoadedBundle(c.bundle), int16_t(c.which));
    ZKPluginParams& p = inst.params();
    std::memset(&p.getInfo, 0xAB, sizeof p.getInfo);
    std::memset(&p.getInfo2, 0xCD, sizeof p.getInfo2 + sizeof p.getInfo3 + sizeof p.getInfo4);
    p.selector = kPlugGetInfo;
    ZKPluginParams expected = p;
    ASSERT_EQ(inst.GetInfo(), kPluginOK);
    ZKPluginGetInfo& e = expected.getInfo;
    e.pluginType = ZKPluginType(c.pluginType);
    if (c.toBeRendered >= 0) e.framesToBeRendered = c.toBeRendered;
    e.takeFromClipBefore = c.before;
    e.takeFromClipAfter = c.after;
    e.minSpeedFrames = 10;
    e.maxSpeedFrames = 120;
    e.mustTakeFromSingleClips = 1;
    e.defaultFontSize = 0;
    EXPECT_EQ(BytesOf(p), BytesOf(expected));
    EXPECT_EQ(inst.transitionInfosOnLoan(), 0);
  }
}

struct TransitionFault {
  Service service;
  ZKServiceResult word;
  int result;
  bool filled;
};

TEST_P(EachBundle, TransitionInfoResultsAreHonoured) {
  const TransitionFault cases[] = {
      {Service::kGetTransitionInfo, kPluginFailed, kPluginFailed, false},
      {Service::kGetTransitionInfo, 0x12345606u, kPluginFailed, false},
      // OK with no record lent: nothing written, nothing given back.
      {Service::kGetTransitionInfo, kPluginOK, kPluginOK, false},
      {Service::kGetTransitionInfo, 0xFFFFFF00u, kPluginOK, false},
      {Service::kReleaseTransitionInfo, kPluginFailed, kPluginFailed, true},
      {Service::kReleaseTransitionInfo, 0xFFFFFF00u, kPluginOK, true},
  };
  for (const TransitionFault& c : cases) {
    PluginInstance inst(bundle(), 1);
    ServiceRig rig(inst);
    rig.InjectFault(c.service, 0, c.word);
    std::memset(&inst.params().getInfo, 0xAB, sizeof(ZKPluginGetInfo));
    EXPECT_EQ(inst.GetInfo(), c.result) << std::hex << c.word;
    EXPECT_EQ(inst.params().getInfo.framesToBeRendered, c.filled ? 66 : int32_t(0xABABABAB));
    const bool released = rig.CountOf(Service::kReleaseTransitionInfo) != 0;
    EXPECT_EQ(released, c.service == Service::kReleaseTransitionInfo);
  }
}

TEST_P(EachBundle, ClientDataLivesFromInitializeToTerminate) {
  PluginInstance inst(bundle(), 1);
  ServiceRig rig(inst);
  ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
  Ptr block = inst.params().clientData;
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x5A, 4);
  ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
  EXPECT_EQ(inst.params().clientData, block);
  uint32_t value;
  std::memcpy(&value, block, 4);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(rig.CountOf(Service::kNewPtrClear), 1u);
  EXPECT_EQ(inst.liveBlocks(), 1);

  EXPECT_EQ(inst.Call(kPlugTerminate), kPluginOK);
  EXPECT_EQ(inst.params().clientData, nullptr);
  EXPECT_EQ(inst.Call(kPlugTerminate), kPluginOK);
  EXPECT_EQ(rig.CountOf(Service::kDisposePtr), 1u);
  EXPECT_EQ(inst.liveBlocks(), 0);
  EXPECT_EQ(inst.badReleases(), 0);
  EXPECT_EQ(rig.CountOf(Service::kGetClipInfo), 2u);
  EXPECT_EQ(rig.CountOf(Service::kSetClipInfo), 2u);
}

TEST_P(EachBundle, OutOfMemoryLeavesTheInstanceUninitialised) {
  PluginInstance inst(bundle(), 1);
  ServiceRig rig(inst);
  rig.InjectFault(Service::kNewPtrClear, 0, 0);
  EXPECT_EQ(inst.Call(kPlugInitialize), kPluginOutOfMemory);
  EXPECT_EQ(inst.params().clientData, nullptr);
  host::World out(8, 8);
  EXPECT_EQ(inst.DoFrame(0, 0, 10, out.get(), {0, 0, 8, 8}), kPluginBadParams);
}

TEST_P(EachBundle, DoFrameNeedsClientDataAndAFrameBeforeTouchingThePort) {
  host::World out(8, 8), other(4, 4);
  PluginInstance inst(bundle(), 1);
  ServiceRig rig(inst);
  host::MemoryFrameSource frames;
  inst.set_frame_source(&frames);
  SetGWorld(other.get(), nullptr);
  EXPECT_EQ(inst.DoFrame(0, 0, 10, out.get(), {0, 0, 8, 8}), kPluginBadParams);
  ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
  EXPECT_EQ(inst.DoFrame(0, 0, 10, nullptr, {0, 0, 8, 8}), kPluginBadParams);
  ASSERT_EQ(inst.Call(kPlugTerminate), kPluginOK);
  EXPECT_EQ(inst.DoFrame(0, 0, 10, out.get(), {0, 0, 8, 8}), kPluginBadParams);
  CGrafPtr port;
  GDHandle device;
  GetGWorld(&port, &device);
  EXPECT_EQ(port, other.get());
  EXPECT_EQ(device, GetGWorldDevice(other.get()));
  EXPECT_EQ(rig.CountOf(Service::kGetFrame), 0u);
  SetGWorld(nullptr, nullptr);
}

TEST_P(EachBundle, DoFrameRestoresThePortWhateverTheRendererReturns) {
  host::World out(8, 8), other(4, 4);
  out.Fill(0x123456);
  host::MemoryFrameSource frames;  // empty: every GetFrame fails
  struct Case {
    int which;
    int result;
  } cases[] = {{0, kPluginOK}, {5, kPluginOK}, {-3, kPluginOK}, {1, kPluginCantGetNeededFrame},
               {4, kPluginCantGetNeededFrame}};
  for (const Case& c : cases) {
    PluginInstance inst(bundle(), int16_t(c.which));
    inst.set_frame_source(&frames);
    ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    SetGWorld(other.get(), nullptr);
    EXPECT_EQ(inst.DoFrame(0, 0, 10, out.get(), {0, 0, 8, 8}), c.result) << c.which;
    CGrafPtr port;
    GetGWorld(&port, nullptr);
    EXPECT_EQ(port, other.get());
    EXPECT_IMAGE_EQ(out.ToImage(), host::Image(8, 8, 0x123456)) << c.which;
  }
  SetGWorld(nullptr, nullptr);
}

// What strips the host's table for a case; kNoTable hands over none.
using Strip = void (*)(ZKProcs&);
constexpr Strip kNoTable = nullptr;

struct EntryCase {
  const char* name;
  ZKPluginSelector selector;
  int16_t which;
  Strip strip;
  int result;
  bool initialised = true;
  bool proxy = false;
  bool hostText = false;       // the host has a placeholder text
  bool lendsNoRecord = false;  // GetTransitionInfo succeeds without a record
};

// A missing entry is refused only where the call would use it; either way
// it is never called (a call would crash).
TEST_P(EachBundle, MissingServicesAreRefusedOnlyWhereUsed) {
  const EntryCase cases[] = {
      {"no table, first initialize", kPlugInitialize, 1, kNoTable, kPluginBadParams, false},
      {"no table, second initialize", kPlugInitialize, 1, kNoTable, kPluginOK},
      {"no table, get info", kPlugGetInfo, 1, kNoTable, kPluginBadParams},
      {"no table, placeholder", kPlugFilePlaceHolder, 1, kNoTable, kPluginBadParams},
      {"no table, terminate", kPlugTerminate, 1, kNoTable, kPluginBadParams},
      {"no table, variant 0", kPlugDoFrame, 0, kNoTable, kPluginOK},
      {"no GetFrame", kPlugDoFrame, 1, [](ZKProcs& p) { p.GetFrame = nullptr; }, kPluginBadParams},
      {"no GetFrame, variant 0", kPlugDoFrame, 0, [](ZKProcs& p) { p.GetFrame = nullptr; }, kPluginOK},
      {"no MixAudio", kPlugDoFrame, 1, [](ZKProcs& p) { p.MixAudio = nullptr; }, kPluginBadParams},
      {"no MixAudio, proxy", kPlugDoFrame, 1, [](ZKProcs& p) { p.MixAudio = nullptr; }, kPluginOK,
       true, true},
      {"no pstrcpy", kPlugFilePlaceHolder, 1, [](ZKProcs& p) { p.pstrcpy = nullptr; },
       kPluginBadParams},
      {"no pstrcpy, host text", kPlugFilePlaceHolder, 1, [](ZKProcs& p) { p.pstrcpy = nullptr; },
       kPluginOK, true, false, true},
      {"no GetTransitionInfo", kPlugGetInfo, 1, [](ZKProcs& p) { p.GetTransitionInfo = nullptr; },
       kPluginBadParams},
      {"no ReleaseTransitionInfo", kPlugGetInfo, 1,
       [](ZKProcs& p) { p.ReleaseTransitionInfo = nullptr; }, kPluginBadParams},
      {"no ReleaseTransitionInfo, no record lent", kPlugGetInfo, 1,
       [](ZKProcs& p) { p.ReleaseTransitionInfo = nullptr; }, kPluginOK, true, false, false, true},
      {"no DisposePtr", kPlugTerminate, 1, [](ZKProcs& p) { p.DisposePtr = nullptr; },
       kPluginBadParams},
  };
  host::World out(8, 8);
  host::MemoryFrameSource frames;
  frames.Set(0, Image(8, 8, Rgb(9, 9, 9)));
  frames.Set(10, Image(8, 8, Rgb(200, 200, 200)));
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    PluginInstance inst(bundle(), c.which);
    ServiceRig rig(inst);
    inst.set_frame_source(&frames);
    if (c.hostText) inst.set_localized_string("Rendering");
    if (c.lendsNoRecord) rig.InjectFault(Service::kGetTransitionInfo, 0, kPluginOK);
    if (c.initialised) {
      ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    }
    ZKPluginParams& p = inst.params();
    ZKProcs partial = host::HostProcs();
    if (c.strip != kNoTable) c.strip(partial);
    p.procs = c.strip != kNoTable ? &partial : nullptr;
    p.frame = out.get();
    p.frameRect = {0, 0, 8, 8};
    const int result = c.selector == kPlugDoFrame
                           ? inst.DoFrame(0, 0, 10, out.get(), p.frameRect, c.proxy)
                           : inst.Call(c.selector);
    EXPECT_EQ(result, c.result);
    p.procs = const_cast<ZKProcs*>(&host::HostProcs());
    SetGWorld(nullptr, nullptr);
  }
}

TEST_P(EachBundle, OnlyTheLow16BitsOfTheVariantCount) {
  // A host may pass a short in a full register with garbage above it.
  const bool ashveil = std::string(GetParam()) == "Ashveil";
  const struct {
    int which;
    int pluginType;
  } cases[] = {{0x12340003, ashveil ? 104 : 103}, {0x12340000, 103}, {0x00010005, 103},
               {int(0xFFFF0001u), ashveil ? 104 : 103}};
  for (const auto& c : cases) {
    PluginInstance inst(bundle(), 0);
    inst.params().selector = kPlugGetInfo;
    ASSERT_EQ(inst.CallMain(c.which, &inst.params()), kPluginOK);
    EXPECT_EQ(inst.params().getInfo.pluginType, c.pluginType) << std::hex << c.which;
  }
}

TEST(Terminate, AshveilSetsTheFadeOutAndNothingElse) {
  struct Case {
    const char* bundle;
    int which;
    bool fades;
  } cases[] = {{"Ashveil", 3, true},    {"Ashveil", 1, true},     {"Ashveil", 0, false},
               {"Ashveil", 5, false},   {"Cindergate", 3, false}, {"Cindergate", 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bundle) + " variant " + std::to_string(c.which));
    PluginInstance inst(LoadedBundle(c.bundle), int16_t(c.which));
    std::memset(&inst.clip_info(), 0x3C, sizeof(ZKPluginClipInfo));
    ZKPluginClipInfo expected = inst.clip_info();
    if (c.fades) {
      expected.fadeOut = 1;
      expected.ver2.fadeOutFrames = 30;
    }
    inst.params().frameCount = 30;
    ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    ASSERT_EQ(inst.Call(kPlugTerminate), kPluginOK);
    EXPECT_TRUE(inst.clipInfoWasSet());
    EXPECT_EQ(std::memcmp(&inst.clip_info(), &expected, sizeof expected), 0);
  }
}

TEST_P(EachBundle, AFailedGetClipInfoIsNotWrittenBack) {
  PluginInstance inst(bundle(), 1);
  ServiceRig rig(inst);
  ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
  rig.InjectFault(Service::kGetClipInfo, 0, kPluginFailed);
  EXPECT_EQ(inst.Call(kPlugTerminate), kPluginOK);
  EXPECT_FALSE(inst.clipInfoWasSet());
  EXPECT_EQ(rig.CountOf(Service::kSetClipInfo), 0u);
  EXPECT_EQ(inst.params().clientData, nullptr);
  EXPECT_EQ(inst.liveBlocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(Bundles, EachBundle, ::testing::ValuesIn(kBundles));

std::set<std::string> DynamicSymbols(const std::string& path) {
  std::set<std::string> names;
  FILE* pipe = popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char addr[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", addr, type, name) == 3) names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(Bundles, ExportExactlyMainAndTheSixColours) {
  const std::set<std::string> expected = {"main",      "rgbWhite", "rgbBlack",  "rgbDkGray",
                                          "rgbLtGray", "rgbGreen", "rgbReddish"};
  for (const char* name : kBundles) EXPECT_EQ(DynamicSymbols(BundlePath(name)), expected) << name;
}

TEST(Bundles, ExportTheColourValues) {
  const struct {
    const char* name;
    RGBColor color;
  } colours[] = {{"rgbWhite", {0xFFFF, 0xFFFF, 0xFFFF}}, {"rgbBlack", {0, 0, 0}},
                 {"rgbDkGray", {0x2FFF, 0x2FFF, 0x2FFF}}, {"rgbLtGray", {0x7FFF, 0x7FFF, 0x7FFF}},
                 {"rgbGreen", {0, 0x7FFF, 0}},           {"rgbReddish", {0x6FFF, 0x2FFF, 0x2FFF}}};
  for (const char* bundle : kBundles) {
    for (const auto& c : colours) {
      const RGBColor* got = LoadedBundle(bundle).Color(c.name);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(std::memcmp(got, &c.color, sizeof(RGBColor)), 0) << bundle << " " << c.name;
    }
  }
}

TEST(Bundles, EachRunsItsOwnDispatcherWhenLoadedGlobally) {
  auto cindergate = host::Bundle::Open(BundlePath("Cindergate"), /*global=*/true);
  auto ashveil = host::Bundle::Open(BundlePath("Ashveil"), /*global=*/true);
  PluginInstance a(*cindergate, 1), b(*ashveil, 1);
  ASSERT_EQ(a.GetInfo(), kPluginOK);
  ASSERT_EQ(b.GetInfo(), kPluginOK);
  EXPECT_EQ(a.params().getInfo.pluginType, kPluginTransitionBetweenType);
  EXPECT_EQ(b.params().getInfo.pluginType, kPluginTransitionAfterType);
}

TEST(Bundles, LoadingReportsWhatIsWrong) {
  const struct {
    std::string path;
    const char* says;
  } cases[] = {{"/nonexistent/X.so", "not a loadable bundle"},
               {"/etc/hostname", "not a loadable bundle"},
               {std::string(ZK_BUNDLE_DIR) + "/libzkplatform.so", "does not export main"}};
  for (const auto& c : cases) {
    try {
      host::Bundle::Open(c.path);
      ADD_FAILURE() << c.path << " loaded";
    } catch (const host::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace zk::test
