// Edits of several clips: lengths, sync at every clip, each cut's
// transition as the same two clips give alone, the MLT project in melt, and
// edit files whose mistakes are named by line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "harness.h"

namespace zk::test {
namespace {

// A clip with a white flash and a beep together `at` seconds in (no beep
// when it has no sound), made by ffmpeg with `rest` (codec, size, rate...).
std::string FlashClip(const std::string& name, const std::string& source, double at, bool sound,
                      const std::string& rest) {
  const std::string path = (WorkDir() / name).string();
  const std::string t = std::to_string(at), u = std::to_string(at + 0.079);
  std::string args = "-f lavfi -i " + source + " ";
  if (sound) args += "-f lavfi -i sine=f=1000:r=48000:d=6 ";
  args += "-filter_complex \"[0]drawbox=enable='between(t," + t + "," + u + ")':c=white:t=fill[v]";
  if (sound) args += ";[1]volume=volume='between(t," + t + "," + u + ")':eval=frame[a]";
  args += "\" -map [v]" + std::string(sound ? " -map [a] -shortest" : "") + " " + rest;
  Ffmpeg(args, path);
  return path;
}

// Starts of the flashes (the middle of a 160 x 120 frame turning white)
// and of the beeps (sound after at least 0.2 s of silence), in seconds.
std::vector<double> Flashes(const std::vector<std::vector<uint32_t>>& frames, double rate) {
  std::vector<double> at;
  bool before = false;
  for (size_t k = 0; k < frames.size(); ++k) {
    double sum = 0;
    for (int y = 40; y < 80; ++y) {
      for (int x = 60; x < 100; ++x) {
        const uint32_t p = frames[k][size_t(y) * 160 + x];
        sum += (p >> 16 & 255) + (p >> 8 & 255) + (p & 255);
      }
    }
    const bool white = sum / (3.0 * 1600) > 240;
    if (white && !before) at.push_back(double(k) / rate);
    before = white;
  }
  return at;
}

std::vector<double> Beeps(const std::vector<float>& s, int rate) {
  std::vector<double> at;
  size_t quiet = size_t(rate);
  for (size_t i = 0; i < s.size(); ++i) {
    if (std::abs(s[i]) > 0.05) {
      if (quiet >= size_t(rate) / 5) at.push_back(double(i) / rate);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return at;
}

// Four clips of mixed origin: H.264 with AAC; another size and rate, trimmed;
// a portrait phone clip (rotated); 50 fps FFV1 without sound.  A Cindergate
// between the first two, Ashveil at the end of the second, then a cut and a
// Cindergate again.  Each flashes and beeps at a known time.
class MixedEdit : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    a_ = FlashClip("ea.mp4", "testsrc2=s=160x120:r=25:d=3", 1.0, true, "-c:v libx264 -c:a aac");
    b_ = FlashClip("eb.mkv", "testsrc=s=320x240:r=30:d=4", 2.0, true, "-c:v ffv1 -c:a pcm_s16le");
    const std::string coded = FlashClip("ec-coded.mp4", "testsrc2=s=160x120:r=25:d=3", 1.0, true,
                                        "-c:v libx264 -c:a aac");
    c_ = (WorkDir() / "ec.mp4").string();
    Ffmpeg("-i " + coded + " -c copy -metadata:s:v rotate=90", c_);
    d_ = FlashClip("ed.mkv", "mandelbrot=s=160x120:r=50", 1.0, false, "-t 3 -c:v ffv1");
  }
  // zkhost edit ARGS -o OUT; the frames and the sound it wrote.
  static void Edit(const std::string& args, const std::string& out, std::vector<std::vector<uint32_t>>* frames,
                   std::vector<float>* sound = nullptr) {
    const Outcome run = Zkhost("edit -q -y " + args + " -o " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    *frames = out.find('%') != std::string::npos ? PngFrames(fs::path(out).parent_path()) : RgbFrames(out);
    if (sound) *sound = MonoAudio(out, 48000);
  }
  static inline std::string a_, b_, c_, d_;
};

constexpr const char* kCuts =
    "-t Cindergate:3:10 {A} --in 0.5 --out 3.5 {B} --then Ashveil:1:10 {C} --then cut {D}";

std::string WithClips(std::string s, const std::vector<std::pair<std::string, std::string>>& clips) {
  for (const auto& [key, path] : clips) {
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), path);
  }
  return s;
}

TEST_F(MixedEdit, LengthAndSyncHoldAtEveryClip) {
  std::vector<std::vector<uint32_t>> frames;
  std::vector<float> sound;
  const std::string out = (WorkDir() / "edit.mkv").string();
  Edit(WithClips(kCuts, {{"{A}", a_}, {"{B}", b_}, {"{C}", c_}, {"{D}", d_}}), out, &frames, &sound);
  // 75 + 75 (3.5 - 0.5 s) + 75 + 75 frames, less the Cindergate's 10.
  ASSERT_EQ(frames.size(), 290u);
  EXPECT_NEAR(double(sound.size()) / 48000, 290 / 25.0, 0.03);
  // A at 1.0; B from 65, its flash 2.0 s in, trimmed at 13 frames (0.52 s);
  // C from 140 after B's Ashveil; D from 215 after the cut.
  const std::vector<double> flashes = {1.0, (65 + 50 - 13) / 25.0, (140 + 25) / 25.0, (215 + 25) / 25.0};
  const std::vector<double> got = Flashes(frames, 25);
  ASSERT_EQ(got.size(), flashes.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], flashes[i], 0.04) << "flash " << i;
  const std::vector<double> beeps = Beeps(sound, 48000);
  ASSERT_EQ(beeps.size(), 3u);  // D has no sound
  for (size_t i = 0; i < beeps.size(); ++i) EXPECT_NEAR(beeps[i], flashes[i], 0.04) << "beep " << i;
}

