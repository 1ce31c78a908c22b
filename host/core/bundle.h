// A plug-in bundle loaded into the host process.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "zk_plugin.h"

namespace zk::host {

// Every failure the host reports to its user is one of these, with a
// message that names what, which file and why.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Bundle {
 public:
  // Loads the bundle at path (RTLD_NOW | RTLD_LOCAL unless global) and
  // resolves main and the six colours; throws Error naming what is missing.
  static std::unique_ptr<Bundle> Open(const std::string& path, bool global = false);
  ~Bundle();
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  ZKPluginMainProc main() const { return main_; }
  const std::string& path() const { return path_; }
  // The bundle's name without folder and extension ("Cindergate").
  std::string name() const;
  // One of the exported colours by name, or null.
  const RGBColor* Color(const char* name) const;

 private:
  Bundle(void* handle, std::string path, ZKPluginMainProc main);
  void* handle_;
  std::string path_;
  ZKPluginMainProc main_;
};

// The folders named by ZK_PLUGIN_PATH (colon-separated, empty entries
// skipped), in order; the first place every host looks for a bundle.
std::vector<std::string> PluginPathFolders();

// The bundle of a bare name: the absolute path of NAME or NAME.so in the
// first of `folders` that holds one (PluginPathFolders() come first, then
// the host's own).  Throws Error listing where it looked.
std::string FindBundle(const std::string& name, const std::vector<std::string>& folders);

// The folder of the program or shared object this code is linked into
// (the host core is a static library: each plug-in host gets its own).
std::string SelfFolder();

// The names of the six colours every bundle exports.
extern const char* const kBundleColorNames[6];

}  // namespace zk::host
