// --copy at its edges: the sound of a copy render as long as a full
// render's and as clean at its splices, AAC copied out of Matroska too, and
// the reason for each full render naming the thing.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace zk::test {
namespace {

struct CopyCase {
  const char* name;
  const char* edit;  // {A} and so on for the clips, {mkv} for the extension
  const char* says;  // a part of what zkhost says of --copy
  bool length;       // the sound is as long as a full render's
  bool splices;      // outside the transition (2.56 to 3.2 s), no worse than a full render anywhere
  bool decodes;      // as many frames decode as from a full render
};
void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }

// Two 3.2 s H.264 clips with the tones below (a transition of 0.64 s
// between them starts the second on the sound's cycles and on the AAC
// packets' grid), the same in Matroska and in a transport stream, a clip
// missing three frames, one of another size, and one in open GOPs (its
// later keyframes are I pictures that are not IDR).
class CopyEdges : public testing::TestWithParam<CopyCase> {
 protected:
  static void SetUpTestSuite() {
    const std::string video = " -pix_fmt yuv420p -c:v libx264 -g 25 ";
    for (const char* name : {"A", "B"}) {
      const std::string mp4 = Clip(name, "mp4");
      Ffmpeg(std::string("-f lavfi -i testsrc") + (name[0] == 'A' ? "2" : "") + "=s=160x120:r=25:d=3.2 -f lavfi -i "
             "'aevalsrc=0.2*sin(2*PI*440.625*t)+0.15*sin(2*PI*1234.375*t)+0.1*sin(2*PI*3150*t):s=48000:d=3.2'" +
             video + "-c:a aac", mp4);
      Ffmpeg("-i " + mp4 + " -c copy", Clip(name, "mkv"));
    }
    Ffmpeg("-i " + Clip("B", "mp4") + " -c copy -bsf:v h264_mp4toannexb", Clip("T", "ts"));
    Ffmpeg("-f lavfi -i testsrc=s=160x120:r=25:d=3.2 -vf \"select='not(between(n,30,32))'\" -fps_mode passthrough" +
           video, Clip("G", "mp4"));
    Ffmpeg("-f lavfi -i testsrc=s=320x240:r=25:d=3.2" + video, Clip("S", "mp4"));
    Ffmpeg("-f lavfi -i testsrc=s=160x120:r=25:d=3.2" + video + "-bf 3 -x264-params open-gop=1", Clip("O", "mp4"));
  }
  static std::string Clip(const std::string& name, const std::string& ext) {
    return (WorkDir() / ("edge-" + name + "." + ext)).string();
  }
};

std::string AudioDuration(const std::string& path) {
  return Shell("ffprobe -v error -select_streams a -show_entries stream=duration -of csv=p=0 " + path).output;
}

std::string DecodedFrames(const std::string& path) {
  return Shell("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 " +
               path).output;
}

// The clips' sound: three tones whose cycles fit whole into 0.64 s, so
// that the sound of a clip placed a multiple of that into the edit goes on
// where the other's leaves off.
double Tones(double t) {
  return 0.2 * std::sin(2 * M_PI * 440.625 * t) + 0.15 * std::sin(2 * M_PI * 1234.375 * t) +
         0.1 * std::sin(2 * M_PI * 3150 * t);
}

// The worst difference from the tones but in the first 4096 samples (where
// an encoder starts, alike in both renders), the last 1024 and from `from`
// to `to` seconds (the transition).
double WorstDifference(const std::vector<float>& s, double from, double to) {
  double worst = 0;
  for (size_t k = 4096; k + 1024 < s.size(); ++k) {
    const double t = double(k) / 48000;
    if (t < from || t >= to) worst = std::max(worst, std::abs(s[k] - Tones(t)));
  }
  return worst;
}

TEST_P(CopyEdges, DoesWhatItSays) {
  const CopyCase& c = GetParam();
  std::string edit = c.edit;
  for (const char* name : {"A", "B", "T", "G", "S", "O"}) {
    const std::string key = std::string("{") + name + "}";
    const std::string ext = name[0] == 'T' ? "ts" : edit.find("{mkv}") != std::string::npos ? "mkv" : "mp4";
    for (size_t at; (at = edit.find(key)) != std::string::npos;) edit.replace(at, key.size(), Clip(name, ext));
  }
  if (const size_t at = edit.find("{mkv}"); at != std::string::npos) edit.erase(at, 5);
  const std::string copied = (WorkDir() / (std::string(c.name) + "-copy.mp4")).string();
  const Outcome run = Zkhost("edit -q -y --copy " + edit + " -o " + copied);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
  if (!c.length && !c.splices && !c.decodes) return;
  const std::string full = (WorkDir() / (std::string(c.name) + "-full.mp4")).string();
  ASSERT_EQ(Zkhost("edit -q -y " + edit + " -o " + full).status, 0);
  if (c.length) {
    EXPECT_EQ(AudioDuration(copied), AudioDuration(full));
  }
  if (c.splices) {
    EXPECT_LE(WorstDifference(MonoAudio(copied, 48000), 2.56, 3.2), WorstDifference(MonoAudio(full, 48000), 2.56, 3.2));
  }
  if (c.decodes) {
    EXPECT_EQ(DecodedFrames(copied), DecodedFrames(full));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, CopyEdges,
    testing::Values(
        CopyCase{"SoundEndsWithThePicture", "-t cut {A} --out 2.92 {B}", "sound packets of 2 clips", true, false,
                 false},
        CopyCase{"AacInMatroska", "-t cut {A} --out 2.92 {B} {mkv}", "sound packets of 2 clips", true, false, false},
        CopyCase{"SplicesAsCleanAsAFullRender", "-t Cindergate:3:16 {A} {B}", "sound packets of 2 clips", false, true,
                 true},
        CopyCase{"LosslessCrf", "--crf 0 -t cut {A} {B}",
                 "because --crf 0 is lossless, which H.264 codes only in the High 4:4:4 Predictive profile", false,
                 false, false},
        CopyCase{"TransportStream", "-t cut {A} {T}",
                 "edge-T.ts: its parameter sets are in the stream, not the sample description (remux it to .mp4 to "
                 "copy it)", false, false, false},
        CopyCase{"MissingFrames", "-t cut {A} {G}", "edge-G.mp4: it has a gap of 3 frames at 1.200 s", false, false,
                 false},
        CopyCase{"OtherSize", "-t cut {A} {S}", "edge-S.mp4: it needs conforming: it is 320x240, the output 160x120",
                 false, false, false},
        // Copying starts again only at an IDR picture: here none follows the transition.
        CopyCase{"OpenGops", "-t Cindergate:3:16 {O} {O}", "copying 50 frames, encoding 94 in 1 stretch", false,
                 false, true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zk::test
