// The plug-ins inside melt: transitions between clips made by ffmpeg,
// rendered to raw RGB, against the reference host on the same frames.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support.h"

namespace zk::frei0r::test {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 160, kH = 120;
constexpr size_t kFrameBytes = size_t(kW) * kH * 3;
// The first clip is cut at this frame; its last frames are the outgoing ones.
constexpr int kOutgoingOut = 29;

using RgbFrames = std::vector<std::vector<uint8_t>>;

RgbFrames ReadFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> all{std::istreambuf_iterator<char>(in), {}};
  RgbFrames frames;
  for (size_t at = 0; at + kFrameBytes <= all.size(); at += kFrameBytes) {
    frames.emplace_back(all.begin() + at, all.begin() + at + kFrameBytes);
  }
  return frames;
}

host::Image ImageOf(const std::vector<uint8_t>& rgb) {
  host::Image image(kW, kH);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = 0xFF000000u | uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
  }
  return image;
}

std::vector<uint8_t> RgbOf(const host::Image& image) {
  std::vector<uint8_t> rgb(kFrameBytes);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    rgb[3 * i] = uint8_t(image.pixels[i] >> 16);
    rgb[3 * i + 1] = uint8_t(image.pixels[i] >> 8);
    rgb[3 * i + 2] = uint8_t(image.pixels[i]);
  }
  return rgb;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

class Melt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char name[] = "/tmp/zkmelt.XXXXXX";
    dir_ = new std::string(mkdtemp(name) ? name : "");
    if (dir_->empty()) return;
    const std::string d = *dir_;
    // Lossless RGB clips, so that any difference is the editor's or ours.
    for (const auto& [clip, source] : {std::pair{"a", "testsrc2"}, std::pair{"b", "mandelbrot"}}) {
      const std::string nut = d + "/" + clip + ".nut";
      Shell(std::string(ZK_FFMPEG) + " -y -f lavfi -i " + source + "=size=160x120:rate=25 -t 2 " +
          "-c:v rawvideo -pix_fmt rgb24 " + nut);
      Shell(std::string(ZK_FFMPEG) + " -y -i " + nut + " -f rawvideo -pix_fmt rgb24 " + d + "/" + clip + ".rgb");
    }
    std::ofstream(d + "/profile") << "description=160x120 25 fps\nframe_rate_num=25\nframe_rate_den=1\n"
                                     "width=160\nheight=120\nprogressive=1\nsample_aspect_num=1\n"
                                     "sample_aspect_den=1\ndisplay_aspect_num=4\ndisplay_aspect_den=3\n"
                                     "colorspace=601\n";
    setenv("FREI0R_PATH", ZK_FREI0R_DIR, 1);
    // Slices as on a machine of four cores, whatever this one has.
    setenv("MLT_SLICES_COUNT", "4", 1);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (dir_ && !dir_->empty()) fs::remove_all(*dir_, ec);
    delete dir_;
    dir_ = nullptr;
  }

  static std::string* dir_;
};
std::string* Melt::dir_ = nullptr;

struct MeltCase {
  int variant;       // index into kVariants
  int frames;        // the transition's length
  bool fromZero;     // progress "0=0;-1=1" rather than "0=1/N;-1=1"
  int threads;       // the transition's threads property; 0: not set
};

void PrintTo(const MeltCase& c, std::ostream* os) {
  *os << kVariants[c.variant].id << " over " << c.frames << (c.fromZero ? " from 0" : "")
      << (c.threads ? " sliced" : "");
}

class MeltRender : public Melt, public ::testing::WithParamInterface<MeltCase> {};

// Every frame of the transition is the reference host's frame, exactly:
// with RGB clips MLT's conversions to and from RGBA are lossless.
TEST_P(MeltRender, TransitionFramesAreTheReferenceFrames) {
  const MeltCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  ASSERT_FALSE(dir_->empty());
  const std::string d = *dir_;
  const RgbFrames a = ReadFrames(d + "/a.rgb"), b = ReadFrames(d + "/b.rgb");
  ASSERT_GE(a.size(), 40u);
  ASSERT_GE(b.size(), 40u);

  char progress[64];
  std::snprintf(progress, sizeof progress, "progress=0=%.17g;-1=1", c.fromZero ? 0.0 : 1.0 / c.frames);
  const std::string threads = c.threads ? " threads=" + std::to_string(c.threads) : "";
  const int first = kOutgoingOut + 1 - c.frames;  // output frame where the transition starts
  std::string cut;
  if (v.twoClips) {
    cut = d + "/a.nut out=" + std::to_string(kOutgoingOut) + " " + d + "/b.nut -mix " +
          std::to_string(c.frames) + " -mixer frei0r." + v.id + " '" + progress + "'" + threads +
          " -mixer mix:-1";
  } else {
    cut = d + "/a.nut out=" + std::to_string(kOutgoingOut) + " -attach frei0r." + v.id + " '" +
          progress + "' in=" + std::to_string(first) + " out=" + std::to_string(kOutgoingOut) + threads;
  }
  const std::string out = d + "/" + v.id + ".rgb";
  ASSERT_EQ(Shell(std::string(ZK_MELT) + " -profile " + d + "/profile " + cut + " -consumer avformat:" +
                out + " f=rawvideo vcodec=rawvideo pix_fmt=rgb24 an=1"),
            0);
  const RgbFrames rendered = ReadFrames(out);
  ASSERT_GE(rendered.size(), size_t(kOutgoingOut + 1));

  // Around the transition the clips come through untouched.
  EXPECT_EQ(rendered[first - 1], a[first - 1]);
  if (v.twoClips) EXPECT_EQ(rendered[kOutgoingOut + 1], b[c.frames]);

  for (int k = 0; k < c.frames; ++k) {
    // "0=0;-1=1" puts frame k at k / (N - 1): frame k - 1 of N - 1.
    const int32_t r = c.fromZero ? k - 1 : k, n = c.fromZero ? c.frames - 1 : c.frames;
    const std::vector<uint8_t> expected =
        RgbOf(Reference(v, ImageOf(a[first + k]), ImageOf(b[k]), r, n));
    EXPECT_TRUE(rendered[first + k] == expected) << "transition frame " << k;
    if (k == c.frames / 2) {
      EXPECT_NE(rendered[first + k], a[first + k]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, MeltRender,
    ::testing::Values(MeltCase{0, 10, false, 0}, MeltCase{1, 10, false, 4}, MeltCase{2, 7, true, 0},
                      MeltCase{3, 12, false, 0}, MeltCase{4, 10, false, 0}, MeltCase{5, 6, false, 4},
                      MeltCase{6, 10, true, 0}, MeltCase{7, 10, false, 2}),
    [](const auto& info) {
      const MeltCase& c = info.param;
      return std::string(kVariants[c.variant].id) + (c.fromZero ? "_from_zero" : "") +
             (c.threads ? "_sliced" : "");
    });

}  // namespace
}  // namespace zk::frei0r::test
