// The one-clip plug-ins in FFmpeg's frei0r filter (ffmpeg -vf), with the
// progress moved along the clip by the sendcmd filter, against zkhost.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>

#include "clips.h"

namespace zk::frei0r::test {
namespace {

struct FilterCase {
  int variant;  // index into kVariants
  int frames;   // the transition's length, over the clip's last frames
  bool expr;    // one [expr] command; otherwise a command per frame from a file
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << kVariants[c.variant].id << " over " << c.frames; }

class FfmpegFilter : public ::testing::TestWithParam<FilterCase> {
 protected:
  static void SetUpTestSuite() {
    clips_.Make();
    setenv("FREI0R_PATH", ZK_FREI0R_DIR, 1);
  }
  static void TearDownTestSuite() { clips_.Remove(); }
  static inline Clips clips_;
};

// Frame first + k of the clip is frame k of the transition, at progress
// (k + 1) / N: the line through 0 on the frame before the transition and 1
// on the clip's last frame.  Before it the filter's progress stays at 0,
// where the plug-in passes the picture through.
TEST_P(FfmpegFilter, RendersZkhostsFrames) {
  const FilterCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  const int first = kClipFrames - c.frames;
  const std::string out = clips_.dir + "/ffmpeg_" + v.id + ".mkv";
  char at[32];
  std::string sendcmd;
  if (c.expr) {
    // sendcmd prints an expression's value with 6 significant digits
    // before the filter parses it: exact for these lengths (10, 16, 20 ...).
    std::snprintf(at, sizeof at, "%.6f", first / 25.0);
    sendcmd = "sendcmd=c='" + std::string(at) + " [expr] frei0r filter_params (T-" +
              std::to_string(first - 1) + "/25)*25/" + std::to_string(c.frames) + "'";
  } else {
    const std::string commands = clips_.dir + "/commands_" + v.id + ".txt";
    std::ofstream file(commands);
    for (int k = 0; k < c.frames; ++k) {
      char line[96];
      std::snprintf(line, sizeof line, "%.6f frei0r filter_params %.17g;\n", (first + k) / 25.0,
                    double(k + 1) / c.frames);
      file << line;
    }
    sendcmd = "sendcmd=f=" + commands;
  }
  ASSERT_EQ(Shell(std::string(ZK_FFMPEG) + " -y -i " + clips_.dir + "/a.mkv -vf \"" + sendcmd +
                  ",frei0r=filter_name=" + v.id + "\" -c:v ffv1 -pix_fmt bgr0 " + out),
            0);

  const std::vector<Rgba> got = DecodeFrames(out), want = clips_.Zkhost(v, c.frames);
  ASSERT_EQ(want.size(), size_t(kClipFrames));
  EXPECT_EQ(FirstDifference(got, want), -1);
  EXPECT_FALSE(ToImage(got[first + c.frames / 2]) == ToImage(clips_.a[first + c.frames / 2]));
}

INSTANTIATE_TEST_SUITE_P(Variants, FfmpegFilter,
                         ::testing::Values(FilterCase{4, 10, true}, FilterCase{5, 12, false},
                                           FilterCase{6, 16, true}, FilterCase{7, 14, false}),
                         [](const auto& info) {
                           return std::string(kVariants[info.param.variant].id) +
                                  (info.param.expr ? "_expr" : "_per_frame");
                         });

}  // namespace
}  // namespace zk::frei0r::test
