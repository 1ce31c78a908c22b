// The OBS module: our two transitions in OBS's scene-transition list.
#include <obs-module.h>

#include "transition.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("zktransitions", "en-US")

MODULE_EXPORT const char* obs_module_description(void) {
  return "Brightness-keyed scene transitions: a burn between scenes, and a drop-out to black or white";
}

bool obs_module_load(void) {
  static const obs_source_info burn = zk::obs::SourceInfo(zk::obs::kBurn);
  static const obs_source_info dropout = zk::obs::SourceInfo(zk::obs::kDropout);
  obs_register_source(&burn);
  obs_register_source(&dropout);
  return true;
}
