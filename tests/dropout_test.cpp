// Ashveil's dropout through the reference host.
#include <climits>
#include <string>
#include <vector>

#include "harness.h"

namespace zk::test {
namespace {

constexpr uint32_t kBlack = 0xFF000000;
constexpr uint32_t kWhite = 0xFFFFFFFF;

// One Ashveil instance with a source picture at every frame number it may
// ask for, rendering into an output world that starts kUntouched.
struct Dropout {
  explicit Dropout(int which, int w = 48, int h = 32, int16_t volume = 256)
      : inst(LoadedBundle("Ashveil"), int16_t(which)), picture(Spread(w, h, 3)), out(w + 8, h + 6) {
    for (int n = 0; n < 8; ++n) frames.Set(100 + n, picture, volume);
    inst.set_frame_source(&frames);
    EXPECT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    rig.Forget();
    out.Fill(kUntouched);
  }
  int Render(int32_t renderFrame, int32_t frameCount, Rect rect, bool proxy = false) {
    return inst.DoFrame(100, renderFrame, frameCount, out.get(), rect, proxy);
  }
  int Render(int32_t renderFrame, int32_t frameCount) {
    return Render(renderFrame, frameCount,
                  Rect{0, 0, int16_t(picture.height), int16_t(picture.width)});
  }
  PluginInstance inst;
  ServiceRig rig{inst};
  Image picture;
  host::MemoryFrameSource frames;
  World out;
};

// What the output must hold, worked out from the picture alone.
Image ExpectedDropout(const Image& picture, int which, int renderFrame, int frameCount, int outW,
                      int outH, int top, int left) {
  const double percent = double(frameCount - renderFrame - 1) / frameCount;
  Image expected(outW, outH, kUntouched);
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const double b = BrightnessOf(picture.at(x, y));
      // Odd variants keep the pixels darker than percent x 765, even ones
      // those brighter than (1 - percent) x 765.
      const bool kept = (which % 2 == 1) ? b < percent * 765.0 : b > (1.0 - percent) * 765.0;
      expected.at(left + x, top + y) = kept ? picture.at(x, y) : (which <= 2 ? kBlack : kWhite);
    }
  }
  return expected;
}

class DropoutVariants : public ::testing::TestWithParam<std::tuple<int, Progress>> {};

