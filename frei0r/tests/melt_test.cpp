// The plug-ins inside melt: transitions between clips made by ffmpeg,
// rendered to raw RGBA, against the reference host on the same frames, and
// a project as Kdenlive saves one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

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
    // The system's folder too: Kdenlive's projects lay tracks with its cairoblend.
    setenv("FREI0R_PATH", ZK_FREI0R_DIR ":/usr/lib/frei0r-1", 1);
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
                  out + " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1 real_time=-1", out + ".log"),
            0) << Printed(out + ".log");
  const std::vector<Rgba> rendered = ReadFrames(out);
  ASSERT_GE(rendered.size(), size_t(kOutgoingOut + (v.twoClips ? 2 : 1))) << Printed(out + ".log");

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

// The progress Kdenlive 22.12 stores when a user adds the effect or the
// composition with its description's default: a switch's default as it
// stands, an animated parameter's as one keyframe of its number (0 where
// the default is not a number).
std::string KdenliveSavedProgress(const Variant& v) {
  std::ifstream file(std::string(ZK_KDENLIVE_DIR) + (v.twoClips ? "/transitions/" : "/effects/") + "frei0r_" +
                     v.id + ".xml");
  const std::string xml{std::istreambuf_iterator<char>(file), {}};
  std::smatch m;
  if (!std::regex_search(xml, m, std::regex(R"re(type="(\w+)" name="progress"[^>]*default="([^"]*)")re"))) return "";
  if (m[1] == "switch") return m[2];
  char* end = nullptr;
  const std::string text = m[2];
  const double number = std::strtod(text.c_str(), &end);
  return "0=" + std::to_string(*end == '\0' ? number : 0.0);
}

// A project as Kdenlive 22.12 saves it: a black track, one tractor of two
// playlists per video track (V1 holds a.mkv, V2 b.mkv, both from frame 0),
// each track laid over the black one by an internal cairoblend, and either
// the effect on V1's clip or the composition from V1 to V2 over frames
// first to last.
std::string KdenliveProject(const std::string& dir, const Variant& v, const std::string& progress, int first,
                            int last) {
  const std::string service = "<property name=\"mlt_service\">frei0r." + std::string(v.id) +
                              "</property><property name=\"kdenlive_id\">frei0r." + v.id +
                              "</property><property name=\"progress\">" + progress + "</property>";
  std::string xml = "<mlt LC_NUMERIC=\"C\" producer=\"main_bin\" version=\"7.12.0\">"
                    "<profile width=\"160\" height=\"120\" frame_rate_num=\"25\" frame_rate_den=\"1\" "
                    "progressive=\"1\" sample_aspect_num=\"1\" sample_aspect_den=\"1\" display_aspect_num=\"4\" "
                    "display_aspect_den=\"3\" colorspace=\"709\"/>"
                    "<producer id=\"black_track\" in=\"0\" out=\"15000\"><property name=\"length\">15001</property>"
                    "<property name=\"resource\">black</property><property name=\"mlt_service\">color</property>"
                    "</producer>";
  for (const char* clip : {"a", "b"}) {
    xml += std::string("<producer id=\"") + clip + "\" in=\"0\" out=\"49\"><property name=\"length\">50</property>" +
           "<property name=\"resource\">" + dir + "/" + clip + ".mkv</property>" +
           "<property name=\"mlt_service\">avformat-novalidate</property></producer>";
  }
  const std::string effect =
      v.twoClips ? "" : "<filter id=\"filter0\"><property name=\"version\">0.1</property>" + service + "</filter>";
  for (const char* clip : {"a", "b"}) {
    // The effect's clip is alone on the timeline.
    const std::string entry = clip[0] == 'a'    ? "<entry producer=\"a\" in=\"0\" out=\"49\">" + effect + "</entry>"
                              : v.twoClips ? "<entry producer=\"b\" in=\"0\" out=\"49\"/>"
                                           : "<blank length=\"50\"/>";
    xml += std::string("<playlist id=\"") + clip + "_track\">" + entry + "</playlist><playlist id=\"" + clip +
           "_empty\"/>" +
           "<tractor id=\"" + clip + "_tractor\" in=\"0\" out=\"49\"><track hide=\"audio\" producer=\"" + clip +
           "_track\"/><track hide=\"audio\" producer=\"" + clip + "_empty\"/></tractor>";
  }
  xml += "<tractor id=\"main\" in=\"0\" out=\"49\"><track producer=\"black_track\"/>"
         "<track producer=\"a_tractor\"/><track producer=\"b_tractor\"/>";
  if (v.twoClips) {
    xml += "<transition id=\"composition\" in=\"" + std::to_string(first) + "\" out=\"" + std::to_string(last) +
           "\"><property name=\"a_track\">1</property><property name=\"b_track\">2</property>"
           "<property name=\"version\">0.1</property>" + service + "</transition>";
  }
  for (const char* track : {"1", "2"}) {
    xml += std::string("<transition><property name=\"a_track\">0</property><property name=\"b_track\">") + track +
           "</property><property name=\"version\">0.1</property><property name=\"mlt_service\">"
           "frei0r.cairoblend</property><property name=\"always_active\">1</property>"
           "<property name=\"internal_added\">237</property></transition>";
  }
  return xml + "</tractor></mlt>";
}

// Added as a user adds them, with their defaults, the effect runs from its
// clip's first frame to its last and the composition from its first frame
// to its last: the first clip on the first frame, the end state on the last
// (black or white; the second clip), each frame the reference host's.
class KdenliveProjectInMelt : public Melt {};

TEST_P(KdenliveProjectInMelt, AnimatesWithItsDefaults) {
  const Variant& v = kVariants[GetParam().variant];
  const std::vector<Rgba> a = ReadFrames(dir_ + "/a.rgba"), b = ReadFrames(dir_ + "/b.rgba");
  const int first = v.twoClips ? 10 : 0, last = v.twoClips ? 39 : 49, n = last - first;
  const std::string project = dir_ + "/" + v.id + ".kdenlive", out = dir_ + "/kdenlive_" + v.id + ".rgba";
  std::ofstream(project) << KdenliveProject(dir_, v, KdenliveSavedProgress(v), first, last);
  // As Kdenlive's render does, stop where the clips end, not the black track.
  ASSERT_EQ(Shell(std::string(ZK_MELT) + " " + project + " out=49 -consumer avformat:" + out +
                  " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1 real_time=-1", out + ".log"),
            0) << Printed(out + ".log");
  const std::vector<Rgba> rendered = ReadFrames(out);
  ASSERT_EQ(rendered.size(), 50u) << Printed(out + ".log");
  for (int k = 0; k <= n; ++k) {
    // Frame k of the n + 1 is at progress k / n: frame k - 1 of n.
    EXPECT_TRUE(ToImage(rendered[first + k]) == Reference(v, ToImage(a[first + k]), ToImage(b[first + k]), k - 1, n))
        << "frame " << k;
  }
  EXPECT_EQ(ToImage(rendered[first]), ToImage(a[first]));
  EXPECT_NE(ToImage(rendered[last]), ToImage(a[last]));
}

INSTANTIATE_TEST_SUITE_P(Variants, KdenliveProjectInMelt,
                         ::testing::Values(MeltCase{2, 0, false, 0}, MeltCase{4, 0, false, 0}),
                         [](const auto& info) { return std::string(kVariants[info.param.variant].id); });

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
                  melt + " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1 real_time=-1", melt + ".log"),
            0) << Printed(melt + ".log");

  const std::vector<Rgba> fromZkhost = ReadFrames(zk + ".rgba"), fromMelt = ReadFrames(melt);
  ASSERT_EQ(fromMelt.size(), size_t(v.twoClips ? 100 - c.frames : 50)) << Printed(melt + ".log");
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
