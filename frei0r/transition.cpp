#include "transition.h"

#include <dlfcn.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zk::frei0r {
namespace {

using zk::host::Bundle;
using zk::host::PluginInstance;
using zk::host::World;

inline uint32_t FromRgba(const uint8_t* p) {
  return uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

inline void ToRgba(uint32_t v, uint8_t* p) {
  p[0] = uint8_t(v >> 16);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v);
  p[3] = uint8_t(v >> 24);
}

std::unique_ptr<Bundle> OpenBundle(const char* name, std::string* error) {
  try {
    return Bundle::Open(zk::host::FindBundle(name, BundleFolders(zk::host::SelfFolder())));
  } catch (const std::exception& e) {
    *error = e.what();
    return nullptr;
  }
}

}  // namespace

std::vector<std::string> BundleFolders(const std::string& selfFolder) {
  std::vector<std::string> folders = zk::host::PluginPathFolders();
  folders.push_back(selfFolder);
  // The build tree keeps the frei0r plug-ins one folder below the bundles,
  // an installation keeps them in <prefix>/lib/frei0r-1.
  folders.push_back(selfFolder + "/..");
  const std::string installDir = ZK_FREI0R_BUNDLE_INSTALL_DIR;
  if (!installDir.empty() && installDir[0] != '/') {
    folders.push_back(selfFolder + "/../../" + installDir);
    folders.push_back(std::string(ZK_FREI0R_INSTALL_PREFIX) + "/" + installDir);
  } else if (!installDir.empty()) {
    folders.push_back(installDir);
  }
  return folders;
}

void RgbaToWorld(const uint32_t* rgba, int width, int height, const World& world) {
  for (int y = 0; y < height; ++y) {
    const auto* src = reinterpret_cast<const uint8_t*>(rgba + size_t(y) * width);
    uint32_t* dst = world.row(y);
    for (int x = 0; x < width; ++x) dst[x] = FromRgba(src + 4 * x);
  }
}

void WorldToRgba(const World& world, uint32_t* rgba) {
  const int width = world.width(), height = world.height();
  for (int y = 0; y < height; ++y) {
    const uint32_t* src = world.row(y);
    auto* dst = reinterpret_cast<uint8_t*>(rgba + size_t(y) * width);
    for (int x = 0; x < width; ++x) ToRgba(src[x], dst + 4 * x);
  }
}

// GetFrame's pictures: frame 0 is the first input (the outgoing clip, or
// the one clip) and frame `incoming` the second, the numbers the bundles
// ask for when startFrame is -renderFrame.
struct Transition::Inputs : zk::host::FrameSource {
  const uint32_t* in1 = nullptr;
  const uint32_t* in2 = nullptr;
  int width = 0, height = 0;
  int32_t incoming = -1;

  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality, const World& into) override {
    const uint32_t* src = number == 0 ? in1 : number == incoming ? in2 : nullptr;
    if (src == nullptr) return kPluginCantGetNeededFrame;
    const int w = into.width(), h = into.height();
    if (w == width && h == height) {
      RgbaToWorld(src, width, height, into);
      return kPluginOK;
    }
    // Never asked for by these bundles, which take the output's size.
    for (int y = 0; y < h; ++y) {
      const auto* row = reinterpret_cast<const uint8_t*>(src + size_t(int64_t(y) * height / h) * width);
      uint32_t* dst = into.row(y);
      for (int x = 0; x < w; ++x) dst[x] = FromRgba(row + 4 * (int64_t(x) * width / w));
    }
    return kPluginOK;
  }
  int16_t VolumeOf(int32_t) override { return 256; }
};

struct Transition::Slot {
  Inputs inputs;
  World output;
  std::unique_ptr<PluginInstance> instance;  // last: terminated first
};

Transition::Transition(const Variant& variant, int width, int height, std::unique_ptr<Bundle> bundle)
    : variant_(variant), width_(width), height_(height), bundle_(std::move(bundle)) {}

Transition::~Transition() {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.clear();
}

