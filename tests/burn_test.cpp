// Cindergate's burn-out and burn-in through the reference host.
#include <climits>
#include <string>
#include <vector>

#include "harness.h"

namespace zk::test {
namespace {

constexpr int32_t kStart = 100;

// One Cindergate instance over an outgoing picture A (frames kStart..) and
// an incoming picture B (frames kStart + frameCount ..), rendering into an
// output world that starts kUntouched.
struct BurnFixture {
  BurnFixture(int which, int32_t frameCount, int w = 48, int h = 32, int16_t volumeA = 256,
              int16_t volumeB = 256)
      : inst(LoadedBundle("Cindergate"), int16_t(which)),
        a(Spread(w, h, 1)),
        b(Spread(w, h, 2)),
        out(w + 6, h + 4),
        count(frameCount) {
    // On the host's timeline A's frames come first, then B's.
    for (int r = 0; r < frameCount; ++r) frames.Set(kStart + r, a, volumeA);
    for (int r = 0; r < 12; ++r) frames.Set(kStart + frameCount + r, b, volumeB);
    inst.set_frame_source(&frames);
    EXPECT_EQ(inst.Call(kPlugInitialize), kPluginOK);
    rig.Forget();
    out.Fill(kUntouched);
  }
  Rect Full() const { return Rect{0, 0, int16_t(a.height), int16_t(a.width)}; }
  int Render(int32_t renderFrame, bool proxy = false) {
    return inst.DoFrame(kStart, renderFrame, count, out.get(), Full(), proxy);
  }
  PluginInstance inst;
  ServiceRig rig{inst};
  Image a, b;
  host::MemoryFrameSource frames;
  World out;
  int32_t count;
};

// The output worked out from the two pictures alone: A everywhere, and B
// where the key (A for burn-out, variants 3 and 4; B for burn-in) lies
// beyond the threshold.
Image ExpectedBurn(const Image& a, const Image& b, int which, int renderFrame, int frameCount,
                   int outW, int outH, int top, int left) {
  const double percent = (renderFrame + 1.0) / frameCount;
  const bool white = which % 2 == 1;
  Image expected(outW, outH, kUntouched);
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      const double key = BrightnessOf(which >= 3 ? a.at(x, y) : b.at(x, y));
      const bool burnt = white ? key > (1.0 - percent) * 765.0 : key < percent * 765.0;
      expected.at(left + x, top + y) = burnt ? b.at(x, y) : a.at(x, y);
    }
  }
  return expected;
}

class BurnVariants : public ::testing::TestWithParam<std::tuple<int, Progress>> {};

TEST_P(BurnVariants, OutputIsTheOutgoingFrameWithTheKeyedIncomingPixels) {
  const auto [which, progress] = GetParam();
  BurnFixture f(which, progress.frameCount);
  ASSERT_EQ(f.Render(progress.renderFrame), kPluginOK);
  EXPECT_IMAGE_EQ(f.out.ToImage(), ExpectedBurn(f.a, f.b, which, progress.renderFrame,
                                          progress.frameCount, f.out.width(), f.out.height(), 0, 0));
  EXPECT_EQ(f.inst.framesOnLoan(), 0);
  EXPECT_LE(f.inst.maxFramesOnLoan(), which <= 2 ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(Table, BurnVariants,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4),
                                            ::testing::Values(Progress{0, 10}, Progress{0, 3},
                                                              Progress{1, 4}, Progress{9, 10},
                                                              Progress{0, 1}, Progress{5, 12})));