TEST_F(MixedEdit, EachTransitionIsTheSameTwoClipsRenderedAlone) {
  const fs::path dir = WorkDir() / "edit-png";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<std::vector<uint32_t>> whole, alone;
  Edit(WithClips(kCuts, {{"{A}", a_}, {"{B}", b_}, {"{C}", c_}, {"{D}", d_}}), (dir / "%04d.png").string(), &whole);
  ASSERT_EQ(whole.size(), 290u);
  struct Part {
    std::string args;
    size_t first;      // the transition's first frame in the whole edit
    size_t firstHere;  // and in the part rendered alone
  };
  for (const Part& p : {Part{"-t Cindergate:3:10 {A} --in 0.5 --out 3.5 {B}", 65, 65},
                        Part{"-t Ashveil:1:10 --in 0.5 --out 3.5 {B}", 130, 65}}) {
    const fs::path part = WorkDir() / ("part-" + std::to_string(p.first));
    fs::remove_all(part);
    fs::create_directories(part);
    Edit(WithClips(p.args, {{"{A}", a_}, {"{B}", b_}}) + " --size 160x120 --fps 25", (part / "%04d.png").string(), &alone);
    for (size_t r = 0; r < 10; ++r) {
      EXPECT_TRUE(whole[p.first + r] == alone[p.firstHere + r]) << p.args << ": transition frame " << r;
    }
  }
}

