// What the frei0r tests share: a plug-in opened the way an editor opens
// it, and the reference host's rendering of the same frame.
#pragma once

#include <dlfcn.h>
extern "C" {
#include <frei0r.h>
}

#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "instance.h"
#include "transition.h"

namespace zk::frei0r {

inline void PrintTo(const Variant& v, std::ostream* os) { *os << v.id; }

}  // namespace zk::frei0r

namespace zk::frei0r::test {

// A frame as frei0r passes it: RGBA8888 bytes, packed.
struct Rgba {
  int width = 0, height = 0;
  std::vector<uint32_t> words;
  Rgba() = default;
  Rgba(int w, int h) : width(w), height(h), words(size_t(w) * h) {}
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(words.data()); }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(words.data()); }
};

inline Rgba RandomFrame(int w, int h, uint32_t seed) {
  Rgba f(w, h);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < size_t(w) * h * 4; ++i) f.bytes()[i] = uint8_t(rng());
  return f;
}

// The platform's words of an RGBA frame, written out byte by byte.
inline zk::host::Image ToImage(const Rgba& f) {
  zk::host::Image image(f.width, f.height);
  const uint8_t* b = f.bytes();
  for (size_t i = 0; i < image.pixels.size(); ++i, b += 4) {
    image.pixels[i] = uint32_t(b[3]) << 24 | uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
  }
  return image;
}

// The functions of one plug-in file.
struct Plugin {
  void* handle = nullptr;
  void (*get_plugin_info)(f0r_plugin_info_t*) = nullptr;
  void (*get_param_info)(f0r_param_info_t*, int) = nullptr;
  f0r_instance_t (*construct)(unsigned, unsigned) = nullptr;
  void (*destruct)(f0r_instance_t) = nullptr;
  void (*set_param_value)(f0r_instance_t, f0r_param_t, int) = nullptr;
  void (*get_param_value)(f0r_instance_t, f0r_param_t, int) = nullptr;
  void (*update)(f0r_instance_t, double, const uint32_t*, uint32_t*) = nullptr;
  void (*update2)(f0r_instance_t, double, const uint32_t*, const uint32_t*, const uint32_t*,
                  uint32_t*) = nullptr;

  explicit Plugin(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    Resolve(get_plugin_info, "f0r_get_plugin_info");
    Resolve(get_param_info, "f0r_get_param_info");
    Resolve(construct, "f0r_construct");
    Resolve(destruct, "f0r_destruct");
    Resolve(set_param_value, "f0r_set_param_value");
    Resolve(get_param_value, "f0r_get_param_value");
    Resolve(update, "f0r_update");
    Resolve(update2, "f0r_update2");
  }
  ~Plugin() {
    if (handle != nullptr) dlclose(handle);
  }
  bool ok() const {
    return handle && get_plugin_info && get_param_info && construct && destruct &&
           set_param_value && get_param_value && update && update2 &&
           dlsym(handle, "f0r_init") && dlsym(handle, "f0r_deinit");
  }
  template <typename F>
  void Resolve(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(handle, name));
  }
};

inline std::string PluginPath(const Variant& v) {
  return std::string(ZK_FREI0R_DIR) + "/" + v.id + ".so";
}

// Frame r of an N-frame transition as the reference host renders it, from
// `outgoing` and `incoming` (ignored for one-clip variants).
inline zk::host::Image Reference(const Variant& v, const zk::host::Image& outgoing,
                                 const zk::host::Image& incoming, int32_t r, int32_t n) {
  static std::unique_ptr<zk::host::Bundle> bundles[2];
  auto& bundle = bundles[v.twoClips ? 0 : 1];
  if (!bundle) bundle = zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/" + v.bundle + ".so");
  zk::host::PluginInstance inst(*bundle, v.which);
  zk::host::MemoryFrameSource frames;
  const int32_t start = 40;  // any start: only the progress may matter
  frames.Set(start + r, outgoing);
  if (v.twoClips) frames.Set(start + r + n, incoming);
  inst.set_frame_source(&frames);
  if (inst.GetInfo() != kPluginOK || inst.Call(kPlugInitialize) != kPluginOK) return {};
  zk::host::World out(outgoing.width, outgoing.height);
  const Rect rect{0, 0, int16_t(outgoing.height), int16_t(outgoing.width)};
  if (inst.DoFrame(start, r, n, out.get(), rect) != kPluginOK) return {};
  return out.ToImage();
}

}  // namespace zk::frei0r::test
