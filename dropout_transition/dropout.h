#pragma once

#include "zk_plugin.h"

namespace zk {

// Renders one output frame of Ashveil's variant which (1 to 4) into the
// output world, which the dispatcher has made current.
ZKPluginResult DoDropout(ZKPluginParams* params, int16_t which);

}  // namespace zk
