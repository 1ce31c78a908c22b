#include "transition.h"

#include <dlfcn.h>
#include <graphics/graphics.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace zk::obs {
namespace {

// ---- Kinds -------------------------------------------------------------

void BurnDefaults(obs_data_t* settings) { obs_data_set_default_int(settings, "style", 3); }

obs_properties_t* BurnProperties() {
  obs_properties_t* props = obs_properties_create();
  obs_property_t* style = obs_properties_add_list(props, "style", obs_module_text("Style"),
                                                  OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_INT);
  // The bundle's variants 1 to 4.
  obs_property_list_add_int(style, obs_module_text("Style.BurnInBright"), 1);
  obs_property_list_add_int(style, obs_module_text("Style.BurnInDark"), 2);
  obs_property_list_add_int(style, obs_module_text("Style.BurnOutBright"), 3);
  obs_property_list_add_int(style, obs_module_text("Style.BurnOutDark"), 4);
  return props;
}

int16_t BurnWhich(obs_data_t* settings) {
  const long long style = obs_data_get_int(settings, "style");
  return int16_t(style >= 1 && style <= 4 ? style : 3);
}

void DropoutDefaults(obs_data_t* settings) {
  obs_data_set_default_string(settings, "color", "black");
  obs_data_set_default_string(settings, "order", "bright");
}

obs_properties_t* DropoutProperties() {
  obs_properties_t* props = obs_properties_create();
  obs_property_t* color = obs_properties_add_list(props, "color", obs_module_text("Color"),
                                                  OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
  obs_property_list_add_string(color, obs_module_text("Color.Black"), "black");
  obs_property_list_add_string(color, obs_module_text("Color.White"), "white");
  obs_property_t* order = obs_properties_add_list(props, "order", obs_module_text("Order"),
                                                  OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
  obs_property_list_add_string(order, obs_module_text("Order.Bright"), "bright");
  obs_property_list_add_string(order, obs_module_text("Order.Dark"), "dark");
  return props;
}

// Variants 1 and 2 drop to black, 3 and 4 to white; the even ones take the
// dark pixels first.
int16_t DropoutWhich(obs_data_t* settings) {
  const bool white = std::strcmp(obs_data_get_string(settings, "color"), "white") == 0;
  const bool dark = std::strcmp(obs_data_get_string(settings, "order"), "dark") == 0;
  return int16_t((white ? 3 : 1) + (dark ? 1 : 0));
}

}  // namespace

const Kind kBurn = {"zk_burn_transition", "BrightnessBurn", "Cindergate", true,
                    BurnDefaults,         BurnProperties,   BurnWhich};
const Kind kDropout = {"zk_dropout_transition", "BrightnessDropout", "Ashveil", false,
                       DropoutDefaults,         DropoutProperties,   DropoutWhich};

std::vector<std::string> BundleFolders() {
  std::vector<std::string> folders = zk::host::PluginPathFolders();
  const std::string self = zk::host::SelfFolder();
  folders.push_back(self);
  folders.push_back(self + "/..");
  folders.push_back(self + "/" ZK_OBS_BUNDLE_RELDIR);
  folders.push_back(ZK_OBS_BUNDLE_INSTALL_DIR);
  return folders;
}

// ---- Set-up --------------------------------------------------------------

Transition::Transition(const Kind& kind, obs_source_t* source, obs_data_t* settings)
    : kind_(kind), source_(source), which_(kind.which(settings)), readback_(std::make_unique<Readback>()) {
  std::lock_guard lock(mutex_);
  OpenBundle();
}

Transition::~Transition() {
  if (worker_ != nullptr) worker_->Wait();
  obs_enter_graphics();
  readback_.reset();
  obs_leave_graphics();
  worker_.reset();
}

void Transition::Say(const std::string& what) {
  if (what == said_) return;
  said_ = what;
  blog(LOG_WARNING, "[zktransitions] %s: %s", obs_source_get_name(source_), what.c_str());
}

void Transition::Fail(const std::string& why) {
  std::lock_guard lock(mutex_);
  session_.failed = true;
  Say(why + "; the transition cuts to the next scene");
}

zk::host::Bundle* Transition::OpenBundle() {
  if (bundle_ != nullptr) return bundle_.get();
  try {
    bundle_ = zk::host::Bundle::Open(zk::host::FindBundle(kind_.bundle, BundleFolders()));
  } catch (const std::exception& e) {
    Say(std::string(e.what()) + "; the transition cuts to the next scene");
  }
  return bundle_.get();
}

const std::vector<int32_t>& Transition::Lengths(int16_t which) {
  auto it = lengths_.find(which);
  if (it == lengths_.end()) it = lengths_.emplace(which, ReachableLengths(*bundle_, which)).first;
  return it->second;
}

// ---- Start and stop ------------------------------------------------------

void Transition::Start() {
  // OBS has set the mode before it calls this: a transition moved by hand
  // starts at 0, one that runs by the clock still reads the last run's
  // time, which has ended (1).
  const bool manual = obs_transition_get_time(source_) == 0.0f;
  std::lock_guard lock(mutex_);
  // Started again while running: it keeps its course.
  if (session_.active) return;
  Session s;
  s.which = which_;
  s.manual = manual;
  s.active = true;
  if (OpenBundle() == nullptr) {
    s.failed = true;
  } else if (manual) {
    // By hand, the finest steps the variant has.
    try {
      s.plan = std::make_shared<const Plan>(MakePlan(*bundle_, s.which, Lengths(s.which).back()));
    } catch (const std::exception& e) {
      s.failed = true;
      Say(std::string(e.what()) + "; the transition cuts to the next scene");
    }
  }
  session_ = s;
  resetPending_ = true;
}

void Transition::Stop() {
  std::lock_guard lock(mutex_);
  session_.active = false;
  resetPending_ = true;
}

Transition::Session Transition::Snapshot() {
  std::lock_guard lock(mutex_);
  return session_;
}

// libobs tells a transition its time, not its duration: the duration is
// what the clock says between the first two frames past the start (in
// whole milliseconds, as OBS takes it).  Returns whether the plan is
// known; *failed when the bundle refused.
bool Transition::PlanFromClock(float t, bool* failed) {
  const uint64_t now = obs_get_video_frame_time();
  obs_video_info ovi{};
  if (!obs_get_video_info(&ovi) || ovi.fps_num == 0 || ovi.fps_den == 0) return false;
  std::lock_guard lock(mutex_);
  *failed = session_.failed;
  if (session_.plan != nullptr || session_.failed) return !session_.failed;
  if (session_.firstNs == 0 || !(t > session_.firstT) || now <= session_.firstNs) {
    session_.firstT = t;
    session_.firstNs = now;
    return false;
  }
  const double durationMs =
      std::max(1.0, std::round(double(now - session_.firstNs) / double(t - session_.firstT) / 1e6));
  try {
    const double frames = FramesOf(durationMs, ovi.fps_num, ovi.fps_den);
    const int32_t n = NearestLength(Lengths(session_.which), frames);
    session_.plan = std::make_shared<const Plan>(MakePlan(*bundle_, session_.which, n));
    session_.lead = kLatencyFrames * (1000.0 * ovi.fps_den / ovi.fps_num) / durationMs;
    blog(LOG_INFO, "[zktransitions] %s: %.0f ms at %.3g fps: %d frames of %s variant %d",
         obs_source_get_name(source_), durationMs, double(ovi.fps_num) / ovi.fps_den, int(n),
         kind_.bundle, int(session_.which));
    return true;
  } catch (const std::exception& e) {
    session_.failed = *failed = true;
    Say(std::string(e.what()) + "; the transition cuts to the next scene");
    return false;
  }
}

// ---- Pictures ------------------------------------------------------------

void Transition::VideoRender() {
  if (Snapshot().failed) {
    obs_transition_video_render_direct(source_, OBS_TRANSITION_SOURCE_B);
    return;
  }
  obs_transition_video_render(source_, &Transition::DrawCallback);
}

void Transition::DrawCallback(void* data, gs_texture_t* a, gs_texture_t* b, float t, uint32_t cx,
                              uint32_t cy) {
  static_cast<Transition*>(data)->Draw(a, b, t, cx, cy);
}

void Transition::Draw(gs_texture_t* a, gs_texture_t* b, float t, uint32_t cx, uint32_t cy) {
  if (resetPending_.exchange(false)) readback_->Reset(worker_.get());
  Session s = Snapshot();
  if (s.failed) return DrawTexture(b, cx, cy);
  if (s.plan == nullptr) {
    // Until the clock has said the duration, scene A as it is.
    bool failed = false;
    if (!(t > 0.0f) || !PlanFromClock(t, &failed)) return DrawTexture(failed ? b : a, cx, cy);
    s = Snapshot();
  }
  gs_texture_t* second = kind_.twoScenes ? b : nullptr;
  if (!Readback::Readable(a, second)) {
    Fail("the scenes are not 8-bit RGBA pictures of one size (an HDR colour space?)");
    return DrawTexture(b, cx, cy);
  }
  if (worker_ == nullptr) worker_ = std::make_unique<Worker>(*bundle_);
  Job job;
  job.which = s.which;
  job.frames = s.plan->frames;
  job.frame = s.plan->FrameAt(double(t) + s.lead);
  std::string failed;
  gs_texture_t* shown = readback_->Step(*worker_, a, second, job, &failed);
  if (!failed.empty()) {
    Fail(failed);
    return DrawTexture(b, cx, cy);
  }
  // Until the first frame comes back, scene A as it is.
  if (shown != nullptr) return DrawTexture(shown, cx, cy, true);
  DrawTexture(a, cx, cy);
}

// ---- Sound -----------------------------------------------------------------

bool Transition::AudioRender(uint64_t* ts, obs_source_audio_mix* audio, uint32_t mixers,
                             size_t channels, size_t sampleRate) {
  {
    std::lock_guard lock(mutex_);
    audioPlan_ = session_.plan;
    audioCut_ = session_.failed;
  }
  return obs_transition_audio_render(source_, ts, audio, mixers, channels, sampleRate,
                                     &Transition::MixA, &Transition::MixB);
}

float Transition::MixA(void* data, float t) {
  const auto* self = static_cast<const Transition*>(data);
  if (self->audioCut_) return 0.0f;
  return self->audioPlan_ != nullptr ? self->audioPlan_->GainA(t) : 1.0f;
}

float Transition::MixB(void* data, float t) {
  const auto* self = static_cast<const Transition*>(data);
  if (self->audioCut_) return 1.0f;
  if (self->audioPlan_ != nullptr) return self->audioPlan_->GainB(t);
  return self->kind_.twoScenes ? 1.0f : 0.0f;
}

// ---- OBS's callbacks -------------------------------------------------------

obs_source_info SourceInfo(const Kind& kind) {
  obs_source_info info{};
  info.id = kind.id;
  info.type = OBS_SOURCE_TYPE_TRANSITION;
  info.type_data = const_cast<Kind*>(&kind);
  info.get_name = [](void* type) {
    return obs_module_text(static_cast<const Kind*>(type)->nameKey);
  };
  info.create = [](obs_data_t* settings, obs_source_t* source) -> void* {
    const auto* kind = static_cast<const Kind*>(obs_source_get_type_data(source));
    try {
      return new Transition(*kind, source, settings);
    } catch (const std::exception& e) {
      blog(LOG_ERROR, "[zktransitions] %s: %s", obs_source_get_name(source), e.what());
      return nullptr;
    }
  };
  info.destroy = [](void* data) { delete static_cast<Transition*>(data); };
  info.get_defaults2 = [](void* type, obs_data_t* settings) {
    static_cast<const Kind*>(type)->defaults(settings);
  };
  info.get_properties2 = [](void*, void* type) { return static_cast<const Kind*>(type)->properties(); };
  info.update = [](void* data, obs_data_t* settings) { static_cast<Transition*>(data)->Update(settings); };
  info.video_render = [](void* data, gs_effect_t*) { static_cast<Transition*>(data)->VideoRender(); };
  info.audio_render = [](void* data, uint64_t* ts, obs_source_audio_mix* audio, uint32_t mixers,
                         size_t channels, size_t rate) {
    return static_cast<Transition*>(data)->AudioRender(ts, audio, mixers, channels, rate);
  };
  info.transition_start = [](void* data) { static_cast<Transition*>(data)->Start(); };
  info.transition_stop = [](void* data) { static_cast<Transition*>(data)->Stop(); };
  return info;
}

}  // namespace zk::obs
