// Our transitions inside libobs, headless (run under xvfb-run): two scenes
// of image sources with known pixels, each transition moved by hand to
// known places, and OBS's output frames set against the frames the host
// core makes of the same pictures.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <obs-module.h>
#include <obs.h>
#include <unistd.h>
#include <util/base.h>
#include <util/platform.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "headless.h"
#include "instance.h"

namespace zk::obs::test {
namespace {

namespace fs = std::filesystem;
using zk::host::Image;
using headless::WritePng;

constexpr int kWidth = 96, kHeight = 54;

// The host core's frame r of N for the same pictures, as zkhost makes it.
struct Reference {
  Image frame;
  std::vector<zk::host::AudioMix> mixes;
};

Reference Render(const char* bundleName, int16_t which, int32_t r, int32_t n, const Image& a, const Image& b,
                 int32_t* fadeOutFrames = nullptr) {
  const auto bundle = zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/" + bundleName + ".so");
  zk::host::MemoryFrameSource pictures;
  pictures.Set(0, a);
  pictures.Set(n, b);
  zk::host::PluginInstance instance(*bundle, which);
  instance.set_frame_source(&pictures);
  EXPECT_EQ(instance.Call(kPlugInitialize), kPluginOK);
  zk::host::World out(a.width, a.height);
  const Rect rect{0, 0, int16_t(a.height), int16_t(a.width)};
  EXPECT_EQ(instance.DoFrame(-r, r, n, out.get(), rect), kPluginOK);
  Reference ref{out.ToImage(), instance.mixes()};
  if (fadeOutFrames != nullptr) {
    instance.params().frameCount = n;
    instance.Call(kPlugTerminate);
    const bool fade = instance.clipInfoWasSet() && instance.clip_info().fadeOut;
    *fadeOutFrames = fade ? instance.clip_info().ver2.fadeOutFrames : 0;
  }
  return ref;
}

// OBS's output frames as they come, in BGRA (libobs 29.0 delivers RGBA output as zeros).
struct Capture {
  std::mutex mutex;
  std::condition_variable arrived;
  uint64_t count = 0;
  Image last;

  static void OnFrame(void* param, video_data* frame) {
    auto* self = static_cast<Capture*>(param);
    Image image(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
      const uint8_t* p = frame->data[0] + size_t(y) * frame->linesize[0];
      for (int x = 0; x < kWidth; ++x, p += 4) {
        image.at(x, y) = uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
    }
    {
      std::lock_guard lock(self->mutex);
      self->last = std::move(image);
      ++self->count;
    }
    self->arrived.notify_all();
  }

  // The frame `frames` frames from now: the pipelines between a change and
  // the output (OBS's own and ours) are a few frames long.
  Image After(int frames) {
    std::unique_lock lock(mutex);
    const uint64_t until = count + uint64_t(frames);
    arrived.wait_for(lock, std::chrono::seconds(30), [&] { return count >= until; });
    return last;
  }
};

// OBS's log, kept for the tests that read it.
std::mutex gLogMutex;
std::string gLog;

void LogHandler(int level, const char* format, va_list args, void*) {
  char line[4096];
  std::vsnprintf(line, sizeof line, format, args);
  std::lock_guard lock(gLogMutex);
  gLog += line;
  gLog += '\n';
  if (level <= LOG_WARNING || std::getenv("ZK_OBS_VERBOSE") != nullptr) std::fprintf(stderr, "%s\n", line);
}

std::string LogSince(size_t from) {
  std::lock_guard lock(gLogMutex);
  return from < gLog.size() ? gLog.substr(from) : std::string();
}

size_t LogSize() {
  std::lock_guard lock(gLogMutex);
  return gLog.size();
}

// A source whose sound is one constant level on one channel of two, so
// that each scene's share of the mix can be read off its own channel.
struct Level {
  obs_source_t* source = nullptr;
  float level = 0.0f;
  int channel = 0;
  std::atomic<bool> stop{false};
  std::thread thread;