// The thresholds at their edges: with frameCount 3 at frame 0 the white
// threshold is 510.00000000000006 and the black one exactly 255.
TEST(Burn, ThresholdEdgesAreStrict) {
  const struct {
    int which, renderFrame, frameCount;
    unsigned keptKey, burntKey;
  } cases[] = {{3, 0, 3, 510, 511},  {4, 0, 3, 255, 254}, {1, 0, 3, 510, 511},
               {2, 0, 3, 255, 254},  {3, 0, 10, 688, 689}, {4, 0, 10, 77, 76},
               {3, 9, 10, 0, 1},     {4, 9, 10, 765, 764}};
  for (const auto& c : cases) {
    SCOPED_TRACE("variant " + std::to_string(c.which) + " frame " + std::to_string(c.renderFrame) +
                 " of " + std::to_string(c.frameCount));
    BurnFixture f(c.which, c.frameCount, 2, 1);
    Image a(2, 1), b(2, 1, Rgb(1, 2, 3));
    Image& key = c.which >= 3 ? a : b;
    key.at(0, 0) = PixelOfBrightness(c.keptKey, 9);
    key.at(1, 0) = PixelOfBrightness(c.burntKey, 9);
    f.frames.Set(kStart + c.renderFrame, a);
    f.frames.Set(kStart + c.renderFrame + c.frameCount, b);
    ASSERT_EQ(f.Render(c.renderFrame), kPluginOK);
    EXPECT_EQ(f.out.pixel(0, 0), a.at(0, 0));
    EXPECT_EQ(f.out.pixel(1, 0), b.at(1, 0));
  }
}

TEST(Burn, MixesTheOutgoingAudioFadingAndTheIncomingAtFullLevel) {
  const struct {
    int renderFrame, frameCount;
    int16_t volumeA, volumeB, outgoing;
  } cases[] = {{1, 4, 255, 17, 128},   {0, 10, 200, 256, 180}, {0, 3, 100, 255, 66},
               {9, 10, 256, 256, 0},   {0, 1, 256, 0, 0},      {0, 2, -100, 256, -50},
               {199, 1, 32767, 256, -32768}, {-50, 1, 32767, 256, 32767}};
  for (int which : {1, 3}) {
    for (const auto& c : cases) {
      SCOPED_TRACE("frame " + std::to_string(c.renderFrame) + " of " + std::to_string(c.frameCount));
      BurnFixture f(which, c.frameCount, 4, 4, c.volumeA, c.volumeB);
      f.frames.Set(kStart + c.renderFrame, f.a, c.volumeA);
      f.frames.Set(kStart + c.renderFrame + c.frameCount, f.b, c.volumeB);
      ASSERT_EQ(f.Render(c.renderFrame), kPluginOK);
      const std::vector<host::AudioMix> expected = {
          {kStart + c.renderFrame, c.outgoing}, {kStart + c.renderFrame + c.frameCount, 256}};
      EXPECT_EQ(f.inst.mixes(), expected);
    }
  }
}

TEST(Burn, ProxyMixesNothingAndAsksLowQualityOnlyWhenSmall) {
  const struct {
    bool proxy;
    int16_t height;
    int quality;
  } cases[] = {{true, 259, 0}, {true, 260, 1}, {false, 259, 1}, {false, 4, 1}, {true, 4, 0}};
  for (int which : {2, 4}) {
    for (const auto& c : cases) {
      BurnFixture f(which, 10, 3, c.height);
      ASSERT_EQ(f.inst.DoFrame(kStart, 3, 10, f.out.get(), Rect{0, 0, c.height, 3}, c.proxy),
                kPluginOK);
      EXPECT_TRUE(f.inst.mixes().empty() == c.proxy);
      const std::string h = std::to_string(c.height), q = std::to_string(c.quality);
      EXPECT_EQ(Trace(f.rig).front(), "GetFrame 103 3 " + h + " " + q);
    }
  }
}

TEST(Burn, FrameRectAwayFromTheOrigin) {
  for (int which : {1, 2, 3, 4}) {
    BurnFixture f(which, 4, 16, 12);
    ASSERT_EQ(f.inst.DoFrame(kStart, 1, 4, f.out.get(), Rect{3, 5, 15, 21}), kPluginOK);
    EXPECT_IMAGE_EQ(f.out.ToImage(), ExpectedBurn(f.a, f.b, which, 1, 4, f.out.width(), f.out.height(), 3, 5));
  }
}

