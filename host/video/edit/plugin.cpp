#include "edit/plugin.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "instance.h"

namespace zk::video {
namespace fs = std::filesystem;
using zk::host::Error;

std::vector<std::string> PluginFolders() {
  std::vector<std::string> folders = zk::host::PluginPathFolders();
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path bin = exe.parent_path();
    folders.push_back((bin.parent_path() / ZK_PLUGIN_RELDIR).string());  // installed
    folders.push_back((bin.parent_path() / "lib").string());                // build tree
  }
  return folders;
}

std::string FindBundle(const std::string& name) {
  std::error_code ec;
  const bool bare = name.find('/') == std::string::npos;
  if (!bare || fs::is_regular_file(name, ec)) {
    if (!fs::exists(name, ec)) throw Error(name + ": no such file");
    if (!fs::is_regular_file(name, ec)) throw Error(name + ": not a bundle (not a regular file)");
    return fs::absolute(name).string();
  }
  return zk::host::FindBundle(name, PluginFolders());
}

std::string ResultName(int result) {
  static const char* const kNames[] = {
      "kPluginOK",          "kPluginCancel",           "kPluginFinished",
      "kPluginBadParams",   "kPluginOutOfMemory",      "kPluginOutOfDiskSpace",
      "kPluginFailed",      "kPluginCantGetNeededFrame", "kPluginUnimplemented",
      "kPluginTryAgainLater", "kPluginAppIsTooOld",    "kPluginAppIsTooNew"};
  const std::string code = "(" + std::to_string(result) + ")";
  if (result >= 0 && result < int(std::size(kNames))) return std::string(kNames[result]) + " " + code;
  return "result " + code;
}

std::string TypeName(int type) {
  switch (type) {
    case kPluginTitleType: return "title";
    case kPluginTransitionBeforeType: return "start-of-clip transition";
    case kPluginTransitionBetweenType: return "two-clip transition";
    case kPluginTransitionAfterType: return "end-of-clip transition";
    case kPluginFilterType: return "filter";
    default: return "plug-in of unknown type " + std::to_string(type);
  }
}

ZKPluginGetInfo Describe(const zk::host::Bundle& bundle, int variant, float speed) {
  zk::host::PluginInstance instance(bundle, int16_t(variant));
  instance.set_speed(speed);
  const int r = instance.GetInfo();
  if (r != kPluginOK) {
    throw Error(bundle.name() + " variant " + std::to_string(variant) +
                " refused to describe itself: " + ResultName(r));
  }
  return instance.params().getInfo;
}

float SpeedForFrames(const zk::host::Bundle& bundle, int variant, int frames, std::string asked) {
  if (asked.empty()) asked = "--frames " + std::to_string(frames);
  const ZKPluginGetInfo slow = Describe(bundle, variant, 0.0f);
  const ZKPluginGetInfo fast = Describe(bundle, variant, 1.0f);
  const std::string who = bundle.name() + " variant " + std::to_string(variant);
  if (frames < slow.framesToBeRendered || frames > fast.framesToBeRendered) {
    throw Error(asked + " is out of range: " + who + " takes " +
                std::to_string(slow.framesToBeRendered) + " to " +
                std::to_string(fast.framesToBeRendered));
  }
  // The count grows with the speed: find the lowest speed that reaches it.
  float lo = 0.0f, hi = 1.0f;
  for (int i = 0; i < 64 && lo < hi; ++i) {
    const float mid = lo + (hi - lo) / 2;
    if (mid <= lo || mid >= hi) break;
    if (Describe(bundle, variant, mid).framesToBeRendered >= frames) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  const int atLo = Describe(bundle, variant, lo).framesToBeRendered;
  const int atHi = Describe(bundle, variant, hi).framesToBeRendered;
  if (atLo == frames) return lo;
  if (atHi == frames) return hi;
  throw Error(asked + " cannot be reached by " + who +
              ": the nearest are " + std::to_string(atLo) + " and " + std::to_string(atHi));
}

}  // namespace zk::video
