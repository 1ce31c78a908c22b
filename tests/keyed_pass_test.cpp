// The brightness-keyed pass on its own, with a table of services that
// counts and checks every copy.
#include <cmath>
#include <limits>
#include <vector>

#include "harness.h"
#include "plugin_support.h"

namespace zk::test {
namespace {

using host::Image;
using host::World;

// A Blit that copies through the host's copier, counts, and fails the
// calls listed in failAt (1-based) with kPluginFailed.
struct BlitSpy {
  static inline int calls = 0;
  static inline std::vector<int> failAt;
  static ZKServiceResult Blit(PixMapPtr src, PixMapPtr dst, const Rect* s, const Rect* d,
                              int16_t mode) {
    ++calls;
    EXPECT_EQ(mode, 255);
    EXPECT_EQ(s->bottom - s->top, 1);
    EXPECT_EQ(s->right - s->left, 1);
    EXPECT_EQ(d->bottom - d->top, 1);
    EXPECT_EQ(d->right - d->left, 1);
    for (int n : failAt) {
      if (n == calls) return 0xAB00 | kPluginFailed;  // upper bytes are noise
    }
    return host::BlitPixels(src, dst, *s, *d);
  }
  static ZKProcs Procs() {
    calls = 0;
    failAt.clear();
    ZKProcs procs = host::HostProcs();
    procs.Blit = Blit;
    return procs;
  }
};

struct PassRun {
  Image output;
  int blits;
  ZKPluginResult result;
};

// Runs the pass with key and source pictures into an output world of the
// given size, frameRect at (top, left); the output starts all 0x01010101.
PassRun RunPass(const Image& key, const Image& source, double threshold, KeySense sense,
                int outW, int outH, int16_t top = 0, int16_t left = 0) {
  ZKProcs procs = BlitSpy::Procs();
  World k(key.width, key.height), s(source.width, source.height), out(outW, outH);
  k.Load(key);
  s.Load(source);
  out.Fill(0x01010101);
  const LockedPixMap km = LockFramePixels(k.get()), sm = LockFramePixels(s.get()),
                     om = LockFramePixels(out.get());
  const ZKPluginResult result = KeyedPixelPass(
      procs, {&km, &sm, &om, int16_t(key.width), int16_t(key.height), top, left, threshold, sense});
  RestoreFramePixels(km);
  RestoreFramePixels(sm);
  RestoreFramePixels(om);
  return {out.ToImage(), BlitSpy::calls, result};
}

// One pixel of every brightness, 0 to 765, in a row.
Image EveryBrightness(unsigned alphaSeed) {
  Image image(766, 1);
  for (unsigned s = 0; s < 766; ++s) image.at(int(s), 0) = PixelOfBrightness(s, (s * alphaSeed) & 0xFF);
  return image;
}

bool Passes(unsigned brightness, double threshold, KeySense sense) {
  return sense == KeySense::kAbove ? double(brightness) > threshold : double(brightness) < threshold;
}

// Every brightness against the thresholds the transitions produce (k / n
// of 765 for every transition length up to 120, both senses), plus the
// edges: the pass copies exactly the pixels the double comparison selects.
TEST(KeyedPass, CopiesExactlyThePixelsBeyondTheThreshold) {
  std::vector<double> thresholds = {0.0, -0.0, 765.0, -1.0, 800.0, 1e300, -1e300,
                                    std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::quiet_NaN(),
                                    510.00000000000006, 382.5, 0.5, 764.5};
  for (int n = 1; n <= 120; ++n) {
    for (int k = 0; k <= n; ++k) {
      const double percent = double(k) / n;
      thresholds.push_back(percent * 765.0);
      thresholds.push_back((1.0 - percent) * 765.0);
    }
  }
  // Brightness decides alone: the alpha byte differs between key and source.
  const Image key = EveryBrightness(37), source = Spread(766, 1, 5);
  for (KeySense sense : {KeySense::kAbove, KeySense::kBelow}) {
    for (double t : thresholds) {
      const PassRun run = RunPass(key, source, t, sense, 766, 1);
      int expectedCopies = 0;
      bool same = true;
      for (unsigned s = 0; s < 766; ++s) {
        const bool copy = Passes(s, t, sense);
        expectedCopies += copy;
        same &= run.output.at(int(s), 0) == (copy ? source.at(int(s), 0) : 0x01010101u);
      }
      ASSERT_TRUE(same) << "threshold " << t << " sense " << int(sense);
      ASSERT_EQ(run.blits, expectedCopies) << "threshold " << t;
      ASSERT_EQ(run.result, kPluginOK);
    }
  }
}

TEST(KeyedPass, EdgesOfTheScale) {
  const Image key = EveryBrightness(1);
  const struct {
    double threshold;
    KeySense sense;
    int copies;
    int firstKept;  // a brightness that is not copied
  } cases[] = {{0.0, KeySense::kAbove, 765, 0},
               {765.0, KeySense::kBelow, 765, 765},
               {510.0, KeySense::kAbove, 255, 510},
               {255.0, KeySense::kBelow, 255, 255}};
  for (const auto& c : cases) {
    const PassRun run = RunPass(key, key, c.threshold, c.sense, 766, 1);
    EXPECT_EQ(run.blits, c.copies) << c.threshold;
    EXPECT_EQ(run.output.at(c.firstKept, 0), 0x01010101u) << c.threshold;
  }
}

// Key row 0, column 0 lands at the origin: a small frame, and frames wide
// enough to be keyed in whole blocks, one of them partly above and left of
// the output world (what falls outside is clipped by the host).
TEST(KeyedPass, LandsAtTheFrameRectOrigin) {
  const struct {
    int16_t top, left;
    int width, height;
  } cases[] = {{10, 20, 3, 2}, {3, 5, 70, 2}, {-1, -35, 70, 3}};
  for (const auto& c : cases) {
    Image key(c.width, c.height, Rgb(255, 255, 255)), source(c.width, c.height);
    for (size_t i = 0; i < source.pixels.size(); ++i) source.pixels[i] = 0xA0 + uint32_t(i);
    const PassRun run = RunPass(key, source, 0.0, KeySense::kAbove, 80, 20, c.top, c.left);
    EXPECT_EQ(run.blits, c.width * c.height);
    Image expected(80, 20, 0x01010101);
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        if (c.top + y >= 0 && c.left + x >= 0) expected.at(c.left + x, c.top + y) = source.at(x, y);
      }
    }
    EXPECT_EQ(run.output, expected) << c.top << ", " << c.left;
  }
}

