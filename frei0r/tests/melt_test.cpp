// The plug-ins inside melt: transitions between clips made by ffmpeg,
// rendered to raw RGBA, against the reference host on the same frames.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "clips.h"

namespace zk::frei0r::test {
namespace {

// The first clip is cut after this frame; its last frames are the outgoing ones.
constexpr int kOutgoingOut = 29;

struct MeltCase {
  int variant;    // index into kVariants
  int frames;     // the transition's length
  bool fromZero;  // progress "0=0;-1=1" rather than "0=1/N;-1=1"
  int threads;    // the threads property; 0: not set
};

void PrintTo(const MeltCase& c, std::ostream* os) { *os << kVariants[c.variant].id << " over " << c.frames; }

class Melt : public ::testing::TestWithParam<MeltCase> {
 protected:
  // Lossless RGB clips, so that any difference is the editor's or ours.
  static void SetUpTestSuite() {
    char name[] = "/tmp/zkmelt.XXXXXX";
    dir_ = mkdtemp(name) ? name : "";
    for (const auto& [clip, source] : {std::pair{"a", "testsrc2"}, std::pair{"b", "mandelbrot"}}) {
      const std::string nut = dir_ + "/" + clip + ".nut";
      Shell(std::string(ZK_FFMPEG) + " -y -f lavfi -i " + source + "=size=160x120:rate=25 -t 2 " +
            "-c:v rawvideo -pix_fmt rgb24 " + nut);
      Shell(std::string(ZK_FFMPEG) + " -y -i " + nut + " -f rawvideo -pix_fmt rgba " + dir_ + "/" + clip + ".rgba");
      // Both programs count the frames of these alike (MLT guesses one
      // frame short on raw video in NUT).
      Shell(std::string(ZK_FFMPEG) + " -y -i " + nut + " -c:v ffv1 -pix_fmt bgr0 " + dir_ + "/" + clip + ".mkv");
    }
    std::ofstream(dir_ + "/profile") << "description=160x120\nframe_rate_num=25\nframe_rate_den=1\n"
                                        "width=160\nheight=120\nprogressive=1\nsample_aspect_num=1\n"
                                        "sample_aspect_den=1\ndisplay_aspect_num=4\ndisplay_aspect_den=3\n";
    setenv("FREI0R_PATH", ZK_FREI0R_DIR, 1);
    // Slices as on a machine of four cores, whatever this one has.
    setenv("MLT_SLICES_COUNT", "4", 1);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  static inline std::string dir_;
};

// Every frame of the transition is the reference host's frame, exactly:
// with RGB clips MLT's conversions to and from RGBA are lossless.
TEST_P(Melt, TransitionFramesAreTheReferenceFrames) {
  const MeltCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  const std::vector<Rgba> a = ReadFrames(dir_ + "/a.rgba"), b = ReadFrames(dir_ + "/b.rgba");
  ASSERT_GE(a.size(), 40u);
  ASSERT_GE(b.size(), 40u);

  char progress[64];
  std::snprintf(progress, sizeof progress, "'progress=0=%.17g;-1=1'", c.fromZero ? 0.0 : 1.0 / c.frames);
  const std::string threads = c.threads ? " threads=" + std::to_string(c.threads) : "";
  const int first = kOutgoingOut + 1 - c.frames;  // where the transition starts
  std::string cut = dir_ + "/a.nut out=" + std::to_string(kOutgoingOut);
  if (v.twoClips) {
    cut += " " + dir_ + "/b.nut -mix " + std::to_string(c.frames) + " -mixer frei0r." + v.id + " " +
           progress + threads + " -mixer mix:-1";
  } else {
    cut += " -attach frei0r." + std::string(v.id) + " " + progress + " in=" + std::to_string(first) +
           " out=" + std::to_string(kOutgoingOut) + threads;
  }
  const std::string out = dir_ + "/" + v.id + ".rgba";
  ASSERT_EQ(Shell(std::string(ZK_MELT) + " -profile " + dir_ + "/profile " + cut + " -consumer avformat:" +
                  out + " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1"),
            0);
  const std::vector<Rgba> rendered = ReadFrames(out);
  ASSERT_GE(rendered.size(), size_t(kOutgoingOut + (v.twoClips ? 2 : 1)));

  // Around the transition the clips come through untouched.
  EXPECT_EQ(ToImage(rendered[first - 1]), ToImage(a[first - 1]));
  if (v.twoClips) {
    EXPECT_EQ(ToImage(rendered[kOutgoingOut + 1]), ToImage(b[c.frames]));
  }

  for (int k = 0; k < c.frames; ++k) {
    // "0=0;-1=1" puts frame k at k / (N - 1): frame k - 1 of N - 1.
    const int32_t r = c.fromZero ? k - 1 : k, n = c.fromZero ? c.frames - 1 : c.frames;
    const host::Image got = ToImage(rendered[first + k]);
    EXPECT_TRUE(got == Reference(v, ToImage(a[first + k]), ToImage(b[k]), r, n)) << "frame " << k;
    if (k == c.frames / 2) {
      EXPECT_NE(got, ToImage(a[first + k]));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Melt,
    ::testing::Values(MeltCase{0, 10, false, 0}, MeltCase{1, 10, false, 4}, MeltCase{2, 7, true, 0},
                      MeltCase{3, 12, false, 0}, MeltCase{4, 10, false, 0}, MeltCase{5, 6, false, 4},
                      MeltCase{6, 10, true, 0}, MeltCase{7, 10, false, 2}),
    [](const auto& info) {
      const MeltCase& c = info.param;
      return std::string(kVariants[c.variant].id) + (c.fromZero ? "_from_zero" : "") +
             (c.threads ? "_sliced" : "");
    });

#ifdef ZK_ZKHOST
class MeltAndZkhost : public Melt {};

// The whole render, clips and transition, is zkhost's frame for frame when
// progress runs from 1/N on the transition's first frame to 1 on its last.
TEST_P(MeltAndZkhost, RenderTheSameFrames) {
  const MeltCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  const std::string a = dir_ + "/a.mkv", b = dir_ + "/b.mkv", n = std::to_string(c.frames);
  const std::string zk = dir_ + "/zk_" + v.id;
  std::filesystem::create_directories(zk);
  ASSERT_EQ(Shell(std::string(ZK_ZKHOST) + " render " + v.bundle + " --variant " + std::to_string(v.which) +
                  " --frames " + n + " -q " + a + (v.twoClips ? " " + b : "") + " -o " + zk + "/%04d.png"),
            0);
  ASSERT_EQ(Shell(std::string(ZK_FFMPEG) + " -y -i " + zk + "/%04d.png -f rawvideo -pix_fmt rgba " + zk + ".rgba"), 0);

  char progress[64];
  std::snprintf(progress, sizeof progress, "'progress=0=%.17g;-1=1'", 1.0 / c.frames);
  std::string cut = a;
  if (v.twoClips) {
    cut += " " + b + " -mix " + n + " -mixer frei0r." + v.id + " " + progress + " -mixer mix:-1";
  } else {
    // Ashveil takes the clip's last N frames.
    cut += " -attach frei0r." + std::string(v.id) + " " + progress + " in=" + std::to_string(50 - c.frames) +
           " out=49";
  }
  const std::string melt = dir_ + "/melt_" + v.id + ".rgba";
  ASSERT_EQ(Shell(std::string(ZK_MELT) + " -profile " + dir_ + "/profile " + cut + " -consumer avformat:" +
                  melt + " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1"),
            0);

  const std::vector<Rgba> fromZkhost = ReadFrames(zk + ".rgba"), fromMelt = ReadFrames(melt);
  ASSERT_EQ(fromMelt.size(), size_t(v.twoClips ? 100 - c.frames : 50));
  ASSERT_EQ(fromZkhost.size(), fromMelt.size());
  for (size_t i = 0; i < fromMelt.size(); ++i) {
    EXPECT_TRUE(ToImage(fromMelt[i]) == ToImage(fromZkhost[i])) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, MeltAndZkhost,
                         ::testing::Values(MeltCase{0, 10, false, 0}, MeltCase{3, 16, false, 0},
                                           MeltCase{5, 10, false, 0}, MeltCase{6, 12, false, 0}),
                         [](const auto& info) { return std::string(kVariants[info.param.variant].id); });
#endif

}  // namespace
}  // namespace zk::frei0r::test
