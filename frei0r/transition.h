// A bundle variant hosted behind frei0r: the frames frei0r hands in are
// the only clips, and each update renders one frame of the transition.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "instance.h"
#include "progress.h"

namespace zk::frei0r {

struct Variant {
  const char* id;      // the frei0r name, e.g. "cindergate_burn_in_bright"
  const char* bundle;  // "Cindergate" or "Ashveil"
  int16_t which;       // the bundle's variant number
  bool twoClips;       // a mixer of two inputs; otherwise a filter
  const char* title;
  const char* explanation;
};

// The eight plug-ins, in the order of their build index (variants.cmake).
inline constexpr Variant kVariants[] = {
#include "variants.inc"
};

// Folders searched for a bundle, in order: ZK_PLUGIN_PATH (colon-separated),
// the folder of the frei0r plug-in itself and its parent (the build tree),
// the plug-in folder of an installation relative to it, and the folder of
// this build's installation.
std::vector<std::string> BundleFolders(const std::string& selfFolder);

// RGBA8888 bytes, packed, to the platform's 0xAARRGGBB words and back.
void RgbaToWorld(const uint32_t* rgba, int width, int height, const zk::host::World& world);
void WorldToRgba(const zk::host::World& world, uint32_t* rgba);

class Transition {
 public:
  // Opens the bundle and sets up one instance for frames of width x height;
  // on failure returns null with the reason in *error.
  static std::unique_ptr<Transition> Create(const Variant& variant, unsigned width,
                                            unsigned height, std::string* error);
  ~Transition();

  void set_progress(double p) { progress_ = p; }
  double progress() const { return progress_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Renders the frame at the current progress.  Several threads may render
  // through one Transition at once (sliced hosts do): each call borrows an
  // instance of the bundle of its own.  in2 is ignored for one-clip
  // variants.  Returns the bundle's result; on failure out holds in1.
  int Render(const uint32_t* in1, const uint32_t* in2, uint32_t* out);

 private:
  struct Inputs;
  struct Slot;
  Transition(const Variant& variant, int width, int height,
             std::unique_ptr<zk::host::Bundle> bundle);
  std::unique_ptr<Slot> NewSlot(std::string* error);
  std::unique_ptr<Slot> Acquire(std::string* error);
  void Give(std::unique_ptr<Slot> slot);
  void Report(const std::string& what);

  const Variant& variant_;
  const int width_, height_;
  double progress_ = 0.0;
  // Declared before the slots: every instance refers to it.
  std::unique_ptr<zk::host::Bundle> bundle_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Slot>> idle_;
  std::atomic<bool> reported_{false};
};

}  // namespace zk::frei0r