// Rows wider than 32767 bytes are read at their full stride.
TEST(KeyedPass, KeysWideFramesAtTheirFullStride) {
  const int w = 9000;
  Image key(w, 3, Rgb(0, 0, 0)), source(w, 3, 0x00ABCDEF);
  key.at(w - 1, 1) = Rgb(255, 255, 255);
  key.at(5, 2) = Rgb(200, 0, 0);
  const PassRun run = RunPass(key, source, 100.0, KeySense::kAbove, w, 3);
  EXPECT_EQ(run.blits, 2);
  EXPECT_EQ(run.output.at(w - 1, 1), 0x00ABCDEFu);
  EXPECT_EQ(run.output.at(5, 2), 0x00ABCDEFu);
  EXPECT_EQ(run.output.at(w - 1, 0), 0x01010101u);
}

// Small frames and frames of whole blocks, copied throughout.
TEST(KeyedPass, ReportsTheFirstFailedCopyAndVisitsEveryPixel) {
  const struct {
    std::vector<int> failAt;
    ZKPluginResult result;
  } cases[] = {{{}, kPluginOK}, {{2}, kPluginFailed}, {{16}, kPluginFailed}, {{1, 3}, kPluginFailed}};
  for (int w : {4, 64}) {
    const Image key(w, 4, Rgb(255, 255, 255));
    for (const auto& c : cases) {
      ZKProcs procs = BlitSpy::Procs();
      BlitSpy::failAt = c.failAt;
      World k(w, 4), out(w, 4);
      k.Load(key);
      const LockedPixMap km = LockFramePixels(k.get()), om = LockFramePixels(out.get());
      EXPECT_EQ(KeyedPixelPass(procs, {&km, &km, &om, int16_t(w), 4, 0, 0, 0.0, KeySense::kAbove}),
                c.result);
      EXPECT_EQ(BlitSpy::calls, 4 * w);
    }
  }
}

TEST(KeyedPass, EmptyFramesExamineNothing) {
  const Image key(2, 2, Rgb(255, 255, 255));
  for (auto [w, h] : {std::pair{0, 2}, {2, 0}, {-3, 2}, {2, -1}}) {
    ZKProcs procs = BlitSpy::Procs();
    World k(2, 2), out(2, 2);
    k.Load(key);
    const LockedPixMap km = LockFramePixels(k.get()), om = LockFramePixels(out.get());
    EXPECT_EQ(KeyedPixelPass(procs, {&km, &km, &om, int16_t(w), int16_t(h), 0, 0, 0.0,
                                     KeySense::kAbove}),
              kPluginOK);
    EXPECT_EQ(BlitSpy::calls, 0);
  }
}

}  // namespace
}  // namespace zk::test
