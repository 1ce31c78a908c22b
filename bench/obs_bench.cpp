// The graphics thread's time per 1080p frame with our transitions, run
// under xvfb-run -a; prints two Markdown tables.
//
// Ours alone: the transition's own work on the graphics thread (stage the
// scenes' textures, map last frame's, hand them to the worker, upload the
// worker's frame, draw it, flush), paced at 30 and 60 frames a second with
// the worker rendering beside it, as in OBS.
//
// In OBS: OBS's own figure (each second's average of tick, render and
// output) with the transition on the output, moved by hand to t = 0.5, so
// that every frame also renders both scenes into textures, beside scene A
// alone and OBS's own fade.
//
// usage: zk_obs_bench [SECONDS] [--ours]  (--ours: the first table only)
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "bundle.h"
#include "headless.h"
#include "readback.h"
#include "worker.h"

namespace {

namespace fs = std::filesystem;
using namespace zk::obs::headless;

struct Row {
  const char* name;
  const char* id;  // a transition's id, or null for scene A alone
  const char* key;
  long long value;
};

const Row kRows[] = {
    {"scene A alone", nullptr, nullptr, 0},
    {"OBS's fade", "fade_transition", nullptr, 0},
    {"Brightness Burn (Cindergate 3)", "zk_burn_transition", "style", 3},
    {"Brightness Burn (Cindergate 1)", "zk_burn_transition", "style", 1},
    {"Brightness Fade to Color (Ashveil 1)", "zk_dropout_transition", nullptr, 0},
};

struct Figures {
  double meanMs = 0.0, worstMs = 0.0;
  uint32_t lagged = 0, frames = 0;
};

// Each second's average over `seconds` seconds, after two to settle.
Figures Measure(obs_source_t* output, int seconds) {
  obs_set_output_source(0, output);
  sleep(2);
  const uint32_t lagged0 = obs_get_lagged_frames(), total0 = obs_get_total_frames();
  Figures f;
  for (int s = 0; s < seconds; ++s) {
    sleep(1);
    const double ms = double(obs_get_average_frame_time_ns()) / 1e6;
    f.meanMs += ms / seconds;
    f.worstMs = std::max(f.worstMs, ms);
  }
  f.lagged = obs_get_lagged_frames() - lagged0;
  f.frames = obs_get_total_frames() - total0;
  obs_set_output_source(0, nullptr);
  return f;
}

obs_source_t* Transition(const Row& row, obs_source_t* a, obs_source_t* b) {
  obs_data_t* settings = obs_data_create();
  if (row.key != nullptr) obs_data_set_int(settings, row.key, row.value);
  obs_source_t* t = obs_source_create_private(row.id, row.name, settings);
  obs_data_release(settings);
  if (t == nullptr) return nullptr;
  obs_transition_set(t, a);
  obs_transition_start(t, OBS_TRANSITION_MODE_MANUAL, 1000, b);
  obs_transition_set_manual_time(t, 0.5f);
  return t;
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

struct Alone {
  const char* name;
  const char* bundle;
  int16_t which;
  bool two;
};

const Alone kAlone[] = {
    {"a full-frame draw alone (what any transition draws)", nullptr, 0, false},
    {"Brightness Burn (Cindergate 3)", "Cindergate", 3, true},
    {"Brightness Burn (Cindergate 1)", "Cindergate", 1, true},
    {"Brightness Fade to Color (Ashveil 1)", "Ashveil", 1, false},
};

gs_texture_t* Texture(const Image& image) {
  std::vector<uint8_t> rgba;
  rgba.reserve(image.pixels.size() * 4);
  for (uint32_t p : image.pixels) {
    rgba.insert(rgba.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p), 255});
  }
  const uint8_t* data = rgba.data();
  return gs_texture_create(uint32_t(image.width), uint32_t(image.height), GS_RGBA, 1, &data, 0);
}

