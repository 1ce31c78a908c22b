#pragma once

#include "zk_plugin.h"

namespace zk {

// Cindergate's two renderers.  inUseWhite keys toward white (bright pixels
// first) when true, toward black when false.
ZKPluginResult DoBurnOut(ZKPluginParams* params, bool inUseWhite);
ZKPluginResult DoBurnIn(ZKPluginParams* params, bool inUseWhite);

}  // namespace zk