TEST_P(DropoutVariants, KeepsExactlyThePixelsOnTheVisibleSide) {
  const auto [which, progress] = GetParam();
  Dropout d(which);
  ASSERT_EQ(d.Render(progress.renderFrame, progress.frameCount), kPluginOK);
  EXPECT_IMAGE_EQ(d.out.ToImage(), ExpectedDropout(d.picture, which, progress.renderFrame,
                                             progress.frameCount, d.out.width(), d.out.height(),
                                             0, 0));
  EXPECT_EQ(d.inst.framesOnLoan(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DropoutVariants,
    ::testing::Combine(::testing::Values(1, 2, 3, 4),
                       ::testing::Values(Progress{0, 4}, Progress{1, 4}, Progress{2, 4},
                                         Progress{3, 4}, Progress{4, 4}, Progress{0, 1},
                                         Progress{0, 10}, Progress{7, 3})));

TEST(Dropout, LastFrameIsTheSolidColourAlone) {
  for (int which : {1, 2, 3, 4}) {
    Dropout d(which);
    ASSERT_EQ(d.Render(3, 4), kPluginOK);
    Image solid(d.out.width(), d.out.height(), kUntouched);
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 48; ++x) solid.at(x, y) = which <= 2 ? kBlack : kWhite;
    EXPECT_IMAGE_EQ(d.out.ToImage(), solid) << which;
    EXPECT_EQ(Trace(d.rig), (std::vector<std::string>{"GetFrame 103 48 32 1", "MixAudio 103 256",
                                                       "ReleaseFrame 103"}));
  }
}

TEST(Dropout, MidwayThresholdsSplitAtTheDocumentedBrightness) {
  // frameCount 4, renderFrame 1: both thresholds are 382.5; 0: 573.75 / 191.25.
  const struct {
    int which, renderFrame;
    unsigned lastKept, firstDropped;
  } cases[] = {{1, 1, 382, 383}, {3, 1, 382, 383}, {1, 0, 573, 574}};
  for (const auto& c : cases) {
    Image picture(2, 1);
    picture.at(0, 0) = PixelOfBrightness(c.lastKept, 0);
    picture.at(1, 0) = PixelOfBrightness(c.firstDropped, 0);
    Dropout d(c.which, 2, 1);
    d.frames.Set(100 + c.renderFrame, picture);
    ASSERT_EQ(d.Render(c.renderFrame, 4), kPluginOK);
    EXPECT_EQ(d.out.pixel(0, 0), picture.at(0, 0));
    EXPECT_EQ(d.out.pixel(1, 0), c.which <= 2 ? kBlack : kWhite);
  }
}

TEST(Dropout, FrameRectAwayFromTheOrigin) {
  Dropout d(4, 16, 12);
  const Rect rect = {5, 3, 17, 19};
  ASSERT_EQ(d.Render(1, 4, rect), kPluginOK);
  EXPECT_IMAGE_EQ(d.out.ToImage(), ExpectedDropout(d.picture, 4, 1, 4, d.out.width(), d.out.height(), 5, 3));
}

struct CallCase {
  std::string name;
  bool proxy;
  Rect rect;
  std::vector<std::pair<Service, ZKServiceResult>> faults;
  int result;
  std::vector<std::string> trace;
  bool drawn;
  DeliveryQuirk quirk = {};
};

TEST(Dropout, CallsTheServicesInOrder) {
  const Rect full = {0, 0, 32, 48};
  const CallCase cases[] = {
      {"plain", false, full, {}, kPluginOK,
       {"GetFrame 103 48 32 1", "MixAudio 103 256", "ReleaseFrame 103"}, true},
      {"proxy 32 rows", true, full, {}, kPluginOK, {"GetFrame 103 48 32 0", "ReleaseFrame 103"}, true},
      {"proxy 259 rows", true, {0, 0, 259, 4}, {}, kPluginOK,
       {"GetFrame 103 4 259 0", "ReleaseFrame 103"}, true},
      {"proxy 260 rows", true, {0, 0, 260, 4}, {}, kPluginOK,
       {"GetFrame 103 4 260 1", "ReleaseFrame 103"}, true},
      {"not proxy 259 rows", false, {0, 0, 259, 4}, {}, kPluginOK,
       {"GetFrame 103 4 259 1", "MixAudio 103 256", "ReleaseFrame 103"}, true},
      {"mix fails", false, full, {{Service::kMixAudio, kPluginFailed}}, kPluginFailed,
       {"GetFrame 103 48 32 1", "MixAudio 103 256", "ReleaseFrame 103"}, true},
      {"mix and release fail", false, full,
       {{Service::kMixAudio, kPluginFailed}, {Service::kReleaseFrame, kPluginBadParams}},
       kPluginFailed, {"GetFrame 103 48 32 1", "MixAudio 103 256", "ReleaseFrame 103"}, true},
      {"release fails", false, full, {{Service::kReleaseFrame, 0x700 | kPluginCancel}}, kPluginCancel,
       {"GetFrame 103 48 32 1", "MixAudio 103 256", "ReleaseFrame 103"}, true},
      {"get fails", false, full, {{Service::kGetFrame, kPluginCantGetNeededFrame}},
       kPluginCantGetNeededFrame, {"GetFrame 103 48 32 1"}, false},
      {"blits fail", false, full, {{Service::kBlit, kPluginFailed}}, kPluginOK,
       {"GetFrame 103 48 32 1", "MixAudio 103 256", "ReleaseFrame 103"}, true},
      {"empty rect", false, {4, 4, 4, 10}, {}, kPluginOK,
       {"GetFrame 103 6 0 1", "MixAudio 103 256", "ReleaseFrame 103"}, false},
      {"inverted rect", false, {10, 10, 4, 4}, {}, kPluginOK,
       {"GetFrame 103 -6 -6 1", "MixAudio 103 256", "ReleaseFrame 103"}, false},
      // None of an empty frame is read, so it may come without pixel memory.
      {"empty rect, no pixel memory", false, {4, 4, 4, 10}, {}, kPluginOK,
       {"GetFrame 103 6 0 1", "MixAudio 103 256", "ReleaseFrame 103"}, false, {.baseless = true}},
      {"inverted rect, no pixel memory", false, {10, 10, 4, 4}, {}, kPluginOK,
       {"GetFrame 103 -6 -6 1", "MixAudio 103 256", "ReleaseFrame 103"}, false, {.baseless = true}},
  };
  for (const CallCase& c : cases) {
    SCOPED_TRACE(c.name);
    Dropout d(1);
    for (auto [service, word] : c.faults) d.rig.InjectFault(service, 0, word);
    d.rig.set_delivery_quirk(c.quirk);
    EXPECT_EQ(d.Render(3, 4, c.rect, c.proxy), c.result);
    std::vector<std::string> trace = Trace(d.rig);
    std::erase_if(trace, [](const std::string& s) { return s.rfind("Pass", 0) == 0; });
    EXPECT_EQ(trace, c.trace);
    EXPECT_EQ(d.out.pixel(0, 0) != kUntouched, c.drawn);
    EXPECT_EQ(d.inst.framesOnLoan(), 0);
  }
}

TEST(Dropout, LeavesColoursAndLocksAsDocumented) {
  for (bool hostLocked : {false, true}) {
    Dropout d(3);
    PixMapHandle pm = GetGWorldPixMap(d.out.get());
    if (hostLocked) {
      HLock(reinterpret_cast<Handle>(pm));
      LockPixels(pm);
    }
    const SignedByte handleState = HGetState(reinterpret_cast<Handle>(pm));
    const GWorldFlags pixelState = GetPixelsState(pm);
    SetGWorld(d.out.get(), nullptr);
    const RGBColor red = {0xFFFF, 0, 0};
    RGBForeColor(&red);
    RGBBackColor(&red);
    SetGWorld(nullptr, nullptr);
    ASSERT_EQ(d.Render(1, 4), kPluginOK);
    EXPECT_EQ(HGetState(reinterpret_cast<Handle>(pm)), handleState);
    EXPECT_EQ(GetPixelsState(pm), pixelState);
    SetGWorld(d.out.get(), nullptr);
    RGBColor fore, back;
    GetForeColor(&fore);
    GetBackColor(&back);
    SetGWorld(nullptr, nullptr);
    EXPECT_EQ(fore.red + fore.green + fore.blue, 0);
    EXPECT_EQ(back.red & back.green & back.blue, 0xFFFF);
  }
}

// Frames the host should never deliver, and parameters the renderer cannot
// work with: refused, with nothing drawn and nothing left on loan.
TEST(Dropout, RefusesWhatItCannotRenderSafely) {
  const struct {
    std::string name;
    DeliveryQuirk quirk;
    int32_t startFrame, renderFrame, frameCount;
    int result;
    uint64_t getFrames;
  } cases[] = {
      {"narrower frame", {false, 1, 0, 32}, 100, 1, 4, kPluginCantGetNeededFrame, 1},
      {"shorter frame", {false, 0, 1, 32}, 100, 1, 4, kPluginCantGetNeededFrame, 1},
      {"16-bit frame", {false, 0, 0, 16}, 100, 1, 4, kPluginCantGetNeededFrame, 1},
      {"null frame", {true, 0, 0, 32}, 100, 1, 4, kPluginCantGetNeededFrame, 1},
      {"no frames", {}, 100, 0, 0, kPluginBadParams, 0},
      {"negative frames", {}, 100, 0, -4, kPluginBadParams, 0},
      {"frame -1", {}, -1, 0, 4, kPluginFailed, 0},
      {"past 32 bits", {}, INT32_MAX, 1, 4, kPluginFailed, 0},
      {"below 32 bits", {}, INT32_MIN, -1, 4, kPluginFailed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dropout d(2);
    d.rig.set_delivery_quirk(c.quirk);
    EXPECT_EQ(d.inst.DoFrame(c.startFrame, c.renderFrame, c.frameCount, d.out.get(),
                             Rect{0, 0, 32, 48}),
              c.result);
    EXPECT_IMAGE_EQ(d.out.ToImage(), Image(d.out.width(), d.out.height(), kUntouched));
    EXPECT_EQ(d.rig.CountOf(Service::kGetFrame), c.getFrames);
    EXPECT_EQ(d.rig.CountOf(Service::kReleaseFrame), c.getFrames);
    EXPECT_EQ(d.inst.framesOnLoan(), 0);
  }
}

}  // namespace
}  // namespace zk::test
