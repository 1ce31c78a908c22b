// The command line: bad input gets one clear line and leaves nothing, and
// the commands other than render do what their help says.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "harness.h"

namespace zk::test {
namespace {

// Replaces {A}, {B} (the usual clips), {W} (the work folder) and {NOMAIN}.
std::string Expand(std::string s) {
  const std::pair<const char*, std::string> keys[] = {
      {"{A}", ClipA()}, {"{B}", ClipB()}, {"{W}", WorkDir().string()}, {"{NOMAIN}", ZK_NOMAIN}};
  for (const auto& [key, value] : keys) {
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, std::string(key).size(), value);
  }
  return s;
}

void MakeInputs() {
  const fs::path w = WorkDir();
  std::ofstream(w / "empty.mp4").close();
  std::ofstream(w / "notes.txt") << "not a video\n";
  Ffmpeg("-f lavfi -i sine=d=1", (w / "tone.m4a").string());
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=1 -c:v png", (w / "short.mkv").string());
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=30:d=3 -c:v png", (w / "rate30.mkv").string());
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25 -frames:v 0 -c:v png", (w / "noframes.mkv").string());
  // A stream damaged in its middle: decodable up to there, then garbage.
  Ffmpeg("-f lavfi -i testsrc2=s=320x240:r=25:d=4 -c:v libx264 -g 10 -f mpegts", (w / "whole.ts").string());
  if (!fs::exists(w / "damaged.ts")) {
    std::ifstream in(w / "whole.ts", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i) bytes[i] = char(bytes[i] * 7 + 13);
    std::ofstream(w / "damaged.ts", std::ios::binary) << bytes;
  }
}

struct BadCase {
  const char* name;
  const char* args;     // after "render", before "-o"
  const char* message;  // a part of the one line zkhost prints
};
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadInput : public testing::TestWithParam<BadCase> {
 protected:
  static void SetUpTestSuite() { MakeInputs(); }
};

TEST_P(BadInput, OneLineNonZeroStatusAndNoOutput) {
  const BadCase& c = GetParam();
  const fs::path out = WorkDir() / (std::string("bad-") + c.name + ".mp4");
  std::string target = out.string();
  if (std::string(c.name) == "UnwritableFolder") target = "/proc/zkhost-out.mp4";
  if (std::string(c.name) == "MissingFolder") target = (WorkDir() / "no/such/dir/out.mp4").string();
  const std::string args = Expand(c.args);  // makes the clips first
  const auto before = std::distance(fs::directory_iterator(WorkDir()), fs::directory_iterator{});
  const Outcome run = Zkhost("render " + args + " -o " + target);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find(Expand(c.message)), std::string::npos) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_FALSE(fs::exists(target));
  // Nor a temporary file left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(WorkDir()), fs::directory_iterator{}), before);
}