  void Run() {
    constexpr uint32_t kChunk = 480;  // 10 ms at 48 kHz
    const std::vector<float> on(kChunk, level), off(kChunk, 0.0f);
    uint64_t ts = os_gettime_ns();
    while (!stop) {
      obs_source_audio audio{};
      audio.data[0] = reinterpret_cast<const uint8_t*>(channel == 0 ? on.data() : off.data());
      audio.data[1] = reinterpret_cast<const uint8_t*>(channel == 1 ? on.data() : off.data());
      audio.frames = kChunk;
      audio.speakers = SPEAKERS_STEREO;
      audio.format = AUDIO_FORMAT_FLOAT_PLANAR;
      audio.samples_per_sec = 48000;
      audio.timestamp = ts;
      obs_source_output_audio(source, &audio);
      ts += 10'000'000;
      os_sleepto_ns(ts);
    }
  }
};

void RegisterLevelSource() {
  obs_source_info info{};
  info.id = "zk_test_level";
  info.type = OBS_SOURCE_TYPE_INPUT;
  info.output_flags = OBS_SOURCE_AUDIO;
  info.get_name = [](void*) { return "constant level"; };
  info.create = [](obs_data_t* settings, obs_source_t* source) -> void* {
    auto* l = new Level;
    l->source = source;
    l->level = float(obs_data_get_double(settings, "level"));
    l->channel = int(obs_data_get_int(settings, "channel"));
    l->thread = std::thread([l] { l->Run(); });
    return l;
  };
  info.destroy = [](void* data) {
    auto* l = static_cast<Level*>(data);
    l->stop = true;
    l->thread.join();
    delete l;
  };
  obs_register_source(&info);
}

// The mix's sound as it comes: the middle sample of each channel of the
// latest block (a block may straddle a change; its middle does not).
struct Listen {
  std::mutex mutex;
  std::condition_variable arrived;
  uint64_t count = 0;
  float left = 0.0f, right = 0.0f;

  static void OnAudio(void* param, size_t, audio_data* data) {
    auto* self = static_cast<Listen*>(param);
    const auto* l = reinterpret_cast<const float*>(data->data[0]);
    const auto* r = reinterpret_cast<const float*>(data->data[1]);
    {
      std::lock_guard lock(self->mutex);
      self->left = l[data->frames / 2];
      self->right = r[data->frames / 2];
      ++self->count;
    }
    self->arrived.notify_all();
  }

  std::pair<float, float> After(int blocks) {
    std::unique_lock lock(mutex);
    const uint64_t until = count + uint64_t(blocks);
    arrived.wait_for(lock, std::chrono::seconds(30), [&] { return count >= until; });
    return {left, right};
  }
};

// A scene of a picture and a constant sound.
obs_source_t* Scene(const char* name, const std::string& png, float level, int channel) {
  obs_scene_t* scene = headless::ImageScene(name, png);
  obs_data_t* settings = obs_data_create();
  obs_data_set_double(settings, "level", level);
  obs_data_set_int(settings, "channel", channel);
  obs_source_t* sound = obs_source_create_private("zk_test_level", (std::string(name) + " sound").c_str(), settings);
  obs_data_release(settings);
  obs_scene_add(scene, sound);
  obs_source_release(sound);
  return obs_scene_get_source(scene);
}

struct Variant {
  const char* id;      // OBS's id
  const char* bundle;
  int16_t which;
  const char* key;     // the setting that picks it
  const char* value;
  const char* key2 = nullptr;
  const char* value2 = nullptr;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.bundle << "_" << v.which; }

const Variant kVariants[] = {
    {"zk_burn_transition", "Cindergate", 1, "style", "1"},
    {"zk_burn_transition", "Cindergate", 2, "style", "2"},
    {"zk_burn_transition", "Cindergate", 3, "style", "3"},
    {"zk_burn_transition", "Cindergate", 4, "style", "4"},
    {"zk_dropout_transition", "Ashveil", 1, "color", "black", "order", "bright"},
    {"zk_dropout_transition", "Ashveil", 2, "color", "black", "order", "dark"},
    {"zk_dropout_transition", "Ashveil", 3, "color", "white", "order", "bright"},
    {"zk_dropout_transition", "Ashveil", 4, "color", "white", "order", "dark"},
};

obs_data_t* SettingsOf(const Variant& v) {
  obs_data_t* settings = obs_data_create();
  if (std::strcmp(v.key, "style") == 0) {
    obs_data_set_int(settings, v.key, std::atoi(v.value));
  } else {
    obs_data_set_string(settings, v.key, v.value);
    obs_data_set_string(settings, v.key2, v.value2);
  }
  return settings;
}

// One OBS for the whole program: libobs starts once per process.
class Obs : public ::testing::Environment {
 public:
  void SetUp() override {
    base_set_log_handler(LogHandler, nullptr);
    display_ = headless::StartObs(kWidth, kHeight, 30, &skip_);
    if (display_ == nullptr) return;
    started_ = true;
    if (!headless::OpenModules(&error_)) return;
    folder_ = fs::temp_directory_path() / ("zkobs." + std::to_string(getpid()));
    fs::create_directories(folder_);
    a_ = headless::PictureA(kWidth, kHeight);
    b_ = headless::PictureB(kWidth, kHeight);
    if (!WritePng(folder_ / "a.png", a_) || !WritePng(folder_ / "b.png", b_)) {
      error_ = "cannot write the pictures into " + folder_.string();
      return;
    }
    RegisterLevelSource();
    sceneA_ = Scene("A", folder_ / "a.png", kLevelA, 0);
    sceneB_ = Scene("B", folder_ / "b.png", kLevelB, 1);
    obs_add_raw_video_callback(nullptr, &Capture::OnFrame, &capture_);
    obs_add_raw_audio_callback(0, nullptr, &Listen::OnAudio, &listen_);
  }