// A lossless RGB edit through melt: the --mlt project renders zkhost's frames.
TEST(MltProject, MeltRendersTheEditsFrames) {
#ifdef ZK_NO_MELT
  GTEST_SKIP() << "melt cannot load sanitized plug-ins";
#endif
  std::vector<std::string> clips;
  for (const char* source : {"testsrc2", "mandelbrot", "rgbtestsrc"}) {
    clips.push_back((WorkDir() / (std::string("mlt-") + source + ".mkv")).string());
    Ffmpeg(std::string("-f lavfi -i ") + source + "=s=160x120:r=25 -frames:v 50 -c:v ffv1 -pix_fmt bgr0", clips.back());
  }
  const fs::path dir = WorkDir() / "mlt-png";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string project = (WorkDir() / "edit.mlt").string();
  const Outcome run = Zkhost("edit -q -y " + clips[0] + " --then Cindergate:4:12 --in 0.2 " + clips[1] +
                             " --then Ashveil:2:10 " + clips[2] + " -o " + (dir / "%04d.png").string() +
                             " --mlt " + project);
  ASSERT_EQ(run.status, 0) << run.output;
  const auto ours = PngFrames(dir);
  ASSERT_EQ(ours.size(), 50u + 45u - 12u + 50u);
  const std::string raw = (WorkDir() / "melt.rgba").string();
  const Outcome melt = Shell("FREI0R_PATH=" + std::string(ZK_FREI0R_DIR) + " melt " + project +
                             " -consumer avformat:" + raw + " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1 real_time=-1");
  ASSERT_EQ(melt.status, 0) << melt.output;
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  const size_t frameBytes = 160 * 120 * 4;
  ASSERT_EQ(bytes.size() / frameBytes, ours.size());
  for (size_t k = 0; k < ours.size(); ++k) {
    std::vector<uint32_t> px(160 * 120);
    for (size_t i = 0; i < px.size(); ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + k * frameBytes + i * 4);
      px[i] = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
    EXPECT_TRUE(px == ours[k]) << "frame " << k;
  }
}

// The sound's level in dB in each tenth of a second.
std::vector<double> Levels(const std::vector<float>& s) {
  std::vector<double> out;
  for (size_t i = 0; i + 4800 <= s.size(); i += 4800) {
    double sum = 0;
    for (size_t k = i; k < i + 4800; ++k) sum += double(s[k]) * s[k];
    out.push_back(10 * std::log10(sum / 4800 + 1e-12));
  }
  return out;
}

struct FidelityCase {
  const char* name;
  const char* edit;  // zkhost edit's arguments, {A} {B} {W} {S} {F} for the clips
};
void PrintTo(const FidelityCase& c, std::ostream* os) { *os << c.name; }

// Each setting of an edit that MLT has a way to say: melt renders the --mlt
// project's frames exactly as zkhost does (lossless RGB clips), and its
// sound at zkhost's level.
class MltFidelity : public testing::TestWithParam<FidelityCase> {
 protected:
  static void SetUpTestSuite() {
    const auto make = [](const char* name, const std::string& video, int tone) {
      const std::string path = (WorkDir() / (std::string("fid-") + name + ".mkv")).string();
      Ffmpeg("-f lavfi -i " + video + " -f lavfi -i sine=f=" + std::to_string(tone) +
             ":r=48000:d=3 -t 3 -ac 2 -c:v ffv1 -pix_fmt bgr0 -c:a pcm_s16le", path);
      return path;
    };
    clips_ = {{"{A}", make("a", "testsrc2=s=160x120:r=25", 440)},
              {"{B}", make("b", "mandelbrot=s=160x120:r=25", 660)},
              {"{W}", make("w", "testsrc=s=200x120:r=25", 550)},  // wider: cropped or squeezed
              {"{S}", make("s", "rgbtestsrc=s=160x120:r=25,setsar=4/3", 880)},  // its pixels are wider
              {"{F}", make("f", "testsrc=s=160x120:r=60", 330)}};
  }
  static inline std::vector<std::pair<std::string, std::string>> clips_;
};

