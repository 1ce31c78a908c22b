// Pictures and graphics worlds on the host side, and the source of the
// frames that GetFrame lends.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "zk_graphics.h"
#include "zk_plugin.h"

namespace zk::host {

// A 32-bit picture in the platform's pixel word (0x00RRGGBB, alpha ignored).
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  Image() = default;
  Image(int w, int h, uint32_t fill = 0) : width(w), height(h), pixels(size_t(w) * h, fill) {}
  uint32_t& at(int x, int y) { return pixels[size_t(y) * width + x]; }
  uint32_t at(int x, int y) const { return pixels[size_t(y) * width + x]; }
  bool operator==(const Image&) const = default;
};

// An offscreen world owned by the host; disposed with the object.
class World {
 public:
  World() = default;
  // A 32-bit world with the given bounds; throws Error when out of memory.
  explicit World(const Rect& bounds);
  World(int width, int height) : World(Rect{0, 0, int16_t(height), int16_t(width)}) {}
  ~World();
  World(World&& other) noexcept : world_(other.world_) { other.world_ = nullptr; }
  World& operator=(World&& other) noexcept;
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  GWorldPtr get() const { return world_; }
  GWorldPtr release() {
    GWorldPtr w = world_;
    world_ = nullptr;
    return w;
  }
  Rect bounds() const;
  int width() const;
  int height() const;
  // The pixel at (x, y) counted from the top-left of the bounds.
  uint32_t* row(int y) const;
  uint32_t pixel(int x, int y) const { return row(y)[x]; }
  // The whole world's pixels, and a copy of a picture into its top-left.
  Image ToImage() const;
  void Load(const Image& image);
  void Fill(uint32_t pixel);

 private:
  GWorldPtr world_ = nullptr;
};

// Copies src into dst (both 32-bit pixel words), scaling with nearest-
// neighbour sampling when the sizes differ.
void ScaleNearest(const uint32_t* src, int srcW, int srcH, intptr_t srcStride, uint32_t* dst,
                  int dstW, int dstH, intptr_t dstStride);

// Where GetFrame's pictures come from.  Frame numbers are the host's
// timeline numbers (the plug-in's startFrame + offset).
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Draws frame `number` into `into`, a 32-bit world of the asked size.
  // Returns kPluginOK, or the failure GetFrame reports (for a frame that
  // does not exist or cannot be decoded, kPluginCantGetNeededFrame).
  virtual ZKPluginResult Fetch(int32_t number, ZKRefDVQuality quality, const World& into) = 0;
  // The audio volume reported with frame `number` (256 is full level).
  virtual int16_t VolumeOf(int32_t number) = 0;
};

// Frames held in memory: a picture per frame number, with a volume.
class MemoryFrameSource : public FrameSource {
 public:
  void Set(int32_t number, Image image, int16_t volume = 256);
  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality quality, const World& into) override;
  int16_t VolumeOf(int32_t number) override;
  size_t size() const { return frames_.size(); }

 private:
  struct Entry {
    Image image;
    int16_t volume;
  };
  std::map<int32_t, Entry> frames_;
};

}  // namespace zk::host
