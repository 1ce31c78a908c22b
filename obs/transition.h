// One of our transitions as an OBS source: the scenes' pictures read back,
// rendered by the bundle on a worker thread, and drawn; the scenes' sound
// mixed at the levels the bundle asks for.  A bundle that is missing or
// fails makes the transition a cut, with a line in OBS's log.
#pragma once

#include <obs-module.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle.h"
#include "plan.h"
#include "readback.h"
#include "worker.h"

namespace zk::obs {

// A transition in OBS's list: a bundle, and the variant its settings pick.
struct Kind {
  const char* id;       // OBS's source id
  const char* nameKey;  // its name in the locale files
  const char* bundle;   // the bundle's bare name
  bool twoScenes;       // the bundle keys scene B too; else B follows a drop-out
  void (*defaults)(obs_data_t* settings);
  obs_properties_t* (*properties)();
  int16_t (*which)(obs_data_t* settings);
};

extern const Kind kBurn;
extern const Kind kDropout;

// The registration record of a kind (its callbacks are Transition's).
obs_source_info SourceInfo(const Kind& kind);

// Folders searched for a bundle, in order: ZK_PLUGIN_PATH, the module's
// own folder and its parent (the build tree), and the installation's
// plug-in folder.
std::vector<std::string> BundleFolders();

// Frames the shown picture lags the scenes (see readback.h).
constexpr int kLatencyFrames = 2;

class Transition {
 public:
  Transition(const Kind& kind, obs_source_t* source, obs_data_t* settings);
  ~Transition();
  Transition(const Transition&) = delete;
  Transition& operator=(const Transition&) = delete;

  void Update(obs_data_t* settings) { which_ = kind_.which(settings); }
  void Start();
  void Stop();
  void VideoRender();
  bool AudioRender(uint64_t* ts, obs_source_audio_mix* audio, uint32_t mixers, size_t channels,
                   size_t sampleRate);

 private:
  // One run of the transition, from its start to its stop.
  struct Session {
    int16_t which = 1;
    bool manual = false;    // moved by hand (studio mode's T-bar): t is no time
    // The first frame past the start: t and OBS's video time.
    float firstT = 0.0f;
    uint64_t firstNs = 0;
    std::shared_ptr<const Plan> plan;  // null until known
    double lead = 0.0;      // t that passes while a frame's pictures are in flight
    bool failed = false;    // a cut
    bool active = false;
  };
  static void DrawCallback(void* data, gs_texture_t* a, gs_texture_t* b, float t, uint32_t cx,
                           uint32_t cy);
  static float MixA(void* data, float t);
  static float MixB(void* data, float t);
  void Draw(gs_texture_t* a, gs_texture_t* b, float t, uint32_t cx, uint32_t cy);
  bool PlanFromClock(float t, bool* failed);
  Session Snapshot();
  // With mutex_ held.
  zk::host::Bundle* OpenBundle();
  const std::vector<int32_t>& Lengths(int16_t which);
  void Say(const std::string& what);
  void Fail(const std::string& why);

  const Kind& kind_;
  obs_source_t* source_;
  std::atomic<int16_t> which_;
  std::mutex mutex_;  // session_, bundle_, lengths_, said_
  Session session_;
  std::unique_ptr<zk::host::Bundle> bundle_;  // kept once open: the worker uses it
  std::map<int16_t, std::vector<int32_t>> lengths_;
  std::string said_;
  // The graphics thread's.
  std::atomic<bool> resetPending_{false};
  std::unique_ptr<Worker> worker_;
  std::unique_ptr<Readback> readback_;
  // The audio thread's, for one audio_render call.
  std::shared_ptr<const Plan> audioPlan_;
  bool audioCut_ = false;
};

}  // namespace zk::obs