TEST_P(MltFidelity, MeltRendersZkhostsFramesAndLevels) {
#ifdef ZK_NO_MELT
  GTEST_SKIP() << "melt cannot load sanitized plug-ins";
#endif
  const std::string edit = WithClips(GetParam().edit, clips_);
  const fs::path dir = WorkDir() / (std::string("fid-") + GetParam().name);
  fs::remove_all(dir);
  fs::create_directories(dir / "png");
  const std::string project = (dir / "p.mlt").string(), sound = (dir / "z.mkv").string();
  const std::string melted = (dir / "m.mkv").string();
  Outcome run = Zkhost("edit -q -y " + edit + " -o " + (dir / "png" / "%04d.png").string() + " --mlt " + project);
  ASSERT_EQ(run.status, 0) << run.output;
  run = Zkhost("edit -q -y " + edit + " --codec ffv1 -o " + sound);  // FLAC: the sound as mixed
  ASSERT_EQ(run.status, 0) << run.output;
  run = Shell("FREI0R_PATH=" + std::string(ZK_FREI0R_DIR) + " melt " + project + " -consumer avformat:" + melted +
              " vcodec=ffv1 pix_fmt=bgr0 acodec=pcm_f32le ar=48000 real_time=-1");
  ASSERT_EQ(run.status, 0) << run.output;

  const auto ours = PngFrames(dir / "png"), theirs = RgbFrames(melted);
  ASSERT_EQ(theirs.size(), ours.size());
  for (size_t k = 0; k < ours.size(); ++k) EXPECT_TRUE(theirs[k] == ours[k]) << "frame " << k;
  const std::vector<double> a = Levels(MonoAudio(sound, 48000)), b = Levels(MonoAudio(melted, 48000));
  ASSERT_GE(b.size() + 1, a.size());
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] > -60 || b[i] > -60) {
      EXPECT_NEAR(b[i], a[i], 0.5) << "at " << i / 10.0 << " s";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, MltFidelity,
    testing::Values(FidelityCase{"Level", "-t cut --volume 64 {A} --volume 512 {B}"},
                    FidelityCase{"Crop", "-t cut --fit crop {A} {W} {S}"},
                    FidelityCase{"Stretch", "-t cut --fit stretch {A} {W} {S}"},
                    FidelityCase{"AshveilSound", "-t Ashveil:2:20 {A} {B}"},
                    FidelityCase{"CindergateSound", "-t Cindergate:4:20 --volume 128 {A} {B}"},
                    FidelityCase{"SixtyInTwentyFive", "-t cut {A} --in 0.2 --out 2.8 {F}"}),
    [](const auto& info) { return info.param.name; });

// MD5s of a file's video (or audio: "a") packets, in decode order.
std::vector<std::string> PacketHashes(const std::string& path, const char* streams = "v") {
  const Outcome p = Shell(std::string("ffprobe -v error -select_streams ") + streams +
                          " -show_entries packet=data_hash -show_data_hash md5 -of csv=p=0 " + Quote(path));
  std::vector<std::string> out;
  std::istringstream lines(p.output);
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  return out;
}