INSTANTIATE_TEST_SUITE_P(
    Render, BadInput,
    testing::Values(
        BadCase{"MissingClip", "Ashveil {W}/nothere.mp4", "cannot open {W}/nothere.mp4: No such file"},
        BadCase{"EmptyFile", "Ashveil {W}/empty.mp4", "{W}/empty.mp4"},
        BadCase{"NotAVideo", "Ashveil {W}/notes.txt", "cannot open {W}/notes.txt"},
        BadCase{"NoVideoStream", "Ashveil {W}/tone.m4a", "{W}/tone.m4a: no video stream"},
        BadCase{"NoFrames", "Ashveil {W}/noframes.mkv", "{W}/noframes.mkv"},
        BadCase{"CorruptFrame", "Ashveil {W}/damaged.ts", "{W}/damaged.ts: damaged "},
        BadCase{"ClipTooShort", "Ashveil {W}/short.mkv",
                "{W}/short.mkv: 25 frames is shorter than the 66-frame transition"},
        BadCase{"SecondClipTooShort", "Cindergate {A} {W}/short.mkv", "25 frames is shorter"},
        BadCase{"OneClipForTwo", "Cindergate {A}", "two-clip transition: give two clips (got 1)"},
        BadCase{"TwoClipsForOne", "Ashveil {A} {B}", "end-of-clip transition: give one clip (got 2)"},
        BadCase{"UnknownVariant", "Cindergate --variant 5 {A} {B}", "--variant 5 is out of range (1 to 4)"},
        BadCase{"SpeedTooHigh", "Cindergate --speed 1.5 {A} {B}", "--speed 1.5 is out of range (0.0 to 1.0)"},
        BadCase{"SpeedNotANumber", "Cindergate --speed fast {A} {B}", "--speed fast: not a number"},
        BadCase{"OddFrames", "Cindergate --frames 31 {A} {B}", "the nearest are 30 and 32"},
        BadCase{"TooManyFrames", "Cindergate --frames 130 {A} {B}", "takes 10 to 120"},
        BadCase{"NotABundle", "{W}/notes.txt {A}", "not a loadable bundle"},
        BadCase{"BundleWithoutMain", "{NOMAIN} {A}", "does not export main"},
        BadCase{"NoSuchBundle", "Nosuchbundle {A}", "Nosuchbundle: no such bundle"},
        BadCase{"UnknownOption", "Ashveil --colour red {A}", "unknown option --colour"},
        BadCase{"BadPixelFormat", "Ashveil --pix-fmt nonsense {A}", "--pix-fmt nonsense: unknown pixel format"},
        BadCase{"UnknownCodec", "Ashveil --codec av1 {A}", "--codec av1: give h264, h265, vp9, prores or ffv1"},
        BadCase{"CodecNotInContainer", "Ashveil --codec prores {A}",
                ".mp4 takes h264 or h265, not prores (prores goes in .mov)"},
        BadCase{"CrfOutOfCodecRange", "Ashveil --codec h265 --crf 55 {A}",
                "--crf 55 is out of range for H.265 (0, lossless, to 51)"},
        BadCase{"UnknownPreset", "Ashveil --preset quick {A}", "--preset quick: give ultrafast, superfast"},
        BadCase{"UnwritableFolder", "Ashveil --frames 10 {A}", "cannot write /proc/zkhost-out.mp4"},
        BadCase{"MissingFolder", "Ashveil --frames 10 {A}", "does not exist"}),
    [](const auto& info) { return info.param.name; });

TEST(Overwrite, AnExistingFileIsKeptWithoutYAndReplacedWithIt) {
  const fs::path out = WorkDir() / "existing.mp4";
  std::ofstream(out) << "keep me";
  Outcome run = Zkhost("render Ashveil --frames 10 -q " + ClipA() + " -o " + out.string());
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("exists: add -y to overwrite it"), std::string::npos) << run.output;
  std::stringstream kept;
  kept << std::ifstream(out).rdbuf();
  EXPECT_EQ(kept.str(), "keep me");
  run = Zkhost("render Ashveil --frames 10 -q -y " + ClipA() + " -o " + out.string());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_GT(fs::file_size(out), 1000u);
}

TEST(Overwrite, ExistingFramesOfAPatternAreKept) {
  const fs::path dir = WorkDir() / "kept-frames";
  fs::create_directories(dir);
  std::ofstream(dir / "0003.png") << "keep me";
  const Outcome run = Zkhost("render Ashveil --frames 10 -q " + ClipA() + " -o " + (dir / "%04d.png").string());
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("0003.png exists"), std::string::npos) << run.output;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
}

TEST(Scaling, ASecondClipOfAnotherSizeIsScaledWithAWarning) {
  const std::string big = (WorkDir() / "big.mkv").string();
  Ffmpeg("-f lavfi -i mandelbrot=s=320x240:r=25 -t 3 -c:v png", big);
  const std::string out = (WorkDir() / "scaled.mkv").string();
  const Outcome run = Zkhost("render Cindergate --frames 10 -q -y " + ClipA() + " " + big + " -o " + out);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("big.mkv: 320x240 is scaled to 160x120"), std::string::npos) << run.output;
  zk::video::VideoTrack t(out, 2);
  EXPECT_EQ(t.format().width, 160);
  EXPECT_EQ(t.frames(), 140);
}

TEST(Bundles, FoundByBareNameBesideZkhostAndInZkPluginPath) {
  const fs::path dir = WorkDir() / "plugins";
  fs::create_directories(dir);
  fs::copy_file(std::string(ZK_BUNDLE_DIR) + "/Ashveil.so", dir / "Renamed.so",
                fs::copy_options::overwrite_existing);
  Outcome run = Zkhost("info Cindergate");
  EXPECT_EQ(run.status, 0) << run.output;
  run = Shell("ZK_PLUGIN_PATH=/nonexistent:" + dir.string() + " " + ZKHOST + " info Renamed");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("Renamed"), std::string::npos);
}

