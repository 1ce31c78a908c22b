#include "bundle.h"

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace zk::host {

std::string SelfFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&SelfFolder), &info) == 0 || info.dli_fname == nullptr) {
    return ".";
  }
  char resolved[PATH_MAX];
  std::string path = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

const char* const kBundleColorNames[6] = {"rgbWhite", "rgbBlack",  "rgbDkGray",
                                          "rgbLtGray", "rgbGreen", "rgbReddish"};

std::vector<std::string> PluginPathFolders() {
  std::vector<std::string> folders;
  const char* env = std::getenv("ZK_PLUGIN_PATH");
  if (env == nullptr) return folders;
  const std::string list = env;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(':', start), list.size());
    if (end > start) folders.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return folders;
}

std::string FindBundle(const std::string& name, const std::vector<std::string>& folders) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string looked;
  std::vector<fs::path> seen;  // a folder named twice (ZK_PLUGIN_PATH and a default) is looked in once
  for (const std::string& folder : folders) {
    const fs::path canonical = fs::weakly_canonical(folder, ec);
    if (std::find(seen.begin(), seen.end(), canonical) != seen.end()) continue;
    seen.push_back(canonical);
    for (const std::string& file : {name, name + ".so"}) {
      const fs::path p = fs::path(folder) / file;
      if (fs::is_regular_file(p, ec)) return fs::absolute(p).string();
    }
    looked += (looked.empty() ? "" : ", ") + folder;
  }
  throw Error(name + ": no such bundle (looked in " + (looked.empty() ? "no folder" : looked) +
              "; set ZK_PLUGIN_PATH to the folder that holds it)");
}

std::unique_ptr<Bundle> Bundle::Open(const std::string& path, bool global) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
  if (handle == nullptr) {
    const char* why = dlerror();
    throw Error(path + ": not a loadable bundle (" + (why ? why : "unknown error") + ")");
  }
  auto close = [&] { dlclose(handle); };
  auto main = reinterpret_cast<ZKPluginMainProc>(dlsym(handle, "main"));
  if (main == nullptr) {
    close();
    throw Error(path + ": bundle does not export main");
  }
  for (const char* color : kBundleColorNames) {
    if (dlsym(handle, color) == nullptr) {
      close();
      throw Error(path + ": bundle does not export " + color);
    }
  }
  return std::unique_ptr<Bundle>(new Bundle(handle, path, main));
}

Bundle::Bundle(void* handle, std::string path, ZKPluginMainProc main)
    : handle_(handle), path_(std::move(path)), main_(main) {}

Bundle::~Bundle() { dlclose(handle_); }

std::string Bundle::name() const { return std::filesystem::path(path_).stem().string(); }

const RGBColor* Bundle::Color(const char* name) const {
  return static_cast<const RGBColor*>(dlsym(handle_, name));
}

}  // namespace zk::host