// Our graphics-thread work per frame, `seconds` long at `fps`.
void OursAlone(const Alone& row, uint32_t fps, int seconds) {
  using Clock = std::chrono::steady_clock;
  const auto bundle =
      zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/" + (row.bundle != nullptr ? row.bundle : "Ashveil") + ".so");
  zk::obs::Worker worker(*bundle);
  zk::obs::Readback readback;
  obs_enter_graphics();
  gs_texture_t* a = Texture(PictureA(1920, 1080));
  gs_texture_t* b = Texture(PictureB(1920, 1080));
  gs_texrender_t* target = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
  obs_leave_graphics();
  const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
  const int frames = int(fps) * (seconds + 1);
  std::vector<double> ms, cpu, stepCpu;
  int repeated = 0;
  gs_texture_t* last = nullptr;
  auto next = Clock::now();
  for (int k = 0; k < frames; ++k) {
    zk::obs::Job job;
    job.which = row.which;
    job.frames = 120;
    job.frame = 60;
    obs_enter_graphics();
    const auto start = Clock::now();
    const double cpuStart = ThreadCpuMs();
    gs_texrender_reset(target);
    if (gs_texrender_begin(target, 1920, 1080)) {
      gs_ortho(0.0f, 1920.0f, 0.0f, 1080.0f, -100.0f, 100.0f);
      std::string failed;
      // A worker busy at the frame's start has its last frame shown again.
      repeated += last != nullptr && worker.Busy();
      gs_texture_t* shown = row.bundle != nullptr ? readback.Step(worker, a, row.two ? b : nullptr, job, &failed) : nullptr;
      gs_flush();
      stepCpu.push_back(ThreadCpuMs() - cpuStart);
      zk::obs::DrawTexture(shown != nullptr ? shown : a, 1920, 1080, shown != nullptr);
      gs_texrender_end(target);
      last = shown;
    }
    gs_flush();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    cpu.push_back(ThreadCpuMs() - cpuStart);
    obs_leave_graphics();
    next += interval;
    std::this_thread::sleep_until(next);
  }
  worker.Wait();
  obs_enter_graphics();
  readback.Reset(&worker);
  gs_texrender_destroy(target);
  gs_texture_destroy(a);
  gs_texture_destroy(b);
  obs_leave_graphics();
  // The first second fills the pipeline and has llvmpipe compile its shaders.
  ms.erase(ms.begin(), ms.begin() + std::min<size_t>(ms.size(), fps));
  cpu.erase(cpu.begin(), cpu.begin() + std::min<size_t>(cpu.size(), fps));
  stepCpu.erase(stepCpu.begin(), stepCpu.begin() + std::min<size_t>(stepCpu.size(), fps));
  std::sort(stepCpu.begin(), stepCpu.end());
  std::sort(ms.begin(), ms.end());
  std::sort(cpu.begin(), cpu.end());
  double mean = 0.0, cpuMean = 0.0;
  for (double m : ms) mean += m / double(ms.size());
  for (double m : cpu) cpuMean += m / double(cpu.size());
  std::printf("| %s, 1080p at %u fps | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %d of %d |\n", row.name, fps,
              mean, ms[ms.size() / 2], ms[ms.size() * 95 / 100], cpuMean, cpu[cpu.size() / 2],
              stepCpu[stepCpu.size() / 2], repeated, frames);
  std::fflush(stdout);
  (void)last;
}

bool RunAt(uint32_t fps, int seconds, const fs::path& folder, bool alone) {
  std::string why;
  Display* display = StartObs(1920, 1080, fps, &why);
  if (display == nullptr) {
    std::fprintf(stderr, "zk_obs_bench: %s\n", why.c_str());
    return false;
  }
  std::string error;
  obs_module_t* fade = nullptr;
  const std::string obsPlugins = std::string(ZK_OBS_LIBDIR) + "/obs-plugins";
  if (!OpenModules(&error) || obs_open_module(&fade, (obsPlugins + "/obs-transitions.so").c_str(),
                                              ZK_OBS_DATADIR "/obs-plugins/obs-transitions") != MODULE_SUCCESS ||
      !obs_init_module(fade)) {
    std::fprintf(stderr, "zk_obs_bench: %s\n", error.empty() ? "cannot open obs-transitions.so" : error.c_str());
    obs_shutdown();
    XCloseDisplay(display);
    return false;
  }
  if (alone) {
    for (const Alone& row : kAlone) OursAlone(row, fps, seconds);
    obs_shutdown();
    XCloseDisplay(display);
    return true;
  }
  obs_scene_t* a = ImageScene("A", folder / "a.png");
  obs_scene_t* b = ImageScene("B", folder / "b.png");
  for (const Row& row : kRows) {
    obs_source_t* t = row.id != nullptr ? Transition(row, obs_scene_get_source(a), obs_scene_get_source(b)) : nullptr;
    const Figures f = Measure(t != nullptr ? t : obs_scene_get_source(a), seconds);
    std::printf("| %s, 1080p at %u fps | %.2f | %.2f | %u of %u |\n", row.name, fps, f.meanMs, f.worstMs,
                f.lagged, f.frames);
    std::fflush(stdout);
    obs_source_release(t);
  }
  obs_scene_release(a);
  obs_scene_release(b);
  obs_shutdown();
  XCloseDisplay(display);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const bool oursOnly = argc > 2 && std::string(argv[2]) == "--ours";
  const fs::path folder = fs::temp_directory_path() / ("zkobsbench." + std::to_string(getpid()));
  fs::create_directories(folder);
  WritePng(folder / "a.png", PictureA(1920, 1080));
  WritePng(folder / "b.png", PictureB(1920, 1080));
  std::printf("| our transition's graphics-thread work per frame | mean ms | median | 95th percentile | CPU mean ms | CPU median | of which read-back and upload, CPU median | worker late |\n"
              "|---|---:|---:|---:|---:|---:|---:|---:|\n");
  bool ok = true;
  for (const uint32_t fps : {30u, 60u}) ok = RunAt(fps, seconds, folder, true) && ok;
  if (oursOnly) return ok ? 0 : 1;
  std::printf("\n| OBS's graphics thread per frame | mean ms | worst second, ms | frames lagged |\n|---|---:|---:|---:|\n");
  for (const uint32_t fps : {30u, 60u}) ok = RunAt(fps, seconds, folder, false) && ok;
  std::error_code ec;
  fs::remove_all(folder, ec);
  return ok ? 0 : 1;
}