struct InfoCase {
  const char* args;
  std::vector<const char*> lines;
};
void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.args; }

class Info : public testing::TestWithParam<InfoCase> {};

TEST_P(Info, ReportsWhatEachVariantAsksFor) {
  const Outcome run = Zkhost(std::string("info ") + GetParam().args);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* line : GetParam().lines) EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, Info,
    testing::Values(
        InfoCase{"Cindergate", {"variant 1 at speed 0.500: two-clip transition of 66 frames, takes 66 "
                                "from the clip before and 66 from the clip after (10 to 120 frames)"}},
        InfoCase{"Ashveil --speed 0.25", {"variant 4 at speed 0.250: end-of-clip transition of 38 "
                                          "frames, takes 38 from the clip before and 0"}},
        InfoCase{"Cindergate --frames 30", {"variant 2 at speed", "of 30 frames"}}));

TEST(Placeholder, WritesAPngOfTheAskedSize) {
  const fs::path out = WorkDir() / "placeholder.png";
  fs::remove(out);
  const Outcome run = Zkhost("placeholder Ashveil --size 320x200 -o " + out.string());
  ASSERT_EQ(run.status, 0) << run.output;
  int w = 0, h = 0;
  const auto px = RgbFrames(out.string(), &w, &h).at(0);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 200);
  EXPECT_EQ(px[5], 0x2F2F2Fu);  // the dark grey background in a corner
}

TEST(Help, EveryCommandDescribesItsOptions) {
  for (const char* cmd : {"--help", "render --help", "edit --help", "info --help", "placeholder --help", "demo --help"}) {
    const Outcome run = Zkhost(cmd);
    EXPECT_EQ(run.status, 0) << cmd;
    EXPECT_NE(run.output.find("usage: zkhost"), std::string::npos) << cmd;
  }
  const Outcome run = Zkhost("render --help");
  for (const char* opt : {"--variant", "--speed", "--frames", "-y", "-j", "-q", "--proxy", "--volume-a",
                          "--rect", "--crf", "--preset", "--pix-fmt", "--preview"}) {
    EXPECT_NE(run.output.find(opt), std::string::npos) << opt;
  }
  EXPECT_EQ(Zkhost("--version").status, 0);
  EXPECT_NE(Zkhost("frobnicate").status, 0);
}

// Nothing a user has is lost: a clip named as an output, an empty
// transition, a clip option with no clip, a companion file that cannot be
// written.  Every failure leaves the clips as they were and nothing under
// the three output names (safe.mp4, safe.png, safe.mlt).
struct SafetyCase {
  const char* name;
  const char* command;  // a shell line: {Z} is zkhost, {A} {B} the clips, {W} the work folder
  const char* message;  // a part of what zkhost prints
  bool succeeds = false;
};
void PrintTo(const SafetyCase& c, std::ostream* os) { *os << c.name; }

class Safety : public testing::TestWithParam<SafetyCase> {
 protected:
  static void SetUpTestSuite() {
    // Noise: a contact sheet of it is large, its video at --crf 51 small.
    Ffmpeg("-f lavfi -i 'nullsrc=s=320x240:r=25:d=2,geq=random(1)*255:128:128' -c:v ffv1",
           (WorkDir() / "noise.mkv").string());
    std::ofstream(WorkDir() / "safe.toml") << "[[clip]]\nfile = \"" << ClipA() << "\"\n";
  }
};

