// What zkhost renders: the timeline, the transition frames, the colours and
// the sound, checked on real files.
#include <gtest/gtest.h>

#include <fstream>

#include "frames.h"
#include "harness.h"
#include "instance.h"

namespace zk::test {
namespace {

using zk::host::Bundle;
using zk::host::MemoryFrameSource;
using zk::host::PluginInstance;
using zk::host::World;

std::string BundlePath(const std::string& name) { return std::string(ZK_BUNDLE_DIR) + "/" + name + ".so"; }

fs::path FreshDir(const std::string& name) {
  const fs::path d = WorkDir() / name;
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// ---- Transition frames against the renderer on the decoded clips ----------

struct FramesCase {
  const char* bundle;
  int variant;
  const char* extra;  // more options for zkhost
};
void PrintTo(const FramesCase& c, std::ostream* os) { *os << c.bundle << " " << c.variant; }

class TransitionFrames : public testing::TestWithParam<FramesCase> {};

TEST_P(TransitionFrames, MatchTheRendererAppliedToTheSourceFrames) {
  const FramesCase& c = GetParam();
  const bool twoClips = std::string(c.bundle) == "Cindergate";
  const std::string a = ClipA(), b = ClipB();
  const fs::path out = FreshDir(std::string("frames-") + c.bundle + std::to_string(c.variant) +
                                (std::string(c.extra).empty() ? "" : "-x"));
  const Outcome run = Zkhost("render " + BundlePath(c.bundle) + " --variant " + std::to_string(c.variant) +
                         " --frames 10 -q -j 2 " + c.extra + " " + a + (twoClips ? " " + b : "") +
                         " -o " + (out / "%04d.png").string());
  ASSERT_EQ(run.status, 0) << run.output;

  const auto framesA = RgbFrames(a), framesB = RgbFrames(b);
  const auto got = PngFrames(out);
  const int n = 10, lengthA = int(framesA.size()), start = lengthA - n;
  ASSERT_EQ(got.size(), twoClips ? framesA.size() + framesB.size() - n : framesA.size());

  // The renderer on the same pictures, through the in-memory host.
  MemoryFrameSource source;
  auto image = [](const std::vector<uint32_t>& px) {
    zk::host::Image im(160, 120);
    im.pixels = px;
    return im;
  };
  for (int k = 0; k < lengthA; ++k) source.Set(k, image(framesA[size_t(k)]));
  for (size_t k = 0; k < framesB.size(); ++k) source.Set(int32_t(lengthA + k), image(framesB[k]));
  auto bundle = Bundle::Open(BundlePath(c.bundle));
  PluginInstance inst(*bundle, int16_t(c.variant));
  inst.set_speed(0.0f);
  inst.set_frame_source(&source);
  ASSERT_EQ(inst.GetInfo(), kPluginOK);
  ASSERT_EQ(inst.params().getInfo.framesToBeRendered, n);
  ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
  World world(160, 120);
  for (int r = 0; r < n; ++r) {
    ASSERT_EQ(inst.DoFrame(start, r, n, world.get(), world.bounds()), kPluginOK);
    std::vector<uint32_t> want = world.ToImage().pixels;
    for (auto& p : want) p &= 0xFFFFFF;
    EXPECT_TRUE(got[size_t(start + r)] == want) << "transition frame " << r;
  }
  EXPECT_TRUE(got[0] == framesA[0]);
  EXPECT_TRUE(got[size_t(start - 1)] == framesA[size_t(start - 1)]);
  if (twoClips) {
    EXPECT_TRUE(got[size_t(start + n)] == framesB[size_t(n)]) << "first frame after the transition";
    EXPECT_TRUE(got.back() == framesB.back());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, TransitionFrames,
    testing::Values(FramesCase{"Cindergate", 1, ""}, FramesCase{"Cindergate", 2, ""},
                    FramesCase{"Cindergate", 3, ""}, FramesCase{"Cindergate", 4, ""},
                    FramesCase{"Ashveil", 1, ""}, FramesCase{"Ashveil", 4, ""},
                    // The frame placed inside a larger world renders the same.
                    FramesCase{"Cindergate", 3, "--rect 8,4"}, FramesCase{"Ashveil", 2, "--rect 3,0"}),
    [](const auto& info) {
      return std::string(info.param.bundle) + std::to_string(info.param.variant) +
             (std::string(info.param.extra).empty() ? "" : "InsideLargerWorld");
    });

TEST(Threads, OneAndTwoJobsWriteTheSameFrames) {
  const std::string a = ClipA(), b = ClipB();
  std::vector<std::vector<std::vector<uint32_t>>> outputs;
  for (int jobs : {1, 2}) {
    const fs::path out = FreshDir("jobs" + std::to_string(jobs));
    const Outcome run = Zkhost("render Cindergate --variant 3 --frames 20 -q -j " + std::to_string(jobs) +
                           " " + a + " " + b + " -o " + (out / "f%03d.png").string());
    ASSERT_EQ(run.status, 0) << run.output;
    outputs.push_back(PngFrames(out));
  }
  ASSERT_EQ(outputs[0].size(), 130u);
  EXPECT_TRUE(outputs[0] == outputs[1]);
}

// ---- Lengths of the output -----------------------------------------------

struct LengthCase {
  const char* name;
  std::string args;
  int frames;  // expected video frames
};
void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class Lengths : public testing::TestWithParam<LengthCase> {};

TEST_P(Lengths, VideoAndAudioLastAsLongAsTheTimeline) {
  const LengthCase& c = GetParam();
  const std::string out = (WorkDir() / (std::string("len-") + c.name + ".mp4")).string();
  std::string args = c.args;
  args.replace(args.find("{A}"), 3, ClipA());
  if (auto b = args.find("{B}"); b != std::string::npos) args.replace(b, 3, ClipB());
  const Outcome run = Zkhost("render " + args + " -q -y -o " + out);
  ASSERT_EQ(run.status, 0) << run.output;
  zk::video::VideoTrack track(out, 4);
  EXPECT_EQ(track.frames(), c.frames);
  EXPECT_EQ(track.format().width, 160);
  const double seconds = c.frames / 25.0;
  const auto audio = MonoAudio(out, 48000);
  EXPECT_NEAR(double(audio.size()) / 48000, seconds, 0.03);
}

INSTANTIATE_TEST_SUITE_P(
    Timelines, Lengths,
    testing::Values(
        // 75 + 75 - N frames for two clips, 75 for one.
        LengthCase{"Cindergate66", "Cindergate --variant 1 {A} {B}", 84},
        LengthCase{"Cindergate30", "Cindergate --variant 4 --frames 30 {A} {B}", 120},
        LengthCase{"CindergateSpeed0", "Cindergate --variant 2 --speed 0 {A} {B}", 140},
        LengthCase{"Ashveil", "Ashveil --variant 3 --speed 0.25 {A}", 75}),
    [](const auto& info) { return info.param.name; });

// ---- Sound ---------------------------------------------------------------

struct SoundCase {
  const char* name;
  const char* bundle;
  bool proxy;
};
void PrintTo(const SoundCase& c, std::ostream* os) { *os << c.name; }

class Sound : public testing::TestWithParam<SoundCase> {};

// A at 440 Hz and B at 880 Hz, both at amplitude 1/8: inside the transition
// the outgoing clip fades with the progress (Cindergate) or the clip fades
// out at the end (Ashveil); outside it each clip is carried unchanged.
TEST_P(Sound, LevelsFollowTheMixAndTheFade) {
  const SoundCase& c = GetParam();
  const bool twoClips = std::string(c.bundle) == "Cindergate";
  const std::string out = (WorkDir() / (std::string("sound-") + c.name + ".mkv")).string();
  const Outcome run = Zkhost(std::string("render ") + c.bundle + " --frames 20 -q -y " +
                         (c.proxy ? "--proxy " : "") + ClipA() + (twoClips ? " " + ClipB() : "") +
                         " -o " + out);
  ASSERT_EQ(run.status, 0) << run.output;
  const auto s = MonoAudio(out, 48000);
  const int n = 20, start = 75 - n, perFrame = 1920;
  const double amp = 0.125, tol = 0.012;
  auto at = [&](int frame, double f) { return Amplitude(s, size_t(frame) * perFrame, perFrame, f, 48000); };
  for (int j : {2, 30, start - 2}) {
    EXPECT_NEAR(at(j, 440), amp, tol) << "frame " << j << " before the transition";
    EXPECT_NEAR(at(j, 880), 0, tol) << "frame " << j;
  }
  for (int r : {2, 9, 16}) {
    double a440 = 0, a880 = 0;
    if (!c.proxy) {
      // Cindergate mixes the outgoing frame at (1 - (r+1)/n) x 256 and the
      // incoming one at 256; Ashveil at 256, faded over its n frames.
      a440 = twoClips ? amp * std::trunc((1.0 - (r + 1.0) / n) * 256) / 256 : amp * (1.0 - (r + 0.5) / n);
      a880 = twoClips ? amp : 0;
    }
    EXPECT_NEAR(at(start + r, 440), a440, tol) << "transition frame " << r;
    EXPECT_NEAR(at(start + r, 880), a880, tol) << "transition frame " << r;
  }
  if (twoClips) {
    for (int j : {75 + 2, 75 + 40}) {
      EXPECT_NEAR(at(j, 880), amp, tol) << "frame " << j << " after the transition";
      EXPECT_NEAR(at(j, 440), 0, tol) << "frame " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, Sound,
                         testing::Values(SoundCase{"Cindergate", "Cindergate", false},
                                         SoundCase{"CindergateProxy", "Cindergate", true},
                                         SoundCase{"Ashveil", "Ashveil", false},
                                         SoundCase{"AshveilProxy", "Ashveil", true}),
                         [](const auto& info) { return info.param.name; });

TEST(Sound, ClipsWithoutAudioGiveNoAudioStream) {
  const std::string silent = (WorkDir() / "silent.mp4").string();
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=2 -c:v libx264 -pix_fmt yuv420p", silent);
  const std::string out = (WorkDir() / "silent-out.mkv").string();
  const Outcome run = Zkhost("render Ashveil -q -y --frames 10 " + silent + " -o " + out);
  ASSERT_EQ(run.status, 0) << run.output;
  const Outcome probe = Shell("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + out);
  EXPECT_EQ(probe.output, "video\n");
}

// ---- Colour ----------------------------------------------------------------

struct ColourCase {
  const char* name;
  const char* size;
  const char* tags;  // ffmpeg output options
  bool bt709;
  bool full;
};
void PrintTo(const ColourCase& c, std::ostream* os) { *os << c.name; }

class Colour : public testing::TestWithParam<ColourCase> {};

// The expected RGB of a Y'CbCr triple by the textbook formula.
std::array<double, 3> ToRgb(int y, int u, int v, bool bt709, bool full) {
  const double kr = bt709 ? 0.2126 : 0.299, kb = bt709 ? 0.0722 : 0.114, kg = 1 - kr - kb;
  const double yn = full ? y / 255.0 : (y - 16) / 219.0;
  const double cb = full ? (u - 128) / 255.0 : (u - 128) / 224.0;
  const double cr = full ? (v - 128) / 255.0 : (v - 128) / 224.0;
  const double r = yn + 2 * (1 - kr) * cr, b = yn + 2 * (1 - kb) * cb;
  const double g = (yn - kr * r - kb * b) / kg;
  return {std::clamp(r, 0.0, 1.0) * 255, std::clamp(g, 0.0, 1.0) * 255, std::clamp(b, 0.0, 1.0) * 255};
}

std::array<int, 3> CentreYuv(const std::string& path, int64_t k) {
  zk::video::VideoTrack t(path, 4);
  auto f = t.Get(k);
  const int x = f->width / 2, y = f->height / 2;
  return {f->data[0][y * f->linesize[0] + x], f->data[1][y / 2 * f->linesize[1] + x / 2],
          f->data[2][y / 2 * f->linesize[2] + x / 2]};
}

// A flat saturated colour, which a wrong matrix or range visibly shifts.
TEST_P(Colour, PixelsTakenFromAClipKeepItsColour) {
  const ColourCase& c = GetParam();
  const std::string in = (WorkDir() / (std::string("colour-") + c.name + ".mkv")).string();
  Ffmpeg(std::string("-f lavfi -i color=c=0x3366CC:s=") + c.size + ":r=25:d=1 -c:v libx264 -qp 0 " +
             "-pix_fmt yuv420p " + c.tags, in);
  const auto yuv = CentreYuv(in, 0);
  const auto want = ToRgb(yuv[0], yuv[1], yuv[2], c.bt709, c.full);
  // Ashveil variant 1 keeps this colour whole in its first frame.
  const fs::path png = FreshDir(std::string("colour-png-") + c.name);
  Outcome run = Zkhost("render Ashveil --frames 10 -q " + in + " -o " + (png / "%02d.png").string());
  ASSERT_EQ(run.status, 0) << run.output;
  int w, h;
  for (const char* name : {"01.png", "16.png"}) {  // passed through, and transition frame 0
    const auto px = RgbFrames((png / name).string(), &w, &h).at(0)[size_t(h / 2 * w + w / 2)];
    EXPECT_NEAR(double(px >> 16 & 255), want[0], 2.0) << name;
    EXPECT_NEAR(double(px >> 8 & 255), want[1], 2.0) << name;
    EXPECT_NEAR(double(px & 255), want[2], 2.0) << name;
  }
  // Through RGB and back to Y'CbCr: the same values, and the same tags.
  const std::string mkv = (WorkDir() / (std::string("colour-out-") + c.name + ".mkv")).string();
  run = Zkhost("render Ashveil --frames 10 -q -y --crf 0 " + in + " -o " + mkv);
  ASSERT_EQ(run.status, 0) << run.output;
  const auto back = CentreYuv(mkv, 15);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[size_t(i)], yuv[size_t(i)], 2) << "component " << i;
  zk::video::VideoTrack out(mkv, 2), src(in, 2);
  EXPECT_EQ(out.format().colour.range == AVCOL_RANGE_JPEG, c.full);
  EXPECT_EQ(out.format().colour.space == AVCOL_SPC_BT709, c.bt709);
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, Colour,
    testing::Values(ColourCase{"Bt709", "160x120", "-colorspace bt709 -color_range tv", true, false},
                    ColourCase{"Bt601", "160x120", "-colorspace smpte170m -color_range tv", false, false},
                    ColourCase{"Bt709Full", "160x120", "-colorspace bt709 -color_range pc", true, true},
                    ColourCase{"UndeclaredSd", "160x120", "", false, false},
                    ColourCase{"UndeclaredHd", "1280x720", "", true, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zk::test