// A frameRect without pixels, or partly off the 22 x 16 output world, runs
// every step and succeeds: what cannot be copied is a copy of nothing.
// Frames without pixels need no pixel memory either.
TEST(Burn, EmptyAndOverhangingFrameRectsRunEveryStep) {
  const struct {
    Rect rect;
    bool baseless;
  } cases[] = {{{3, 5, 3, 21}, true}, {{3, 5, 15, 5}, true}, {{15, 21, 3, 5}, true},
               {{10, 12, 22, 28}, false}, {{-4, -6, 8, 10}, false}};
  for (const auto& c : cases) {
    for (int which : {1, 3}) {
      const int w = c.rect.right - c.rect.left, h = c.rect.bottom - c.rect.top;
      SCOPED_TRACE("variant " + std::to_string(which) + ", " + std::to_string(w) + " x " +
                   std::to_string(h) + " at " + std::to_string(c.rect.left) + "," +
                   std::to_string(c.rect.top));
      BurnFixture f(which, 4, std::max(w, 1), std::max(h, 1));
      f.rig.set_delivery_quirk({.baseless = c.baseless});
      f.out = World(22, 16);
      f.out.Fill(kUntouched);
      EXPECT_EQ(f.inst.DoFrame(kStart, 1, 4, f.out.get(), c.rect), kPluginOK);
      std::vector<std::string> trace = Trace(f.rig);
      std::erase_if(trace, [](const std::string& s) { return s.rfind("Pass", 0) == 0; });
      const std::string size = " " + std::to_string(w) + " " + std::to_string(h) + " 1";
      const std::vector<std::string> burnIn = {"GetFrame 101" + size, "Blit whole", "MixAudio 101 128",
                                               "ReleaseFrame 101", "GetFrame 105" + size,
                                               "MixAudio 105 256", "ReleaseFrame 105"};
      const std::vector<std::string> burnOut = {"GetFrame 101" + size, "Blit whole", "MixAudio 101 128",
                                                "GetFrame 105" + size, "MixAudio 105 256",
                                                "ReleaseFrame 101", "ReleaseFrame 105"};
      EXPECT_EQ(trace, which == 1 ? burnIn : burnOut);
      // The output shows the part of the render that lies on the world.
      const Image whole = ExpectedBurn(f.a, f.b, which, 1, 4, 40, 40, c.rect.top + 6, c.rect.left + 6);
      Image expected(22, 16, kUntouched);
      for (int y = 0; y < 16 && w > 0 && h > 0; ++y)
        for (int x = 0; x < 22; ++x) expected.at(x, y) = whole.at(x + 6, y + 6);
      EXPECT_IMAGE_EQ(f.out.ToImage(), expected);
    }
  }
}

struct FailureRow {
  std::string name;
  int which;
  Service service;
  uint32_t nth;
  ZKServiceResult word;
  int result;
  std::vector<std::string> trace;
  char shows;  // 'A' outgoing frame, 'X' the full render, 'U' untouched
};

