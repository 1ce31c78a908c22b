// An edit rendered in segments and joined gives what one render gives.
#include <fstream>
#include <map>

#include "harness.h"

namespace zk::test {
namespace {

// Four H.264 and AAC clips, each with its own picture and tone.
std::string Clip(int i) {
  const std::string p = (WorkDir() / ("seg" + std::to_string(i) + ".mp4")).string();
  Ffmpeg("-f lavfi -i testsrc2=s=320x240:r=25:d=2.4,hue=h=" + std::to_string(i * 90) +
             " -f lavfi -i sine=f=" + std::to_string(300 + 200 * i) +
             ":r=48000:d=2.4 -c:v libx264 -preset veryfast -g 25 -c:a aac",
         p);
  return p;
}

std::string Edit(const std::string& quality) {
  return Quote(Clip(0)) + " --then Cindergate:3:20 " + Quote(Clip(1)) + " --then Ashveil:2:10 " + Quote(Clip(2)) +
         " --then cut " + Quote(Clip(3)) + " " + quality;
}

// The average PSNR of a's pictures against b's, in dB.
double Psnr(const std::string& a, const std::string& b) {
  const Outcome r = Shell("ffmpeg -nostdin -i " + Quote(a) + " -i " + Quote(b) +
                          " -lavfi '[0:v][1:v]psnr' -f null - 2>&1 | grep -o 'average:[0-9.inf]*'");
  return r.output.find("inf") != std::string::npos ? 1e9 : std::atof(r.output.c_str() + 8);
}

// One render of the edit, the reference, per quality: on one thread, as
// segments are rendered, since x264's frame threads change its output.
const std::string& Whole(const std::string& quality) {
  static std::map<std::string, std::string> made;
  std::string& path = made[quality];
  if (path.empty()) {
    path = (WorkDir() / ("whole" + std::to_string(made.size()) + ".mp4")).string();
    const Outcome r = Zkhost("edit -q -j 1 " + Edit(quality) + " -o " + Quote(path));
    EXPECT_EQ(r.status, 0) << r.output;
  }
  return path;
}

// Plans the edit into dir, renders every segment and joins them.
Outcome PlanRenderJoin(const fs::path& dir, int n, const std::string& quality, const std::string& out) {
  Outcome r = Zkhost("edit -q " + Edit(quality) + " -o " + Quote(out) + " --plan " + Quote(dir.string()) +
                     " --segments " + std::to_string(n));
  for (int k = 0; k < n && r.status == 0; ++k) r = Zkhost("segment -q " + Quote(dir.string()) + " " + std::to_string(k));
  if (r.status == 0) r = Zkhost("join -q " + Quote(dir.string()));
  return r;
}

struct JoinCase {
  const char* name;
  int segments;
  const char* quality;
  bool exact;  // lossless: every frame the same
};

class Join : public testing::TestWithParam<JoinCase> {};

TEST_P(Join, GivesWhatOneRenderGives) {
  const JoinCase& c = GetParam();
  const fs::path dir = WorkDir() / (std::string("plan-") + c.name);
  const std::string out = (WorkDir() / (std::string("joined-") + c.name + ".mp4")).string();
  const Outcome r = PlanRenderJoin(dir, c.segments, c.quality, out);
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string& whole = Whole(c.quality);
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -xerror -i " + Quote(out) + " -f null -").output, "");
  const std::string probe = "ffprobe -v error -count_packets -show_entries stream=nb_read_packets,duration -of csv ";
  EXPECT_EQ(Shell(probe + Quote(out)).output, Shell(probe + Quote(whole)).output);
  if (c.exact) {
    EXPECT_EQ(FrameMd5s(out, "v"), FrameMd5s(whole, "v"));
  } else {
    EXPECT_GE(Psnr(out, whole), 45.0);
    // Each segment's fresh keyframe costs no quality a viewer would see.
    const std::string& lossless = Whole("--crf 0");
    EXPECT_GE(Psnr(out, lossless), Psnr(whole, lossless) - 0.5);
  }
  // The join encodes the same mixed sound the whole render encodes.
  EXPECT_EQ(FrameMd5s(out, "a"), FrameMd5s(whole, "a"));
}

INSTANTIATE_TEST_SUITE_P(Segments, Join,
                         testing::Values(JoinCase{"One", 1, "--crf 0", true}, JoinCase{"Two", 2, "--crf 0", true},
                                         JoinCase{"Five", 5, "--crf 0", true},
                                         JoinCase{"TwoAtTheDefault", 2, "", false},
                                         JoinCase{"OneCopying", 1, "--copy", true},
                                         JoinCase{"TwoCopying", 2, "--copy", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// What the join (or a segment's job) refuses, and that it names the
// segment or clip and what to do.
struct RefusalCase {
  const char* name;
  const char* spoil;     // a shell command run in the plan's folder after the segments
  const char* expected;  // in the message
  bool segment = false;  // segment 1's job refuses, rather than the join
};

class Refuse : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refuse, NamesTheSegment) {
  const RefusalCase& c = GetParam();
  const fs::path dir = WorkDir() / (std::string("refuse-") + c.name);
  const std::string out = (WorkDir() / (std::string("refused-") + c.name + ".mp4")).string();
  ASSERT_EQ(PlanRenderJoin(dir, 2, "--crf 30", out).status, 0);
  fs::remove(out);
  ASSERT_EQ(Shell("cd " + Quote(dir.string()) + " && " + c.spoil).status, 0);
  const Outcome r = Zkhost(c.segment ? "segment -q " + Quote(dir.string()) + " 1" : "join -q " + Quote(dir.string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find(c.expected), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Segments, Refuse,
    testing::Values(
        RefusalCase{"Missing", "rm segment-1.mkv", "is missing: render it with zkhost segment"},
        RefusalCase{"Unfinished", "mv segment-1.mkv .segment-1.mkv.zkhost-99.mkv", "is not finished (its job runs or died): render it with zkhost segment"},
        RefusalCase{"OfAnotherPlan", "sed -i 's/^plan = .*/plan = \"0123456789abcdef\"/' plan.toml", "belongs to another plan"},
        RefusalCase{"OfAnotherVersion", "sed -i 's/^zkhost = .*/zkhost = \"0.0.1\"/' plan.toml", "was made by zkhost 0.0.1; this is zkhost"},
        RefusalCase{"CutOff", "truncate -s $(($(stat -c %s segment-0.mkv) * 6 / 10)) segment-0.mkv", "segment 0 of 2"},
        RefusalCase{"Swapped", "mv segment-0.mkv x && mv segment-1.mkv segment-0.mkv && mv x segment-1.mkv", "is another segment of the plan"},
        RefusalCase{"AClipChanged", "touch -d 2001-01-01 ../seg3.mp4", "seg3.mp4 has changed since the plan was made", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A scheduler may run a job twice, or two at once: one whole segment stays.
TEST(Segments, AJobRunTwiceOrTwoAtOnceLeavesOneWholeSegment) {
  const fs::path dir = WorkDir() / "twice";
  const std::string out = (WorkDir() / "twice.mp4").string();
  ASSERT_EQ(PlanRenderJoin(dir, 2, "--crf 0", out).status, 0);
  fs::remove(out);
  const std::string job = std::string(ZKHOST) + " segment -q " + Quote(dir.string()) + " 1";
  const Outcome r = Shell(job + " & " + job + " & wait; " + job);
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_EQ(Zkhost("join -q " + Quote(dir.string())).status, 0);
  EXPECT_EQ(FrameMd5s(out, "v"), FrameMd5s(Whole("--crf 0"), "v"));
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) files += e.path().filename().string().starts_with(".") ? 100 : 1;
  EXPECT_EQ(files, 3u) << "plan.toml and two segments, no temporary file";
}

}  // namespace
}  // namespace zk::test
