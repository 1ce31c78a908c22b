// One frei0r plug-in: the variant kVariants[ZK_F0R_VARIANT] of its bundle.
// Built once per variant; each build exports only the f0r_ functions.
// frei0r.h declares its functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

#include "transition.h"

namespace {

using zk::frei0r::Transition;

constexpr const zk::frei0r::Variant& kVariant = zk::frei0r::kVariants[ZK_F0R_VARIANT];

Transition* Of(f0r_instance_t instance) { return static_cast<Transition*>(instance); }

// MLT asks again for every frame after a refusal: say each thing once.
void SayOnce(const std::string& what) {
  static std::mutex mutex;
  static std::string said;
  std::lock_guard<std::mutex> lock(mutex);
  if (what == said) return;
  said = what;
  std::fprintf(stderr, "frei0r.%s: %s\n", kVariant.id, what.c_str());
}

}  // namespace

#define F0R_EXPORT __attribute__((visibility("default")))

extern "C" {

// Hosts differ in whether and when they call these (MLT calls f0r_deinit of
// a transition before destroying its instances): each instance holds what
// it needs, so there is nothing to set up here.
F0R_EXPORT int f0r_init(void) { return 1; }
F0R_EXPORT void f0r_deinit(void) {}

F0R_EXPORT void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  info->name = kVariant.title;
  info->author = "zktransitions";
  info->plugin_type = kVariant.twoClips ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER;
  // The native order of MLT's frames: no conversion on the host's side.
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = 0;
  info->minor_version = 1;
  info->num_params = 1;
  info->explanation = kVariant.explanation;
}

F0R_EXPORT void f0r_get_param_info(f0r_param_info_t* info, int index) {
  if (index != 0) return;
  info->name = "progress";
  info->type = F0R_PARAM_DOUBLE;
  info->explanation = "Position in the transition: 0 at its start, 1 at its end; animate it";
}

F0R_EXPORT f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  std::string error;
  try {
    if (auto t = Transition::Create(kVariant, width, height, &error)) return t.release();
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unexpected failure";
  }
  SayOnce(error);
  return nullptr;
}

F0R_EXPORT void f0r_destruct(f0r_instance_t instance) { delete Of(instance); }

F0R_EXPORT void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  if (instance != nullptr && param != nullptr && index == 0) {
    Of(instance)->set_progress(*static_cast<const double*>(param));
  }
}

F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  if (instance != nullptr && param != nullptr && index == 0) {
    *static_cast<double*>(param) = Of(instance)->progress();
  }
}

F0R_EXPORT void f0r_update(f0r_instance_t instance, double, const uint32_t* inframe, uint32_t* outframe) {
  if (instance == nullptr) return;
  try {
    Of(instance)->Render(inframe, nullptr, outframe);
  } catch (...) {
  }
}

F0R_EXPORT void f0r_update2(f0r_instance_t instance, double, const uint32_t* inframe1,
                 const uint32_t* inframe2, const uint32_t*, uint32_t* outframe) {
  if (instance == nullptr) return;
  try {
    Of(instance)->Render(inframe1, inframe2, outframe);
  } catch (...) {
  }
}

}  // extern "C"
