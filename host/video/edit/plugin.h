// Finding bundles and asking them what they need.
#pragma once

#include <string>
#include <vector>

#include "bundle.h"
#include "zk_plugin.h"

namespace zk::video {

// The folders searched for a bundle given by bare name, in order:
// ZK_PLUGIN_PATH, the installed plug-in folder, the build tree's lib/.
std::vector<std::string> PluginFolders();
// A path to load: the argument itself when it names a file, otherwise
// NAME or NAME.so in the plug-in folders.  Throws Error listing where it looked.
std::string FindBundle(const std::string& name);

// "kPluginCantGetNeededFrame (7)".
std::string ResultName(int result);
// "two-clip transition" for 103 and so on.
std::string TypeName(int type);

// kPlugGetInfo for one variant at one speed; throws Error when refused.
ZKPluginGetInfo Describe(const zk::host::Bundle& bundle, int variant, float speed);

// A speed at which the variant reports exactly `frames` frames.  Throws
// Error naming the nearest counts it can reach when there is none, and
// the count as the user asked for it (default "--frames N").
float SpeedForFrames(const zk::host::Bundle& bundle, int variant, int frames, std::string asked = "");

}  // namespace zk::video