// --copy on H.264 clips unlike zkhost's own (Main profile, two B-frames, a
// keyframe every 2 s): copied packets are the clips' own bytes, the whole
// decodes without an error, the transition is a full render's within the
// encoder's loss, and every clip's flash and beep stay together.
TEST(Copy, CopiesWholeGopsAndEncodesOnlyAroundTheTransition) {
  std::vector<std::string> clips;
  for (const char* source : {"testsrc2", "testsrc", "smptebars"}) {
    clips.push_back(FlashClip(std::string("copy-") + source + ".mp4", std::string(source) + "=s=160x120:r=25:d=6",
                              1.0, true, "-pix_fmt yuv420p -c:v libx264 -profile:v main -bf 2 -g 50 -c:a aac"));
  }
  const std::string args = "-t Cindergate:3:20 " + clips[0] + " " + clips[1] + " --then cut " + clips[2];
  const std::string copied = (WorkDir() / "copy.mp4").string(), full = (WorkDir() / "full.mp4").string();
  const Outcome run = Zkhost("edit -q -y --copy " + args + " -o " + copied);
  ASSERT_EQ(run.status, 0) << run.output;
  long copiedFrames = 0, encodedFrames = 0;
  ASSERT_EQ(std::sscanf(run.output.c_str() + run.output.find("copying"), "copying %ld frames, encoding %ld",
                        &copiedFrames, &encodedFrames), 2) << run.output;
  EXPECT_EQ(copiedFrames + encodedFrames, 430);
  EXPECT_LE(encodedFrames, 20 + 2 * 50);  // the transition and at most a GOP on each side

  long soundPackets = 0;
  ASSERT_EQ(std::sscanf(run.output.c_str() + run.output.find("copying", run.output.find("copying") + 1),
                        "copying %ld sound packets", &soundPackets), 1) << run.output;
  std::set<std::string> sources, sounds;
  for (const std::string& c : clips) {
    for (const std::string& h : PacketHashes(c)) sources.insert(h);
    for (const std::string& h : PacketHashes(c, "a")) sounds.insert(h);
  }
  const std::vector<std::string> out = PacketHashes(copied), heard = PacketHashes(copied, "a");
  ASSERT_EQ(out.size(), 430u);
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [&](const std::string& h) { return sources.count(h) != 0; }),
            copiedFrames);
  // The sound too, but for the transition and a packet or two at each cut
  // (silence encodes alike everywhere, so the count is at least the copy's).
  EXPECT_GE(std::count_if(heard.begin(), heard.end(), [&](const std::string& h) { return sounds.count(h) != 0; }),
            soundPackets);
  EXPECT_GT(soundPackets, long(heard.size()) * 8 / 10);
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -xerror -i " + copied + " -f null -").output, "");
  // Encoded frames carry the clips' own colour tags: a player reads every frame alike.
  EXPECT_EQ(Shell("ffprobe -v error -select_streams v -show_entries frame=color_space,color_primaries "
                  "-of csv=p=0 " + copied + " | grep , | cut -d, -f1-2 | sort -u").output, "unknown,unknown\n");

  ASSERT_EQ(Zkhost("edit -q -y " + args + " -o " + full).status, 0);
  const auto a = RgbFrames(copied), b = RgbFrames(full);
  ASSERT_EQ(a.size(), b.size());
  for (size_t j = 130; j < 150; ++j) {
    double diff = 0;
    for (size_t i = 0; i < a[j].size(); ++i) {
      for (int shift : {0, 8, 16}) diff += std::abs(int(a[j][i] >> shift & 255) - int(b[j][i] >> shift & 255));
    }
    EXPECT_LT(diff / (3.0 * a[j].size()), 4.0) << "transition frame " << j - 130;
  }
  const std::vector<double> want = {1.0, (130 + 25) / 25.0, (280 + 25) / 25.0};
  const std::vector<double> flashes = Flashes(a, 25), beeps = Beeps(MonoAudio(copied, 48000), 48000);
  ASSERT_EQ(flashes.size(), want.size());
  ASSERT_EQ(beeps.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(flashes[i], want[i], 0.04) << "flash " << i;
    EXPECT_NEAR(beeps[i], want[i], 0.04) << "beep " << i;
  }
}

struct FileCase {
  const char* name;
  const char* text;     // the edit file, {A} for a clip
  const char* message;  // a part of the one line zkhost prints
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class EditFile : public testing::TestWithParam<FileCase> {};

TEST_P(EditFile, MistakesAreNamedByLine) {
  const std::string clip = (WorkDir() / "file-clip.mkv").string();
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=2 -c:v ffv1", clip);
  const fs::path file = WorkDir() / (std::string(GetParam().name) + ".toml");
  std::ofstream(file) << WithClips(GetParam().text, {{"{A}", clip}});
  const fs::path out = WorkDir() / (std::string(GetParam().name) + ".mkv");
  const Outcome run = Zkhost("edit -q " + file.string() + " -o " + out.string());
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find(WithClips(GetParam().message, {{"{F}", file.string()}})), std::string::npos)
      << run.output;
  EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, EditFile,
    testing::Values(
        FileCase{"Syntax", "[[clip]]\nfile = \"{A}\"\nin = = 2\n", "{F} line 3"},
        FileCase{"UnknownSetting", "[[clip]]\nfile = \"{A}\"\nspeed = 2\n", "{F} line 3: unknown clip setting speed"},
        FileCase{"BadTransition", "[[clip]]\nfile = \"{A}\"\ntransition = \"Cindergate:9\"\n",
                 "{F} line 3: transition Cindergate:9: variant 9 is not 1 to 4"},
        FileCase{"OutBeforeIn", "[[clip]]\nfile = \"{A}\"\nin = 1.5\nout = \"0:01\"\n", "{F} line 4: out must come after in"},
        FileCase{"TwoClipTransitionAtTheEnd", "[[clip]]\nfile = \"{A}\"\ntransition = \"Cindergate:1:10\"\n",
                 "{F} line 3: Cindergate variant 1 is a two-clip transition: it needs a clip after it"},
        FileCase{"TooShortForItsTransitions",
                 "transition = \"Cindergate:1:40\"\n[[clip]]\nfile = \"{A}\"\n[[clip]]\nfile = \"{A}\"\n"
                 "[[clip]]\nfile = \"{A}\"\n",
                 "50 frames is shorter than the 80-frame transitions"}),
    [](const auto& info) { return info.param.name; });