std::string Bytes(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

TEST_P(Safety, NoSourceIsLostAndNothingIsLeftOnFailure) {
  const SafetyCase& c = GetParam();
  const std::string a = Bytes(ClipA()), b = Bytes(ClipB());
  for (const char* ext : {".mp4", ".png", ".mlt"}) fs::remove(WorkDir() / (std::string("safe") + ext));
  std::string command = Expand(c.command);
  for (size_t at; (at = command.find("{Z}")) != std::string::npos;) command.replace(at, 3, ZKHOST);
  const Outcome run = Shell(command);
  EXPECT_NE(run.output.find(Expand(c.message)), std::string::npos) << run.output;
  EXPECT_EQ(Bytes(ClipA()), a);
  EXPECT_EQ(Bytes(ClipB()), b);
  if (c.succeeds) {
    ASSERT_EQ(run.status, 0) << run.output;
    int w = 0, h = 0;  // a row of 4 frames either side of the cut, 160 wide with 6 between
    RgbFrames((WorkDir() / "safe.png").string(), &w, &h);
    EXPECT_EQ(w, 6 + 8 * (160 + 6));
    EXPECT_EQ(h, 6 + 120 + 6);
    return;
  }
  EXPECT_NE(run.status, 0);
  for (const char* ext : {".mp4", ".png", ".mlt"}) EXPECT_FALSE(fs::exists(WorkDir() / (std::string("safe") + ext))) << ext;
}

INSTANTIATE_TEST_SUITE_P(
    Destructive, Safety,
    testing::Values(
        SafetyCase{"OutputIsAClip", "{Z} edit -y {A} {B} -o {B}", "-o {B} is the clip {B}: writing it would destroy"},
        SafetyCase{"OutputIsAClipSpelledOtherwise", "cd {W} && {Z} edit -y {A} {B} -o ./b.mkv", "is the clip {B}"},
        SafetyCase{"OutputIsASymlinkToAClip", "ln -sf {B} {W}/link.mkv && {Z} edit -y {A} {B} -o {W}/link.mkv",
                   "-o {W}/link.mkv is the clip {B}"},
        SafetyCase{"RenderOutputIsAHardLinkToAClip",
                   "ln -f {A} {W}/hard.mkv && {Z} render Cindergate -y {A} {B} -o {W}/hard.mkv",
                   "-o {W}/hard.mkv is the clip {A}"},
        SafetyCase{"PreviewIsAClip", "{Z} edit -y {A} {B} -o {W}/safe.mp4 --preview {B}", "--preview {B} is the clip {B}"},
        SafetyCase{"PreviewIsTheOutput", "{Z} edit -y {A} {B} -o {W}/safe.mp4 --preview {W}/./safe.mp4",
                   "--preview {W}/./safe.mp4 is the same file as -o {W}/safe.mp4"},
        SafetyCase{"HardCutsOnlyMakeASheetOfTheCut",
                   "echo old > {W}/safe.png && {Z} edit -q -y -t cut {A} {B} -o {W}/safe.mp4 --preview {W}/safe.png", "",
                   true},
        SafetyCase{"EmptyTransition", "{Z} edit -y -t '' {A} {B} -o {W}/safe.mp4", "transition \"\": empty"},
        SafetyCase{"EmptyThen", "{Z} edit -y {A} --then '' {B} -o {W}/safe.mp4", "transition \"\": empty"},
        SafetyCase{"EmptyTransitionInAFile",
                   "printf 'transition = \"\"\\n[[clip]]\\nfile = \"{A}\"\\n' > {W}/empty.toml && "
                   "{Z} edit -y {W}/empty.toml -o {W}/safe.mp4",
                   "{W}/empty.toml line 1: transition \"\": empty"},
        SafetyCase{"ClipOptionBeforeAnEditFile", "{Z} edit -y --volume 100 {W}/safe.toml -o {W}/safe.mp4",
                   "--volume 100 has no clip to go with"},
        SafetyCase{"MltFolderMissing", "{Z} edit -y {A} {B} -o {W}/safe.mp4 --mlt {W}/nodir/safe.mlt",
                   "the folder {W}/nodir does not exist"},
        SafetyCase{"MltExistsWithoutY", "echo keep > {W}/old.mlt && {Z} edit {A} {B} -o {W}/safe.mp4 --mlt {W}/old.mlt",
                   "{W}/old.mlt exists: add -y"},
        SafetyCase{"DiskFullForTheSheet",
                   "sh -c \"trap '' XFSZ; ulimit -f 400; exec {Z} edit -q -y -t cut --crf 51 {W}/noise.mkv "
                   "{W}/noise.mkv -o {W}/safe.mp4 --preview {W}/safe.png --mlt {W}/safe.mlt\"",
                   "cannot write {W}/safe.png: File too large"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zk::test
