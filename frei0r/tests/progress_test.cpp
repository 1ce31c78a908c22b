#include "progress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace zk::frei0r {
namespace {

// How an editor may arrive at the progress of frame k of an N-frame
// transition: the exact quotient, or keyframes 1/N at the first frame and
// 1 at the last interpolated in the two usual ways.
enum class Source { kQuotient, kLerpDelta, kLerpWeights };
void PrintTo(Source s, std::ostream* os) {
  *os << (s == Source::kQuotient ? "quotient" : s == Source::kLerpDelta ? "lerp by delta" : "lerp by weights");
}

double ProgressOf(int32_t k, int32_t n, Source source) {
  if (source == Source::kQuotient || n == 1) return (k + 1.0) / n;
  const double a = 1.0 / n, b = 1.0, t = double(k) / double(n - 1);
  return source == Source::kLerpDelta ? a + (b - a) * t : a * (1.0 - t) + b * t;
}

std::vector<int32_t> FramesToTry(int32_t n) {
  if (n <= 1200) {
    std::vector<int32_t> all(size_t(n), 0);
    std::iota(all.begin(), all.end(), 0);
    return all;
  }
  std::vector<int32_t> some = {0, 1, 2, n / 3, n / 2, n - 3, n - 2, n - 1};
  for (int32_t k = 7; k < n; k += n / 97) some.push_back(k);
  return some;
}

class ProgressOfFrame : public ::testing::TestWithParam<std::tuple<int32_t, Source>> {};

// Whatever the rounding of (k + 1) / N, the frame found renders as frame k of
// N: both bundles' own progress formulas give the same doubles.
TEST_P(ProgressOfFrame, RendersAsThatFrame) {
  const auto [n, source] = GetParam();
  for (int32_t k : FramesToTry(n)) {
    const double p = ProgressOf(k, n, source);
    const TransitionFrame f = FrameForProgress(p);
    const int32_t g = std::gcd(k + 1, n);
    ASSERT_EQ(f, (TransitionFrame{(k + 1) / g - 1, n / g})) << "frame " << k << " of " << n;
    const double burn = (f.renderFrame + 1.0) / f.frameCount;
    const double dropout = double(f.frameCount - f.renderFrame - 1) / double(f.frameCount);
    ASSERT_EQ(burn, (k + 1.0) / n) << "frame " << k << " of " << n;
    ASSERT_EQ(dropout, double(n - k - 1) / double(n)) << "frame " << k << " of " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ProgressOfFrame,
    ::testing::Combine(::testing::Values(1, 2, 3, 4, 7, 10, 24, 25, 30, 60, 149, 150, 1000, 1001,
                                         25 * 60 * 10, 65536, 999983, kMaxFrameCount),
                       ::testing::Values(Source::kQuotient, Source::kLerpDelta,
                                         Source::kLerpWeights)));

struct EdgeCase {
  double p;
  TransitionFrame expected;
};
void PrintTo(const EdgeCase& c, std::ostream* os) { *os << "progress " << c.p; }

class ProgressEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(ProgressEdges, Clamped) {
  EXPECT_EQ(FrameForProgress(GetParam().p), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProgressEdges,
    ::testing::Values(EdgeCase{0.0, {-1, 1}}, EdgeCase{-0.0, {-1, 1}}, EdgeCase{-0.25, {-1, 1}},
                      EdgeCase{std::nan(""), {-1, 1}}, EdgeCase{1e-300, {-1, 1}},
                      EdgeCase{1.0, {0, 1}}, EdgeCase{1.5, {0, 1}}, EdgeCase{INFINITY, {0, 1}},
                      EdgeCase{0.5, {0, 2}}, EdgeCase{0.1, {0, 10}}, EdgeCase{0.75, {2, 4}}));

// A value that is no fraction of a frame count still lands on a nearby one.
TEST(ProgressOfAnyValue, NearestFrameWithinReach) {
  for (double p : {1.0 / M_PI, std::sqrt(0.5), 0.123456789, 1e-7, 1.0 - 1e-9}) {
    const TransitionFrame f = FrameForProgress(p);
    EXPECT_GE(f.frameCount, 1);
    EXPECT_LE(f.frameCount, kMaxFrameCount);
    EXPECT_GE(f.renderFrame, -1);
    EXPECT_LT(f.renderFrame, f.frameCount);
    EXPECT_NEAR((f.renderFrame + 1.0) / f.frameCount, p, 1e-6) << p;
  }
}

}  // namespace
}  // namespace zk::frei0r