// Every row of the failure rules, with the exact calls made.  The render is
// frame 1 of 4 from kStart: frames 101 (outgoing) and 105 (incoming).
TEST(Burn, FailuresKeepTheFirstResultAndStillCleanUp) {
  const ZKServiceResult failed = 0x5500 | kPluginFailed;
  const int out = 3, in = 1;  // burn-out and burn-in, both from bright
  // Passing pixels at frame 1 of 4 (threshold 382.5, above).
  const int passA = [] {
    int n = 0;
    for (uint32_t p : Spread(48, 32, 1).pixels) n += BrightnessOf(p) > 382.5;
    return n;
  }();
  const int passB = [] {
    int n = 0;
    for (uint32_t p : Spread(48, 32, 2).pixels) n += BrightnessOf(p) > 382.5;
    return n;
  }();
  const std::string get1 = "GetFrame 101 48 32 1", get2 = "GetFrame 105 48 32 1";
  const std::string mix1 = "MixAudio 101 128", mix2 = "MixAudio 105 256";
  const std::string rel1 = "ReleaseFrame 101", rel2 = "ReleaseFrame 105";
  const std::string pa = "Pass " + std::to_string(passA), pb = "Pass " + std::to_string(passB);
  const FailureRow rows[] = {
      {"outgoing GetFrame", out, Service::kGetFrame, 1, kPluginCantGetNeededFrame,
       kPluginCantGetNeededFrame, {get1}, 'U'},
      {"whole Blit, out", out, Service::kBlit, 1, failed, kPluginFailed, {get1, "Blit whole", rel1}, 'U'},
      {"whole Blit, in", in, Service::kBlit, 1, failed, kPluginFailed, {get1, "Blit whole", rel1}, 'U'},
      {"outgoing MixAudio, out", out, Service::kMixAudio, 1, failed, kPluginFailed,
       {get1, "Blit whole", mix1, rel1}, 'A'},
      {"outgoing MixAudio, in", in, Service::kMixAudio, 1, failed, kPluginFailed,
       {get1, "Blit whole", mix1, rel1}, 'A'},
      {"outgoing ReleaseFrame, in", in, Service::kReleaseFrame, 1, failed, kPluginFailed,
       {get1, "Blit whole", mix1, rel1}, 'A'},
      {"incoming GetFrame, out", out, Service::kGetFrame, 2, kPluginCantGetNeededFrame,
       kPluginCantGetNeededFrame, {get1, "Blit whole", mix1, get2, rel1}, 'A'},
      {"incoming GetFrame, in", in, Service::kGetFrame, 2, kPluginCantGetNeededFrame,
       kPluginCantGetNeededFrame, {get1, "Blit whole", mix1, rel1, get2}, 'A'},
      {"last pixel Blit, out", out, Service::kBlit, uint32_t(1 + passA), failed, kPluginFailed,
       {get1, "Blit whole", mix1, get2, pa, rel1, rel2}, 'X'},
      {"first pixel Blit, in", in, Service::kBlit, 2, failed, kPluginFailed,
       {get1, "Blit whole", mix1, rel1, get2, pb, rel2}, 'X'},
      {"incoming MixAudio, out", out, Service::kMixAudio, 2, failed, kPluginFailed,
       {get1, "Blit whole", mix1, get2, pa, mix2, rel1, rel2}, 'X'},
      {"outgoing ReleaseFrame, out", out, Service::kReleaseFrame, 1, failed, kPluginFailed,
       {get1, "Blit whole", mix1, get2, pa, mix2, rel1, rel2}, 'X'},
      {"incoming ReleaseFrame, out", out, Service::kReleaseFrame, 2, failed, kPluginFailed,
       {get1, "Blit whole", mix1, get2, pa, mix2, rel1, rel2}, 'X'},
      {"incoming ReleaseFrame, in", in, Service::kReleaseFrame, 2, failed, kPluginFailed,
       {get1, "Blit whole", mix1, rel1, get2, pb, mix2, rel2}, 'X'},
      {"nothing fails, out", out, Service::kCount, 0, 0, kPluginOK,
       {get1, "Blit whole", mix1, get2, pa, mix2, rel1, rel2}, 'X'},
      {"nothing fails, in", in, Service::kCount, 0, 0, kPluginOK,
       {get1, "Blit whole", mix1, rel1, get2, pb, mix2, rel2}, 'X'},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    BurnFixture f(row.which, 4);
    PixMapHandle pm = GetGWorldPixMap(f.out.get());
    LockPixels(pm);  // the host's own lock survives the render
    if (row.service != Service::kCount) f.rig.InjectFault(row.service, row.nth, row.word);
    EXPECT_EQ(f.Render(1), row.result);
    EXPECT_EQ(Trace(f.rig), row.trace);
    Image expected(f.out.width(), f.out.height(), kUntouched);
    if (row.shows == 'A') {
      for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) expected.at(x, y) = f.a.at(x, y);
    } else if (row.shows == 'X') {
      expected = ExpectedBurn(f.a, f.b, row.which, 1, 4, f.out.width(), f.out.height(), 0, 0);
    }
    if (row.nth > 1 && row.service == Service::kBlit) {
      // The failed copy left its pixel as the outgoing frame had it.
      int seen = 0;
      for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 48; ++x) {
          const uint32_t key = row.which >= 3 ? f.a.at(x, y) : f.b.at(x, y);
          if (BrightnessOf(key) > 382.5 && ++seen == int(row.nth) - 1) expected.at(x, y) = f.a.at(x, y);
        }
      }
    }
    EXPECT_IMAGE_EQ(f.out.ToImage(), expected);
    EXPECT_EQ(f.inst.framesOnLoan(), 0);
    EXPECT_EQ(GetPixelsState(pm) & kZKPixelsLocked, kZKPixelsLocked);
    EXPECT_EQ(HGetState(reinterpret_cast<Handle>(pm)), 0);
    if (row.which == in) {
      EXPECT_LE(f.inst.maxFramesOnLoan(), 1);
    }
  }
}