std::unique_ptr<Transition> Transition::Create(const Variant& variant, unsigned width,
                                               unsigned height, std::string* error) {
  if (width == 0 || height == 0 || width > INT16_MAX || height > INT16_MAX) {
    *error = "frames of " + std::to_string(width) + "x" + std::to_string(height) +
             " are not supported (1 to 32767 pixels a side)";
    return nullptr;
  }
  std::unique_ptr<Bundle> bundle = OpenBundle(variant.bundle, error);
  if (bundle == nullptr) return nullptr;
  std::unique_ptr<Transition> t(new Transition(variant, int(width), int(height), std::move(bundle)));
  std::unique_ptr<Slot> slot = t->NewSlot(error);
  if (slot == nullptr) return nullptr;
  t->idle_.push_back(std::move(slot));
  return t;
}

std::unique_ptr<Transition::Slot> Transition::NewSlot(std::string* error) {
  const std::string who = bundle_->path() + " variant " + std::to_string(variant_.which);
  try {
    auto slot = std::make_unique<Slot>();
    slot->output = World(width_, height_);
    slot->inputs.width = width_;
    slot->inputs.height = height_;
    slot->instance = std::make_unique<PluginInstance>(*bundle_, variant_.which);
    PluginInstance& inst = *slot->instance;
    inst.set_frame_source(&slot->inputs);
    int r = inst.GetInfo();
    if (r != kPluginOK) {
      *error = who + " refused to describe itself (result " + std::to_string(r) + ")";
      return nullptr;
    }
    // A bundle of the other kind under the expected name would read frames
    // this plug-in does not have.
    if ((inst.params().getInfo.takeFromClipAfter > 0) != variant_.twoClips) {
      *error = who + " is not a " + (variant_.twoClips ? "two-clip" : "one-clip") + " transition";
      return nullptr;
    }
    r = inst.Call(kPlugInitialize);
    if (r != kPluginOK || inst.params().clientData == nullptr) {
      *error = who + " refused to initialize (result " + std::to_string(r) + ")";
      return nullptr;
    }
    return slot;
  } catch (const std::exception& e) {
    *error = who + ": " + e.what();
    return nullptr;
  }
}

std::unique_ptr<Transition::Slot> Transition::Acquire(std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Slot> slot = std::move(idle_.back());
      idle_.pop_back();
      return slot;
    }
  }
  return NewSlot(error);
}

void Transition::Give(std::unique_ptr<Slot> slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(slot));
}

void Transition::Report(const std::string& what) {
  if (reported_.exchange(true)) return;
  std::fprintf(stderr, "frei0r.%s: %s; passing the first input through\n", variant_.id, what.c_str());
}

int Transition::Render(const uint32_t* in1, const uint32_t* in2, uint32_t* out) {
  const size_t bytes = size_t(width_) * height_ * 4;
  if (in1 == nullptr || out == nullptr || (variant_.twoClips && in2 == nullptr)) {
    if (in1 != nullptr && out != nullptr && in1 != out) std::memmove(out, in1, bytes);
    return kPluginBadParams;
  }
  const TransitionFrame frame = FrameForProgress(progress_);
  std::string error;
  std::unique_ptr<Slot> slot = Acquire(&error);
  if (slot == nullptr) {
    Report(error);
    if (in1 != out) std::memmove(out, in1, bytes);
    return kPluginFailed;
  }
  slot->inputs.in1 = in1;
  slot->inputs.in2 = in2;
  slot->inputs.incoming = variant_.twoClips ? frame.frameCount : -1;
  const Rect rect{0, 0, int16_t(height_), int16_t(width_)};
  const int r = slot->instance->DoFrame(-frame.renderFrame, frame.renderFrame, frame.frameCount,
                                        slot->output.get(), rect);
  if (r == kPluginOK) {
    WorldToRgba(slot->output, out);
  } else {
    Report(bundle_->path() + " refused a frame (result " + std::to_string(r) + ")");
    if (in1 != out) std::memmove(out, in1, bytes);
  }
  slot->inputs.in1 = slot->inputs.in2 = nullptr;
  Give(std::move(slot));
  return r;
}

}  // namespace zk::frei0r