  void TearDown() override {
    if (started_) {
      obs_remove_raw_video_callback(&Capture::OnFrame, &capture_);
      obs_remove_raw_audio_callback(0, &Listen::OnAudio, &listen_);
      obs_set_output_source(0, nullptr);
      obs_source_release(sceneA_);
      obs_source_release(sceneB_);
      obs_shutdown();
    }
    if (display_ != nullptr) XCloseDisplay(display_);
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  static inline std::string skip_, error_;
  static inline bool started_ = false;
  static inline Display* display_ = nullptr;
  static inline fs::path folder_;
  static inline Image a_, b_;
  static inline obs_source_t* sceneA_ = nullptr;
  static inline obs_source_t* sceneB_ = nullptr;
  static inline Capture capture_;
  static inline Listen listen_;
  static constexpr float kLevelA = 0.5f, kLevelB = 0.25f;
};

class ObsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Obs::skip_.empty()) GTEST_SKIP() << Obs::skip_;
    ASSERT_TRUE(Obs::error_.empty()) << Obs::error_;
  }
};

// A transition on the output, started by hand from scene A towards B.
class Running {
 public:
  explicit Running(const Variant& v) {
    obs_data_t* settings = SettingsOf(v);
    source_ = obs_source_create_private(v.id, "under test", settings);
    obs_data_release(settings);
    obs_transition_set(source_, Obs::sceneA_);
    obs_set_output_source(0, source_);
    obs_transition_start(source_, OBS_TRANSITION_MODE_MANUAL, 1000, Obs::sceneB_);
  }
  ~Running() {
    obs_set_output_source(0, nullptr);
    obs_source_release(source_);
  }
  obs_source_t* get() const { return source_; }

