#include "frames.h"

#include <algorithm>

#include "bundle.h"

namespace zk::host {

World::World(const Rect& bounds) {
  if (NewGWorld(&world_, 32, &bounds) != 0) {
    throw Error("out of memory for a " + std::to_string(bounds.right - bounds.left) + "x" +
                std::to_string(bounds.bottom - bounds.top) + " frame");
  }
}

World::~World() {
  if (world_ != nullptr) DisposeGWorld(world_);
}

World& World::operator=(World&& other) noexcept {
  if (this != &other) {
    if (world_ != nullptr) DisposeGWorld(world_);
    world_ = other.world_;
    other.world_ = nullptr;
  }
  return *this;
}

Rect World::bounds() const {
  Rect r;
  GetPortBounds(world_, &r);
  return r;
}

int World::width() const {
  const Rect r = bounds();
  return r.right - r.left;
}

int World::height() const {
  const Rect r = bounds();
  return r.bottom - r.top;
}

uint32_t* World::row(int y) const {
  PixMapHandle pm = GetGWorldPixMap(world_);
  return reinterpret_cast<uint32_t*>(GetPixBaseAddr(pm) + intptr_t(y) * GetPixRowBytes(pm));
}

Image World::ToImage() const {
  Image image(width(), height());
  // A world with no columns has rows of nothing to copy, and no pixel to point at.
  if (image.width == 0) return image;
  for (int y = 0; y < image.height; ++y) std::copy_n(row(y), image.width, &image.at(0, y));
  return image;
}

void World::Load(const Image& image) {
  const int w = std::min(width(), image.width), h = std::min(height(), image.height);
  for (int y = 0; y < h; ++y) std::copy_n(image.pixels.data() + size_t(y) * image.width, w, row(y));
}

void World::Fill(uint32_t pixel) {
  for (int y = 0; y < height(); ++y) std::fill_n(row(y), width(), pixel);
}

void ScaleNearest(const uint32_t* src, int srcW, int srcH, intptr_t srcStride, uint32_t* dst,
                  int dstW, int dstH, intptr_t dstStride) {
  if (srcW <= 0 || srcH <= 0) return;
  for (int y = 0; y < dstH; ++y) {
    const int sy = int(int64_t(y) * srcH / dstH);
    const auto* srow = reinterpret_cast<const uint32_t*>(reinterpret_cast<const char*>(src) + sy * srcStride);
    auto* drow = reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(dst) + y * dstStride);
    if (srcW == dstW) {
      std::copy_n(srow, dstW, drow);
      continue;
    }
    for (int x = 0; x < dstW; ++x) drow[x] = srow[int64_t(x) * srcW / dstW];
  }
}

void MemoryFrameSource::Set(int32_t number, Image image, int16_t volume) {
  frames_[number] = Entry{std::move(image), volume};
}

ZKPluginResult MemoryFrameSource::Fetch(int32_t number, ZKRefDVQuality, const World& into) {
  auto it = frames_.find(number);
  if (it == frames_.end()) return kPluginCantGetNeededFrame;
  const Image& image = it->second.image;
  PixMapHandle pm = GetGWorldPixMap(into.get());
  ScaleNearest(image.pixels.data(), image.width, image.height, intptr_t(image.width) * 4,
               reinterpret_cast<uint32_t*>(GetPixBaseAddr(pm)), into.width(), into.height(),
               GetPixRowBytes(pm));
  return kPluginOK;
}

int16_t MemoryFrameSource::VolumeOf(int32_t number) {
  auto it = frames_.find(number);
  return it == frames_.end() ? 256 : it->second.volume;
}

}  // namespace zk::host