// What zkhost says is true and names things in the user's words.
struct MessageCase {
  const char* name;
  const char* args;     // after "edit -y", before "-o": {A} {B} the clips, {D} a damaged one, {F} the file
  const char* file;     // an edit file's text, or empty
  const char* message;  // a part of what zkhost prints
  bool succeeds = false;
  const char* env = "";  // before the command: {L} is the build's plug-in folder
};
void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class Messages : public testing::TestWithParam<MessageCase> {
 protected:
  static void SetUpTestSuite() {
    // A stream garbled in its middle (from frame 50), in GOPs of 10.
    const fs::path whole = WorkDir() / "whole.ts", damaged = WorkDir() / "damaged.ts";
    Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=4 -c:v libx264 -g 10 -f mpegts", whole.string());
    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i) bytes[i] = char(bytes[i] * 7 + 13);
    std::ofstream(damaged, std::ios::binary) << bytes;
  }
};

TEST_P(Messages, SayWhatHappensInTheUsersWords) {
  const MessageCase& c = GetParam();
  const fs::path file = WorkDir() / (std::string(c.name) + ".toml");
  const std::string lib = (fs::path(ZKHOST).parent_path().parent_path() / "lib").string();
  const std::vector<std::pair<std::string, std::string>> names = {
      {"{A}", ClipA()}, {"{B}", ClipB()}, {"{D}", (WorkDir() / "damaged.ts").string()},
      {"{F}", file.string()}, {"{W}", WorkDir().string()}, {"{L}", lib}};
  if (*c.file != 0) std::ofstream(file) << WithClips(c.file, names);
  const std::string out = (WorkDir() / (std::string(c.name) + ".mkv")).string();
  const Outcome run = Shell(WithClips(c.env, names) + " " + ZKHOST + " edit -y " + WithClips(c.args, names) + " -o " + out);
  EXPECT_EQ(run.status == 0, c.succeeds) << run.output;
  EXPECT_NE(run.output.find(WithClips(c.message, names)), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Truths, Messages,
    testing::Values(
        MessageCase{"DamageOutsideTheTransition", "-t Cindergate:1:10 {A} --in 2.1 {D}", "",
                    "zkhost: {D}: damaged at 2.000 s (frame 50)"},
        MessageCase{"SecondsRounded", "-t Cindergate:1:1s {A} {B}", "",
                    "Cindergate:1:1s is 26 frames at 25 fps, the nearest even count to 25", true},
        MessageCase{"LengthOutOfRange", "-t Cindergate:1:0.2s {A} {B}", "",
                    "transition Cindergate:1:0.2s (6 frames at 25 fps) is out of range: Cindergate variant 1 takes 10"},
        MessageCase{"InInsideTheLastFrame", "-t cut {A} --in 2.99 {B}", "", "76 frames, 2 clips, 0 transitions", true},
        MessageCase{"InPastTheEnd", "{A} --in 3.5 {B}", "", "in 3.5 s is past the end of {B} (3 s, 75 frames at 25 fps)"},
        MessageCase{"NanInAFile", "{F}", "[[clip]]\nfile = \"{A}\"\nin = nan\n", "{F} line 3: in = nan: not a time"},
        MessageCase{"HugeInAFile", "{F}", "[[clip]]\nfile = \"{A}\"\nout = 1e18\n",
                    "{F} line 3: out = 1e+18 s: longer than any clip"},
        MessageCase{"MissingFileInAFile", "{F}", "[[clip]]\nfile = \"{A}\"\n[[clip]]\nfile = \"nothere.mkv\"\n",
                    "{F} line 4: {W}/nothere.mkv: no such file"},
        MessageCase{"InPastTheEndAtItsLine", "{F}", "[[clip]]\nfile = \"{A}\"\n\nin = 9\n", "{F} line 4: in 9 s is past the end"},
        MessageCase{"TransitionOptionWinsOverTheFile", "-t Ashveil:2:20 {F}",
                    "transition = \"Cindergate:1:20\"\n[[clip]]\nfile = \"{A}\"\n[[clip]]\nfile = \"{B}\"\n",
                    "-t Ashveil:2:20 replaces {F} line 1: transition = \"Cindergate:1:20\"", true},
        MessageCase{"NtscRateAndFirstClipRetimed", "--fps 29.97 -t cut {A}", "",
                    "{A}: 25 fps is retimed to 30000/1001 (29.970) fps", true},
        MessageCase{"OneOfEach", "-t Ashveil:1:20 {A}", "", "75 frames, 1 clip, 1 transition (20 frames)", true},
        MessageCase{"MissingVariant", "-t Cindergate: {A} {B}", "", "transition Cindergate:: the variant is missing"},
        MessageCase{"BundleFolderNamedOnce", "-t Nosuch {A} {B}", "", "(looked in {L}, {L}/", false,
                    "ZK_PLUGIN_PATH={L}"}),
    [](const auto& info) { return info.param.name; });

// A 5.1 clip after a stereo one is mixed down at its own level, in every
// codec: a downmix adds channels, and without scaling it clips.
TEST(Downmix, FiveOneKeepsItsLevelWithoutClipping) {
  const std::string stereo = (WorkDir() / "stereo.mkv").string(), surround = (WorkDir() / "surround.mkv").string();
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=2 -f lavfi -i sine=f=440:r=48000:d=2 -ac 2 -c:v ffv1 -c:a pcm_s16le",
         stereo);
  // 0.9 of full scale (the sine is 1/8) in each of the six channels.
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=2 -f lavfi -i sine=f=440:r=48000:d=2 -filter_complex "
         "\"[1]volume=7.2,asplit=6[a][b][c][d][e][f];[a][b][c][d][e][f]join=inputs=6:channel_layout=5.1[s]\" "
         "-map 0 -map [s] -c:v ffv1 -c:a pcm_s16le", surround);
  for (const char* out : {"downmix.mp4", "downmix.webm", "downmix.mov", "downmix-ffv1.mkv"}) {
    const std::string path = (WorkDir() / out).string();
    const char* codec = std::string(out) == "downmix.mov" ? "--codec prores " : std::string(out) == "downmix-ffv1.mkv" ? "--codec ffv1 " : "";
    const Outcome run = Zkhost(std::string("edit -q -y -t cut ") + codec + stereo + " " + surround + " -o " + path);
    ASSERT_EQ(run.status, 0) << run.output;
    // The left channel as ffmpeg decodes it, in the 5.1 clip away from the cut.
    FILE* p = popen(("ffmpeg -nostdin -v error -ss 2.3 -t 1.5 -i " + path + " -af 'pan=mono|c0=c0' -f f32le -").c_str(), "r");
    ASSERT_NE(p, nullptr);
    float peak = 0, sample = 0;
    while (fread(&sample, sizeof sample, 1, p) == 1) peak = std::max(peak, std::abs(sample));
    pclose(p);
    EXPECT_GT(peak, 0.85f) << out;
    EXPECT_LT(peak, 0.95f) << out;
  }
}

}  // namespace
}  // namespace zk::test
