// Footage of the kinds people have, made by ffmpeg: what a user sees of
// each in zkhost's output (sync, orientation, colours, length, damage).
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"

namespace zk::test {
namespace {

// The mean colour of a box of a frame, as 0xRRGGBB rounded.
std::array<int, 3> Mean(const std::vector<uint32_t>& px, int w, int x0, int y0, int x1, int y1) {
  double r = 0, g = 0, b = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      const uint32_t p = px[size_t(y) * w + x];
      r += p >> 16 & 255;
      g += p >> 8 & 255;
      b += p & 255;
    }
  }
  const double n = double(x1 - x0) * (y1 - y0);
  return {int(std::lround(r / n)), int(std::lround(g / n)), int(std::lround(b / n))};
}

struct FootageCase {
  const char* name;
  std::vector<std::pair<const char*, std::string>> inputs;  // file name, ffmpeg arguments
  std::string render;  // zkhost arguments before the clips; {0} {1} are the inputs
  int status;          // 0, or the failure expected
  std::string message;  // a part of what zkhost prints
  std::function<void(const Seen&, const std::string& out)> check;
};
void PrintTo(const FootageCase& c, std::ostream* os) { *os << c.name; }

class Footage : public testing::TestWithParam<FootageCase> {};

TEST_P(Footage, LooksAndSoundsAsTheSourceDoes) {
  const FootageCase& c = GetParam();
  const fs::path dir = WorkDir() / (std::string("footage-") + c.name);
  fs::create_directories(dir);
  std::string args = c.render;
  for (size_t i = 0; i < c.inputs.size(); ++i) {
    const std::string path = (dir / c.inputs[i].first).string();
    std::string make = c.inputs[i].second;
    for (size_t at; (at = make.find("{prev}")) != std::string::npos;) {
      make.replace(at, 6, (dir / c.inputs[i - 1].first).string());
    }
    if (make[0] == '!') {  // a shell command rather than ffmpeg
      if (!fs::exists(path)) {
        ASSERT_EQ(Shell(make.substr(1) + " " + Quote(path)).status, 0) << make;
      }
    } else {
      Ffmpeg(make, path);
    }
    const std::string key = "{" + std::to_string(i) + "}";
    for (size_t at; (at = args.find(key)) != std::string::npos;) args.replace(at, key.size(), path);
  }
  const std::string out = (dir / "out.mkv").string();
  const Outcome run = Zkhost("render -q -y " + args + " -o " + out);
  ASSERT_EQ(run.status, c.status) << run.output;
  EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  if (c.status != 0) {
    EXPECT_FALSE(fs::exists(out));
    return;
  }
  Seen seen;
  seen.frames = RgbFrames(out, &seen.width, &seen.height);
  seen.sound = MonoAudio(out, 48000);
  zk::video::VideoTrack track(out, 2);
  seen.rate = av_q2d(track.format().rate);
  c.check(seen, out);
}

// Within one output frame at 25 fps.
constexpr double kFrame = 0.04;

void InSync(const Seen& s, const std::string&) {
  EXPECT_NEAR(FlashAt(s), 3.0, kFrame);
  EXPECT_NEAR(BeepAt(s), 3.0, kFrame);
}

