// How OBS's duration and frame rate become a length of the plug-in's.
#include <gtest/gtest.h>

#include "bundle.h"
#include "plan.h"

namespace zk::obs::test {
namespace {

struct LengthCase {
  const char* bundle;
  int16_t which;
  double durationMs;
  uint32_t fpsNum, fpsDen;
  int32_t frames;
};

void PrintTo(const LengthCase& c, std::ostream* os) {
  *os << c.bundle << " " << c.which << ", " << c.durationMs << " ms at " << c.fpsNum << "/" << c.fpsDen;
}

class Length : public ::testing::TestWithParam<LengthCase> {};

// The bundles take even lengths from 10 to 120 frames: the one nearest to
// duration x rate, the longer of two as near.
TEST_P(Length, IsTheReachableOneNearestToDurationTimesRate) {
  const LengthCase& c = GetParam();
  const auto bundle = zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/" + c.bundle + ".so");
  const std::vector<int32_t> lengths = ReachableLengths(*bundle, c.which);
  EXPECT_EQ(NearestLength(lengths, FramesOf(c.durationMs, c.fpsNum, c.fpsDen)), c.frames);
}

INSTANTIATE_TEST_SUITE_P(Durations, Length, ::testing::Values(
    LengthCase{"Cindergate", 3, 1000, 30, 1, 30},
    LengthCase{"Cindergate", 1, 300, 60, 1, 18},     // OBS's default duration
    LengthCase{"Cindergate", 3, 300, 30, 1, 10},     // 9 frames: the shortest is 10
    LengthCase{"Cindergate", 4, 5000, 60, 1, 120},   // 300 frames: the longest is 120
    LengthCase{"Cindergate", 2, 1100, 30, 1, 34},    // 33: 32 and 34 as near
    LengthCase{"Ashveil", 1, 1001, 30000, 1001, 30}, // NTSC's 29.97
    LengthCase{"Ashveil", 4, 500, 25, 1, 12},        // 12.5
    LengthCase{"Ashveil", 2, 2000, 50, 1, 100}));

}  // namespace
}  // namespace zk::obs::test
