// Streams at their edges: a Matroska or WebM file cut off is refused where
// it ends, a whole one never is; a clip entered at a recovery point (intra
// refresh) or in a transport stream shows the pictures a full decode does.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "harness.h"

namespace zk::test {
namespace {

// Makes a file by a shell command, {o} standing for its path.
void Make(std::string command, const std::string& out) {
  if (fs::exists(out)) return;
  for (size_t at; (at = command.find("{o}")) != std::string::npos;) command.replace(at, 3, Quote(out));
  const Outcome r = Shell(command);
  ASSERT_EQ(r.status, 0) << command << "\n" << r.output;
}

// The first `bytes` of a file, as an interrupted copy leaves it.
void Truncate(const std::string& from, const std::string& to, long bytes) {
  std::ifstream in(from, std::ios::binary);
  std::string data(size_t(bytes), '\0');
  in.read(data.data(), bytes);
  std::ofstream(to, std::ios::binary).write(data.data(), in.gcount());
}

std::vector<double> Numbers(const std::string& text) {
  std::vector<double> v;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    for (char& c : line) c = c == ',' ? ' ' : c;
    std::istringstream fields(line);
    for (std::string f; fields >> f;) v.push_back(f == "N/A" ? NAN : std::atof(f.c_str()));
  }
  return v;
}

// Where the pictures ffprobe reads run without a gap to (a cut keeps
// some pictures shown after ones it drops), from the first, as zkhost
// prints a time ("1.880 s").  The clips are 25 fps.
std::string ProbedEnd(const std::string& path) {
  const auto v = Numbers(Shell("ffprobe -v quiet -select_streams v -show_entries packet=pts_time "
                               "-of csv=p=0 " + Quote(path) + " 2>/dev/null").output);
  std::vector<double> pts(v.begin(), v.end());
  std::sort(pts.begin(), pts.end());
  size_t last = 0;
  while (last + 1 < pts.size() && pts[last + 1] - pts[last] < 0.06) ++last;
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", pts[last] + 0.04 - pts[0]);
  return text;
}

// Where a Matroska file's index (its Cues, after the clusters) starts, as
// mkvinfo finds it.
long CuesAt(const std::string& path) {
  const std::string info = Shell("mkvinfo -v -v " + Quote(path)).output;
  const size_t at = info.find("+ Cues at ");
  return at == std::string::npos ? 0 : std::atol(info.c_str() + at + 10);
}

const std::string kPicture = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=160x120:r=25:d=4 ";
const std::string kSound = "-f lavfi -i sine=r=48000:d=4 ";

struct DamageCase {
  const char* name;
  std::string make;  // the whole file, {o}
  double keep;       // the part of its bytes kept; 0: up to its index; -1: all
  int status;
  const char* says;  // after "damaged near T s (the file is cut off there"; unused when accepted
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class Damage : public testing::TestWithParam<DamageCase> {};

TEST_P(Damage, CutOffIsRefusedWhereItEndsAndWholeIsNot) {
  const DamageCase& c = GetParam();
  const fs::path dir = WorkDir() / (std::string("damage-") + c.name);
  fs::create_directories(dir);
  const bool webm = std::string(c.name).rfind("Webm", 0) == 0;
  const std::string whole = (dir / (webm ? "whole.webm" : "whole.mkv")).string();
  ASSERT_NO_FATAL_FAILURE(Make(c.make, whole));
  std::string clip = whole;
  if (c.keep >= 0) {
    clip = (dir / ("cut" + fs::path(whole).extension().string())).string();
    const long bytes = c.keep > 0 ? long(double(fs::file_size(whole)) * c.keep) : CuesAt(whole);
    ASSERT_GT(bytes, 0);
    Truncate(whole, clip, bytes);
  }
  const Outcome run = Zkhost("render -q -y Ashveil --frames 10 " + Quote(clip) + " -o " + Quote((dir / "out.mkv").string()));
  ASSERT_EQ(run.status, c.status) << run.output;
  if (c.status == 0) {
    EXPECT_EQ(run.output.find("damaged"), std::string::npos) << run.output;
    return;
  }
  const std::string want = clip + ": damaged near " + ProbedEnd(clip) + " (the file is cut off there" + c.says;
  EXPECT_NE(run.output.find(want), std::string::npos) << run.output << "wanted: " << want;
}

// A header's duration as ffprobe reads it, for the message.
const char* kHeaderSays = "; its header says";

INSTANTIATE_TEST_SUITE_P(
    Matroska, Damage,
    testing::Values(
        DamageCase{"FfmpegCut", kPicture + kSound + "-c:v libx264 -c:a aac {o}", 0.45, 1, kHeaderSays},
        DamageCase{"MkvmergeCut",
                   kPicture + kSound + "-c:v libx264 -c:a aac {o}.mp4 && mkvmerge -q -o {o} {o}.mp4", 0.45, 1,
                   kHeaderSays},
        DamageCase{"WebmCut", kPicture + kSound + "-c:v libvpx -deadline realtime -c:a libopus {o}", 0.45, 1,
                   kHeaderSays},
        // Written to a pipe: the segment's size unknown, no duration; its
        // clusters' sizes still tell.
        DamageCase{"PipedCut", kPicture + "-c:v libx264 -f matroska - > {o}", 0.5, 1, ")"},
        // Whole files of each kind.
        DamageCase{"FfmpegWhole", kPicture + kSound + "-c:v libx264 -c:a pcm_s16le {o}", -1, 0, ""},
        DamageCase{"MkvmergeWhole", kPicture + kSound + "-c:v libx264 -c:a aac {o}.mp4 && mkvmerge -q -o {o} {o}.mp4",
                   -1, 0, ""},
        DamageCase{"WebmWhole", kPicture + kSound + "-c:v libvpx -deadline realtime -c:a libopus {o}", -1, 0, ""},
        DamageCase{"PipedWhole", kPicture + "-c:v libx264 -f matroska - > {o}", -1, 0, ""},
        // Streamed: the segment and its clusters of unknown size.
        DamageCase{"LiveWhole",
                   "gst-launch-1.0 -q videotestsrc num-buffers=100 ! video/x-raw,width=160,height=120,framerate=25/1 "
                   "! vp8enc deadline=1 ! matroskamux streamable=true ! filesink location={o}",
                   -1, 0, ""},
        // Every cluster there, only the index after them lost: it plays
        // whole.  Its sound runs on after the picture, to the duration.
        DamageCase{"IndexLost",
                   "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=160x120:r=25:d=2 " + kSound +
                       "-c:v libx264 -c:a aac {o}",
                   0, 0, ""}),
    [](const auto& info) { return info.param.name; });

// ---- Recovery points ----------------------------------------------------------

// The PSNR of each output frame from `outFrom` against a full decode of the
// source (by ffmpeg) from `srcFrom`, `count` frames; a frame equal to its
// source counts as 1000 dB.
std::vector<double> Psnr(const std::string& out, int outFrom, const std::string& src, int srcFrom, int count) {
  const std::string graph = "[0:v]trim=start_frame=" + std::to_string(outFrom) + ":end_frame=" +
                            std::to_string(outFrom + count) + ",setpts=PTS-STARTPTS[o];[1:v]trim=start_frame=" +
                            std::to_string(srcFrom) + ":end_frame=" + std::to_string(srcFrom + count) +
                            ",setpts=PTS-STARTPTS[s];[o][s]psnr=stats_file=-";
  const Outcome r = Shell("ffmpeg -nostdin -v error -i " + Quote(out) + " -i " + Quote(src) + " -lavfi \"" + graph +
                          "\" -f null - 2>/dev/null");
  std::vector<double> db;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find("psnr_avg:");
    if (at == std::string::npos) continue;
    const std::string v = line.substr(at + 9, line.find(' ', at) - at - 9);
    db.push_back(v == "inf" ? 1000 : std::atof(v.c_str()));
  }
  return db;
}

int FrameCount(const std::string& path) {
  const Outcome r = Shell("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
                          "-of csv=p=0 " + Quote(path));
  return std::atoi(r.output.c_str());
}

struct RecoveryCase {
  const char* name;
  std::string args;     // zkhost edit's; {ir} intra refresh with B pictures, {ir0} without, {ts}, {a}
  const char* source;   // the clip the output's tail shows: its tag
  int outFrom, srcFrom, count;  // that tail: output frames from outFrom are source frames from srcFrom
  int frames;           // the output's
  double psnr;          // at least, every frame of the tail
  const char* says;     // a part of what zkhost prints
};
void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

class RecoveryPoints : public testing::TestWithParam<RecoveryCase> {};

TEST_P(RecoveryPoints, ShowTheSourcesPicturesAndNoDamage) {
  const RecoveryCase& c = GetParam();
  const fs::path dir = WorkDir() / "recovery";
  fs::create_directories(dir);
  // Intra refresh: a refresh every second, the container marking each
  // recovery point as a keyframe; no IDR after the first picture.
  const std::string refresh = "-c:v libx264 -x264-params intra-refresh=1:keyint=25 ";
  const struct {
    const char *tag, *file;
    std::string make;
  } clips[] = {{"{ir}", "ir.mp4", kPicture + refresh + "{o}"},
               {"{ir0}", "ir0.mp4", kPicture + refresh + "-bf 0 {o}"},
               {"{ts}", "gop.ts", kPicture + "-c:v libx264 -g 25 -bf 2 {o}"},
               {"{a}", "a.mkv", "ffmpeg -nostdin -v error -y -f lavfi -i mandelbrot=s=160x120:r=25 -t 3 -c:v ffv1 {o}"}};
  std::string args = c.args, source;
  for (const auto& clip : clips) {
    const std::string path = (dir / clip.file).string();
    ASSERT_NO_FATAL_FAILURE(Make(clip.make, path));
    const std::string tag = clip.tag;
    for (size_t at; (at = args.find(tag)) != std::string::npos;) args.replace(at, tag.size(), path);
    if (tag == c.source) source = path;
  }
  const std::string out = (dir / (std::string(c.name) + ".mkv")).string();
  const Outcome run = Zkhost("edit -y " + args + " -o " + Quote(out));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("damaged"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
  EXPECT_EQ(FrameCount(out), c.frames);
  const auto db = Psnr(out, c.outFrom, source, c.srcFrom, c.count);
  ASSERT_EQ(int(db.size()), c.count);
  for (size_t i = 0; i < db.size(); ++i) EXPECT_GE(db[i], c.psnr) << "output frame " << c.outFrom + int(i);
}

INSTANTIATE_TEST_SUITE_P(
    IntraRefresh, RecoveryPoints,
    testing::Values(
        // Entered 5 frames after a recovery point, before its picture is
        // whole: decoded from the one before; FFV1 keeps every picture.
        RecoveryCase{"Trimmed", "-t cut --in 2.28 {ir} --codec ffv1", "{ir}", 0, 57, 43, 43, 1000, ""},
        // The same clip entering through a transition: every frame after it
        // is the source's.
        RecoveryCase{"Transition", "-t Cindergate:1:10 {a} --in 2.28 {ir} --codec ffv1", "{ir}", 75, 67, 33, 108,
                     1000, ""},
        // A copy starts only at the IDR: the untrimmed clip is copied, the
        // trimmed one encoded from its own clean pictures.
        RecoveryCase{"Copy", "--copy -t cut {ir0} --in 2.28 {ir0}", "{ir0}", 100, 57, 43, 143, 36,
                     "copying 100 frames, encoding 43 in 1 stretch"},
        // A transport stream seeks by decode time: entered past its first
        // GOP, it starts at the keyframe, not the packet after it.
        RecoveryCase{"TransportStream", "-t cut --in 1.52 {ts} --codec ffv1", "{ts}", 0, 38, 62, 62, 1000, ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zk::test