std::function<void(const Seen&, const std::string&)> FieldOrder(std::string want) {
  return [want](const Seen&, const std::string& out) {
    const Outcome p = Shell("ffprobe -v error -select_streams v -show_entries stream=field_order -of csv=p=0 " + out);
    EXPECT_EQ(p.output.substr(0, p.output.find('\n')), want);
  };
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Footage,
    testing::Values(
        // A phone's variable rate: 3 of every 4 frames of 50 fps, 150 frames
        // over 3.98 s; shown on a constant 50 fps grid, in sync, as long.
        FootageCase{"VariableRate",
                    {{"vfr.mp4", FlashBeep(3.0, ",select='lt(mod(n\\,4)\\,3)'") +
                                     " -fps_mode vfr -c:v libx264 -c:a aac"}},
                    "Ashveil --frames 10 {0}", 0, "",
                    [](const Seen& s, const std::string&) {
                      InSync(s, "");
                      EXPECT_EQ(s.frames.size(), 199u);
                      EXPECT_NEAR(double(s.sound.size()) / 48000, 4.0, 0.03);
                    }},
        // 3 of every 5 frames of 50 fps average 30.24: written at 30 fps.
        FootageCase{"AverageNearABroadcastRate",
                    {{"avg.mp4", FlashBeep(3.0, ",select='lt(mod(n\\,5)\\,3)'") +
                                     " -fps_mode vfr -c:v libx264 -c:a aac"}},
                    "Ashveil --frames 10 {0}", 0, "",
                    [](const Seen& s, const std::string&) {
                      InSync(s, "");
                      EXPECT_EQ(s.rate, 30.0);
                    }},
        // Sound that starts 0.344 s before the picture, as in a cut stream:
        // flash and beep together 3.0 s into the picture.
        FootageCase{"AudioStartsEarlier",
                    {{"offset.ts", "-itsoffset 0.344 " + FlashBeep(3.344, "", 4.344) +
                                       " -c:v libx264 -c:a aac -f mpegts"}},
                    "Ashveil --frames 10 {0}", 0, "", InSync},
        // A portrait phone clip after a landscape one: upright, fitted with bars.
        FootageCase{"Rotated",
                    {{"land.mkv", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 -c:v ffv1"},
                     {"coded.mp4", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 "
                                   "-vf drawbox=x=0:y=0:w=40:h=30:c=red:t=fill -c:v libx264"},
                     {"portrait.mp4", "-i {prev} -c copy -metadata:s:v rotate=90"}},
                    "Cindergate --frames 10 {0} {2}", 0, "is fitted into 160x120 with black bars",
                    [](const Seen& s, const std::string& out) {
                      // Where a player shows the red corner: ffmpeg's own
                      // upright picture of the last frame (120 x 160).
                      const std::string src = (fs::path(out).parent_path() / "portrait.mp4").string();
                      FILE* p = popen(("ffmpeg -nostdin -v error -sseof -0.1 -i " + Quote(src) +
                                       " -frames:v 1 -f rawvideo -pix_fmt rgb0 -").c_str(), "r");
                      std::vector<uint32_t> player(120 * 160);
                      const size_t got = fread(player.data(), 4, player.size(), p);
                      pclose(p);
                      ASSERT_EQ(got, player.size());
                      for (auto& px : player) px = (px & 0xFF) << 16 | (px & 0xFF00) | (px >> 16 & 0xFF);
                      const bool right = Mean(player, 120, 100, 0, 120, 160)[0] > 150;
                      const bool bottom = Mean(player, 120, 0, 140, 120, 160)[0] > 150;
                      // Ours: 90 x 120 upright in the middle of 160 x 120, bars beside.
                      const auto& last = s.frames.back();
                      EXPECT_EQ(Mean(last, s.width, 0, 0, 30, 120), (std::array<int, 3>{0, 0, 0}));
                      const int x = right ? 110 : 40, y = bottom ? 110 : 2;
                      const auto red = Mean(last, s.width, x, y, x + 8, y + 8);
                      EXPECT_GT(red[0], 200) << "right " << right << " bottom " << bottom;
                      EXPECT_LT(red[1], 40);
                    }},
        // Full range first, limited second: the second's black and grey kept.
        FootageCase{"MixedRanges",
                    {{"full.mp4", "-f lavfi -i color=c=black:s=160x120:r=25:d=3,format=yuvj420p "
                                  "-c:v libx264 -qp 0 -color_range pc"},
                     {"tv.mp4", "-f lavfi -i color=c=0x808080:s=160x120:r=25:d=3 -vf "
                                "drawbox=x=0:y=0:w=80:h=120:c=black:t=fill -pix_fmt yuv420p -c:v libx264 "
                                "-qp 0 -color_range tv"}},
                    "Cindergate --frames 10 --crf 0 {0} {1}", 0, "",
                    [](const Seen& s, const std::string&) {
                      const auto& last = s.frames.back();
                      for (int v : Mean(last, s.width, 10, 10, 70, 110)) EXPECT_LE(v, 2);
                      for (int v : Mean(last, s.width, 90, 10, 150, 110)) EXPECT_NEAR(v, 128, 2);
                    }},
        // An RGB first clip: the output still carries a real matrix.
        FootageCase{"RgbFirst",
                    {{"rgb.mkv", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 -c:v ffv1 -pix_fmt bgr0"}},
                    "Ashveil --frames 10 {0}", 0, "",
                    [](const Seen&, const std::string& out) {
                      const Outcome p = Shell("ffprobe -v error -show_entries stream=color_space,"
                                              "color_primaries,color_transfer -of csv=p=0 " + out);
                      EXPECT_EQ(p.output.substr(0, p.output.find('\n')), "smpte170m,smpte170m,smpte170m");
                    }},
        // Odd sizes: 4:2:0 output one column and row larger.
        FootageCase{"OddSize",
                    {{"odd.mkv", "-f lavfi -i testsrc=s=133x77:r=25:d=3 -c:v ffv1"}},
                    "Ashveil --frames 10 {0}", 0, "133x77 is written as 134x78",
                    [](const Seen& s, const std::string&) {
                      EXPECT_EQ(s.width, 134);
                      EXPECT_EQ(s.height, 78);
                      EXPECT_EQ(s.frames.size(), 75u);
                    }},
        // A transport stream cut in mid-GOP: it starts at the first frame
        // that decodes.
        FootageCase{"CutInMidGop",
                    {{"gop.ts", "-f lavfi -i testsrc2=s=160x120:r=25:d=4 -c:v libx264 -g 25 -bf 2 -f mpegts"},
                     {"cut.ts", "!dd status=none bs=188 skip=150 if={prev} >"}},
                    "Ashveil --frames 10 {1}", 0, "do not decode",
                    [](const Seen& s, const std::string&) {
                      EXPECT_GT(s.frames.size(), 25u);
                      EXPECT_LT(s.frames.size(), 100u);
                    }},
        // The same rate written two ways: conformed, not refused.
        FootageCase{"RateWrittenTwoWays",
                    {{"r1.mkv", "-f lavfi -i testsrc2=s=160x120:r=30000/1001:d=3 -c:v ffv1"},
                     {"r2.mkv", "-f lavfi -i testsrc2=s=160x120:r=2997/100:d=3 -c:v ffv1"}},
                    "Cindergate --frames 10 {0} {1}", 0, "is retimed",
                    [](const Seen& s, const std::string&) { EXPECT_EQ(s.frames.size(), 90u + 90u - 10u); }},
        // Interlaced footage stays interlaced, its fields in their order.
        FootageCase{"InterlacedTopFirst",
                    {{"tff.mp4", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 -flags +ildct+ilme -top 1 -c:v libx264"}},
                    "Ashveil --frames 10 {0}", 0, "written interlaced", FieldOrder("tt")},
        FootageCase{"InterlacedBottomFirst",
                    {{"bff.mp4", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 -flags +ildct+ilme -top 0 -c:v libx264"}},
                    "Ashveil --frames 10 {0}", 0, "written interlaced", FieldOrder("bb")},
        // A clip's level holds through the transition.
        FootageCase{"SecondClipSilenced",
                    {{"tone.mkv", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 -f lavfi -i sine=f=440:r=48000:d=3 "
                                  "-c:v ffv1 -c:a pcm_s16le"},
                     {"tone2.mkv", "-f lavfi -i testsrc2=s=160x120:r=25:d=3 -f lavfi -i sine=f=880:r=48000:d=3 "
                                   "-c:v ffv1 -c:a pcm_s16le"}},
                    "Cindergate --frames 20 --volume-b 0 {0} {1}", 0, "",
                    [](const Seen& s, const std::string&) {
                      for (int j : {60, 70, 100}) {  // in the transition and after it
                        EXPECT_NEAR(Amplitude(s.sound, size_t(j) * 1920, 1920, 880, 48000), 0, 0.01) << j;
                      }
                    }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zk::test