TEST(Burn, FrameNumbersAndTheirLimits) {
  const struct {
    int32_t startFrame, renderFrame, frameCount;
    int result;
    std::vector<std::string> gets;
  } cases[] = {
      {100, 3, 10, kPluginOK, {"GetFrame 103 4 4 1", "GetFrame 113 4 4 1"}},
      {-1, 0, 10, kPluginFailed, {}},
      {-5, 4, 10, kPluginFailed, {}},
      {INT32_MAX - 5, 0, 10, kPluginFailed, {}},  // the incoming number overflows
      {INT32_MAX, 1, 10, kPluginFailed, {}},
      {100, 0, 0, kPluginBadParams, {}},
      {100, 0, -2, kPluginBadParams, {}},
  };
  for (const auto& c : cases) {
    for (int which : {1, 4}) {
      BurnFixture f(which, 10, 4, 4);
      f.frames.Set(103, f.a);
      f.frames.Set(113, f.b);
      EXPECT_EQ(f.inst.DoFrame(c.startFrame, c.renderFrame, c.frameCount, f.out.get(),
                               Rect{0, 0, 4, 4}),
                c.result);
      std::vector<std::string> gets;
      for (const std::string& line : Trace(f.rig))
        if (line.rfind("GetFrame", 0) == 0) gets.push_back(line);
      EXPECT_EQ(gets, c.gets) << c.startFrame;
    }
  }
}

TEST(Burn, UnfitIncomingFramesAreGivenBackLikeAFailedFetch) {
  const struct {
    DeliveryQuirk quirk;
  } cases[] = {{{false, 1, 0, 32, 2}}, {{false, 0, 3, 32, 2}}, {{false, 0, 0, 8, 2}},
               {{true, 0, 0, 32, 2}}};
  for (const auto& c : cases) {
    for (int which : {1, 3}) {
      BurnFixture f(which, 4);
      f.rig.set_delivery_quirk(c.quirk);
      EXPECT_EQ(f.Render(1), kPluginCantGetNeededFrame);
      Image expected(f.out.width(), f.out.height(), kUntouched);
      for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) expected.at(x, y) = f.a.at(x, y);
      EXPECT_IMAGE_EQ(f.out.ToImage(), expected);
      EXPECT_EQ(f.inst.framesOnLoan(), 0);
      EXPECT_EQ(f.rig.CountOf(Service::kReleaseFrame), 2u);
    }
  }
}

TEST(Burn, ColoursAfterwards) {
  for (int which : {1, 2, 3, 4}) {
    BurnFixture f(which, 4);
    SetGWorld(f.out.get(), nullptr);
    const RGBColor red = {0xFFFF, 0, 0};
    RGBForeColor(&red);
    RGBBackColor(&red);
    SetGWorld(nullptr, nullptr);
    ASSERT_EQ(f.Render(1), kPluginOK);
    SetGWorld(f.out.get(), nullptr);
    RGBColor fore, back;
    GetForeColor(&fore);
    GetBackColor(&back);
    SetGWorld(nullptr, nullptr);
    // Burn-out leaves black on white; burn-in leaves the colours alone.
    EXPECT_EQ(fore.red, which >= 3 ? 0 : 0xFFFF) << which;
    EXPECT_EQ(back.green, which >= 3 ? 0xFFFF : 0) << which;
  }
}

}  // namespace
}  // namespace zk::test
