// Each output codec as a player or editor meets it: it decodes without an
// error, it is the codec, profile and depth asked for, and picture and
// sound stay together.
#include <gtest/gtest.h>

#include "harness.h"

namespace zk::test {
namespace {

// A 4 s clip with a flash and a beep at 3.0 s, losslessly 8- or 10-bit.
std::string Source(int depth) {
  const std::string p = (WorkDir() / ("flash" + std::to_string(depth) + ".mkv")).string();
  Ffmpeg(FlashBeep(3.0, depth == 10 ? ",format=yuv420p10le" : "") + " -c:v ffv1 -c:a pcm_s16le", p);
  return p;
}

// The hashes of the first n pictures as decoded, without their times.
std::vector<std::string> PictureHashes(const std::string& path, int n) {
  const Outcome r = Shell("ffmpeg -nostdin -v error -i " + Quote(path) + " -map 0:v -frames:v " + std::to_string(n) +
                          " -f framemd5 -");
  std::vector<std::string> hashes;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 2));
  }
  return hashes;
}

struct CodecCase {
  const char* name;
  int depth;         // of the source
  std::string args;  // zkhost's, before the clip
  const char* file;
  const char* video;  // what ffprobe says: codec, profile, pixel format
  const char* audio;  // codec, profile, sample format
  bool lossless;      // the frames before the transition are the source's exactly
};
void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }

class Codecs : public testing::TestWithParam<CodecCase> {};

TEST_P(Codecs, DecodeAsAskedAndInSync) {
  const CodecCase& c = GetParam();
  const std::string source = Source(c.depth);
  const std::string out = (WorkDir() / c.file).string();
  const Outcome run = Zkhost("render Ashveil -q -y --frames 10 " + c.args + " " + source + " -o " + out);
  ASSERT_EQ(run.status, 0) << run.output;

  const Outcome decode = Shell("ffmpeg -nostdin -v error -xerror -i " + Quote(out) + " -f null -");
  EXPECT_EQ(decode.status, 0) << decode.output;
  EXPECT_EQ(decode.output, "");
  const Outcome probe = Shell("ffprobe -v error -show_entries stream=codec_name,profile,pix_fmt,sample_fmt "
                              "-of csv=p=0 " + Quote(out));
  EXPECT_EQ(probe.output, std::string(c.video) + "\n" + c.audio + "\n");

  // Picture and sound on the container's clock, as a player shows them.
  Seen seen;
  seen.frames = RgbFrames(out, &seen.width, &seen.height);
  seen.sound = MonoAudio(out, 48000);
  seen.rate = 50;
  ASSERT_EQ(seen.frames.size(), 200u);
  const double flash = FlashAt(seen) + zk::video::VideoTrack(out, 2).start();
  EXPECT_NEAR(FlashAt(seen), 3.0, 0.001);
  EXPECT_NEAR(BeepAt(seen), flash, 0.003);  // Matroska's times are whole milliseconds
  if (c.lossless) {
    EXPECT_EQ(PictureHashes(out, 150), PictureHashes(source, 150));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Codecs,
    testing::Values(
        CodecCase{"H264", 8, "", "h264.mp4", "h264,High,yuv420p", "aac,LC,fltp", false},
        // --crf 0 is lossless at 10 bits too.
        CodecCase{"H264TenBitLossless", 10, "--pix-fmt yuv420p10le --crf 0", "h264-10.mkv",
                  "h264,High 4:4:4 Predictive,yuv420p10le", "aac,LC,fltp", true},
        CodecCase{"H265TenBit", 10, "--codec h265", "h265.mp4", "hevc,Main 10,yuv420p10le", "aac,LC,fltp", false},
        CodecCase{"H265", 8, "--codec h265 --crf 30 --preset ultrafast", "h265.mov", "hevc,Main,yuv420p",
                  "aac,LC,fltp", false},
        CodecCase{"Vp9TenBit", 10, "", "vp9.webm", "vp9,Profile 2,yuv420p10le", "opus,unknown,fltp", false},
        CodecCase{"Vp9", 8, "--codec vp9 --crf 40", "vp9.mkv", "vp9,Profile 0,yuv420p", "opus,unknown,fltp", false},
        // 8-bit pictures converted up: ProRes is 10-bit only.
        CodecCase{"ProRes", 8, "--codec prores", "prores.mov", "prores,HQ,yuv422p10le", "pcm_s24le,unknown,s32",
                  false},
        CodecCase{"Ffv1TenBit", 10, "--codec ffv1", "ffv1-10.mkv", "ffv1,unknown,yuv420p10le", "flac,unknown,s32",
                  true},
        CodecCase{"Ffv1", 8, "--codec ffv1", "ffv1.mkv", "ffv1,unknown,yuv420p", "flac,unknown,s32", true}),
    [](const auto& info) { return info.param.name; });

// ProRes has no full-range flag and editors read it as limited range: a
// full-range clip's dark and light greys keep their levels there.
TEST(ProRes, AFullRangeClipKeepsItsLevels) {
  const std::string source = (WorkDir() / "full.mp4").string();
  Ffmpeg("-f lavfi -i color=c=0x202020:s=160x120:r=25:d=3 -vf drawbox=x=80:y=0:w=80:h=120:c=0xE0E0E0:t=fill,"
         "format=yuvj420p -c:v libx264 -qp 0 -color_range pc", source);
  const std::string out = (WorkDir() / "full.mov").string();
  const Outcome run = Zkhost("render Ashveil -q -y --frames 10 --codec prores " + source + " -o " + out);
  ASSERT_EQ(run.status, 0) << run.output;
  const auto frames = RgbFrames(out);
  ASSERT_FALSE(frames.empty());
  EXPECT_NEAR(int(frames[0][60 * 160 + 20] & 255), 0x20, 2);
  EXPECT_NEAR(int(frames[0][60 * 160 + 140] & 255), 0xE0, 2);
}

}  // namespace
}  // namespace zk::test