 private:
  obs_source_t* source_;
};

// Words compared as pictures: alpha is not ours (we draw opaque).
int Mismatches(const Image& got, const Image& want, std::string* first) {
  int n = 0;
  for (int y = 0; y < want.height; ++y) {
    for (int x = 0; x < want.width; ++x) {
      const uint32_t g = got.at(x, y) & 0xFFFFFF, w = want.at(x, y) & 0xFFFFFF;
      if (g != w && n++ == 0) {
        char text[96];
        std::snprintf(text, sizeof text, "(%d, %d): OBS 0x%06X, host core 0x%06X", x, y, g, w);
        *first = text;
      }
    }
  }
  return n;
}

void Keep(const char* what, const Variant& v, int r, const Image& image) {
  const char* dir = std::getenv("ZK_OBS_FRAMES_DIR");
  if (dir == nullptr) return;
  WritePng(std::string(dir) + "/" + v.bundle + "-" + std::to_string(v.which) + "-r" + std::to_string(r) +
               "-" + what + ".png",
           image);
}

class Frames : public ObsTest, public ::testing::WithParamInterface<Variant> {};

// Moved by hand, a transition takes the finest steps the variant has (120
// frames): at t it shows frame floor(t x 120), bit for bit what the host
// core makes of the same two pictures.  OBS keeps 8-bit RGBA all the way
// here (image sources, scenes, the transition's textures, BGRA output).
TEST_P(Frames, MatchTheHostCoreAcrossTheTransition) {
  const Variant& v = GetParam();
  ASSERT_TRUE(Obs::capture_.After(2).width == kWidth) << "OBS renders no frames";
  Running transition(v);
  constexpr int32_t kFrames = 120;
  for (const int32_t r : {0, 29, 60, 101, 119}) {
    obs_transition_set_manual_time(transition.get(), (float(r) + 0.5f) / kFrames);
    const Image got = Obs::capture_.After(12);
    const Reference want = Render(v.bundle, v.which, r, kFrames, Obs::a_, Obs::b_);
    Keep("obs", v, r, got);
    Keep("host", v, r, want.frame);
    std::string first;
    EXPECT_EQ(Mismatches(got, want.frame, &first), 0) << "frame " << r << " of " << kFrames << ": " << first;
  }
}

class Sound : public ObsTest, public ::testing::WithParamInterface<Variant> {};

// Scene A's sound sits on the left channel at 0.5, B's on the right at
// 0.25: across the transition each is heard at the volume the plug-in
// asks for its frame in MixAudio (256 is full), and A's fades to silence
// over the frames the plug-in asks for when it terminates.
TEST_P(Sound, FollowsThePluginsVolumes) {
  const Variant& v = GetParam();
  Running transition(v);
  constexpr int32_t kFrames = 120;
  for (const int32_t r : {10, 60, 110}) {
    const float t = (float(r) + 0.5f) / kFrames;
    obs_transition_set_manual_time(transition.get(), t);
    Obs::capture_.After(3);
    const auto [left, right] = Obs::listen_.After(20);
    int32_t fadeOutFrames = 0;
    const Reference want = Render(v.bundle, v.which, r, kFrames, Obs::a_, Obs::b_, &fadeOutFrames);
    float volumeA = 0.0f, volumeB = 0.0f;
    for (const zk::host::AudioMix& m : want.mixes) {
      if (m.frameNumber == 0) volumeA = m.volume / 256.0f;
      if (m.frameNumber == kFrames) volumeB = m.volume / 256.0f;
    }
    float fade = 1.0f;
    if (fadeOutFrames > 0) fade = std::min(1.0f, (1.0f - t) * kFrames / float(fadeOutFrames));
    EXPECT_NEAR(left, Obs::kLevelA * volumeA * fade, 1e-6) << "frame " << r;
    EXPECT_NEAR(right, Obs::kLevelB * volumeB, 1e-6) << "frame " << r;
  }
}

struct RefusalCase {
  const char* name;
  // Prepares `dir`; returns the ZK_PLUGIN_PATH under which the bundle fails.
  std::string (*setup)(const fs::path& dir);
  const char* says;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

const RefusalCase kRefusals[] = {
    {"NotLoadable",
     [](const fs::path& dir) {
       std::ofstream(dir / "Cindergate.so") << "not a shared object\n";
       return dir.string();
     },
     "Cindergate.so: not a loadable bundle"},
    {"RefusesToDescribeItself", [](const fs::path&) { return std::string(ZK_REFUSING_DIR); },
     "refused to describe itself (result 10)"},
};

class Refusal : public ObsTest, public ::testing::WithParamInterface<RefusalCase> {};

// A bundle that cannot be loaded or refuses to run makes the transition a
// cut: scene B at once, picture and sound, and one line in OBS's log.
TEST_P(Refusal, CutsToTheNextSceneWithALineInTheLog) {
  const RefusalCase& c = GetParam();
  const fs::path dir = Obs::folder_ / c.name;
  fs::create_directories(dir);
  setenv("ZK_PLUGIN_PATH", c.setup(dir).c_str(), 1);
  const size_t from = LogSize();
  {
    Running transition(kVariants[2]);
    obs_transition_set_manual_time(transition.get(), 0.5f);
    const Image got = Obs::capture_.After(12);
    const auto [left, right] = Obs::listen_.After(20);
    std::string first;
    EXPECT_EQ(Mismatches(got, Obs::b_, &first), 0) << first;
    EXPECT_EQ(left, 0.0f);
    EXPECT_EQ(right, Obs::kLevelB);
  }
  unsetenv("ZK_PLUGIN_PATH");
  const std::string log = LogSince(from);
  std::vector<std::string> ours;
  for (size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    if (log.compare(at, 15, "[zktransitions]") == 0) ours.push_back(log.substr(at, end - at));
  }
  ASSERT_EQ(ours.size(), 1u) << log;
  EXPECT_NE(ours[0].find(c.says), std::string::npos) << ours[0];
  EXPECT_NE(ours[0].find("the transition cuts to the next scene"), std::string::npos) << ours[0];
}

INSTANTIATE_TEST_SUITE_P(Bundles, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

struct ClockCase {
  uint32_t durationMs;
  int32_t frames;
};

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.durationMs << " ms"; }

class Clock : public ObsTest, public ::testing::WithParamInterface<ClockCase> {};

// libobs tells a transition its time, not its duration: run by the clock,
// the transition reads the duration off it at its first frame and takes
// the plug-in's length nearest to duration x rate (30 fps here).
TEST_P(Clock, GivesTheLengthOfTheDuration) {
  const ClockCase& c = GetParam();
  const size_t from = LogSize();
  obs_data_t* settings = SettingsOf(kVariants[2]);
  obs_source_t* source = obs_source_create_private(kVariants[2].id, "by the clock", settings);
  obs_data_release(settings);
  obs_transition_set(source, Obs::sceneA_);
  obs_set_output_source(0, source);
  obs_transition_start(source, OBS_TRANSITION_MODE_AUTO, c.durationMs, Obs::sceneB_);
  Obs::capture_.After(int(c.durationMs * 30 / 1000) + 6);
  const Image after = Obs::capture_.After(1);
  obs_set_output_source(0, nullptr);
  obs_source_release(source);
  const std::string says = "by the clock: " + std::to_string(c.durationMs) + " ms at 30 fps: " +
                           std::to_string(c.frames) + " frames of Cindergate variant 3";
  EXPECT_NE(LogSince(from).find(says), std::string::npos) << LogSince(from);
  std::string first;
  EXPECT_EQ(Mismatches(after, Obs::b_, &first), 0) << "after the transition: " << first;
}

INSTANTIATE_TEST_SUITE_P(Durations, Clock,
                         ::testing::Values(ClockCase{300, 10}, ClockCase{1000, 30}, ClockCase{2500, 76}),
                         [](const auto& info) { return std::to_string(info.param.durationMs) + "ms"; });

INSTANTIATE_TEST_SUITE_P(Transitions, Sound, ::testing::ValuesIn(kVariants),
                         [](const auto& info) {
                           return std::string(info.param.bundle) + "_" + std::to_string(info.param.which);
                         });

INSTANTIATE_TEST_SUITE_P(Transitions, Frames, ::testing::ValuesIn(kVariants),
                         [](const auto& info) {
                           return std::string(info.param.bundle) + "_" + std::to_string(info.param.which);
                         });

}  // namespace
}  // namespace zk::obs::test

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  // obs_shutdown unloads every module; kept mapped, what the leak checker
  // finds at exit is named by library and function instead of "unknown
  // module", and suppressed by library where it is OBS's or Mesa's.
  const std::string lib = ZK_OBS_LIBDIR;
  for (const std::string& library : {std::string(ZK_OBS_MODULE), lib + "/obs-plugins/image-source.so",
                                     lib + "/libobs-opengl.so", lib + "/libEGL_mesa.so.0",
                                     lib + "/dri/swrast_dri.so", lib + "/dri/kms_swrast_dri.so"}) {
    dlopen(library.c_str(), RTLD_NOW | RTLD_NODELETE);
  }
#endif
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new zk::obs::test::Obs);
  return RUN_ALL_TESTS();
}
