// Graphics worlds, handles, pixel locks, colours and fills.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "world.h"
#include "zk_graphics.h"

namespace zk::platform {
namespace {

thread_local World* tCurrentPort = nullptr;
thread_local GDHandle tCurrentDevice = nullptr;

constexpr int32_t kRowAlign = 64;
constexpr int16_t kMemFullErr = -108;
constexpr int16_t kParamErr = -50;

HandleBlock* BlockOf(Handle h) { return reinterpret_cast<HandleBlock*>(h); }

// A world of 2 MB or more keeps its pixels in a pixel block (zeroed by the
// kernel, in huge pages where it has them); smaller ones in the heap.
constexpr size_t kHugePage = size_t(2) << 20, kPage = 4096;

size_t WholePages(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

void* NewPixels(size_t bytes, size_t* blockBytes) {
  *blockBytes = 0;
  if (bytes >= kHugePage) {
    void* block = ZKNewPixelBlock(bytes);
    if (block != nullptr) *blockBytes = bytes;
    return block;
  }
  void* p = std::aligned_alloc(kRowAlign, bytes);
  if (p != nullptr) std::memset(p, 0, bytes);
  return p;
}

void FreePixels(void* p, size_t blockBytes) {
  if (blockBytes != 0) {
    ZKDisposePixelBlock(p, blockBytes);
  } else {
    std::free(p);
  }
}

// Fills r (port coordinates) with one pixel word, clipped to the bounds.
void FillClipped(World* w, const Rect* r, uint32_t pixel) {
  if (w == nullptr || r == nullptr) return;
  const Rect& b = w->bounds;
  const int top = std::max(r->top, b.top), bottom = std::min(r->bottom, b.bottom);
  const int left = std::max(r->left, b.left), right = std::min(r->right, b.right);
  if (top >= bottom || left >= right) return;
  for (int y = top; y < bottom; ++y) {
    uint32_t* row = RowOf(w, y - b.top);
    std::fill(row + (left - b.left), row + (right - b.left), pixel);
  }
}

RGBColor ClassicColor(int32_t c) {
  switch (c) {
    case whiteColor: return {0xFFFF, 0xFFFF, 0xFFFF};
    case redColor: return {0xDD6B, 0x08C2, 0x06A2};
    case greenColor: return {0x0000, 0x8000, 0x11B0};
    case blueColor: return {0x0000, 0x0000, 0xD400};
    case cyanColor: return {0x0241, 0xAB54, 0xEAFF};
    case magentaColor: return {0xF2D7, 0x0856, 0x84EC};
    case yellowColor: return {0xFC00, 0xF37D, 0x052F};
    default: return {0, 0, 0};  // blackColor and anything unknown
  }
}

}  // namespace

World* WorldOf(PixMapHandle pm) {
  return pm == nullptr ? nullptr : BlockOf(reinterpret_cast<Handle>(pm))->owner;
}

World* CurrentWorld() { return tCurrentPort; }

}  // namespace zk::platform

using zk::platform::World;

extern "C" {

void GetGWorld(CGrafPtr* port, GDHandle* gdh) {
  if (port != nullptr) *port = reinterpret_cast<CGrafPtr>(zk::platform::tCurrentPort);
  if (gdh != nullptr) *gdh = zk::platform::tCurrentDevice;
}

void SetGWorld(CGrafPtr port, GDHandle gdh) {
  World* w = reinterpret_cast<World*>(port);
  zk::platform::tCurrentPort = w;
  if (gdh == nullptr && w != nullptr) gdh = reinterpret_cast<GDHandle>(&w->deviceMaster);
  zk::platform::tCurrentDevice = gdh;
}

int16_t NewGWorld(GWorldPtr* out, int16_t depth, const Rect* bounds) {
  if (out == nullptr) return zk::platform::kParamErr;
  *out = nullptr;
  if (bounds == nullptr || (depth != 32 && depth != 0)) return zk::platform::kParamErr;
  const int32_t width = int32_t(bounds->right) - bounds->left;
  const int32_t height = int32_t(bounds->bottom) - bounds->top;
  if (width < 0 || height < 0) return zk::platform::kParamErr;
  const int32_t align = zk::platform::kRowAlign;
  const int32_t rowBytes = std::max<int32_t>(align, (width * 4 + align - 1) / align * align);
  const size_t bytes = size_t(rowBytes) * size_t(std::max<int32_t>(height, 1));
  size_t block = 0;
  void* pixels = zk::platform::NewPixels(bytes, &block);
  if (pixels == nullptr) return zk::platform::kMemFullErr;
  World* w = new (std::nothrow) World;
  if (w == nullptr) {
    zk::platform::FreePixels(pixels, block);
    return zk::platform::kMemFullErr;
  }
  w->blockBytes = block;
  w->bounds = *bounds;
  w->pixMap = PixMap{static_cast<Ptr>(pixels), rowBytes, *bounds, 32};
  w->pixHandle = {&w->pixMap, 0, w};
  w->device = {w};
  w->deviceMaster = &w->device;
  *out = reinterpret_cast<GWorldPtr>(w);
  return 0;
}

void* ZKNewPixelBlock(size_t bytes) {
  using zk::platform::kHugePage, zk::platform::kPage;
  if (bytes == 0 || bytes > SIZE_MAX - kHugePage - kPage) return nullptr;
  const size_t length = zk::platform::WholePages(bytes);
  // Mapped a boundary over, then trimmed to start on one.
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t at = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (at + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (start != at) munmap(raw, start - at);
  munmap(reinterpret_cast<void*>(start + length), kHugePage - (start - at));
  void* block = reinterpret_cast<void*>(start);
  madvise(block, length, MADV_HUGEPAGE);  // a hint: refused, the pages are small
  return block;
}

void ZKDisposePixelBlock(void* block, size_t bytes) {
  if (block != nullptr) munmap(block, zk::platform::WholePages(bytes));
}

void DisposeGWorld(GWorldPtr world) {
  World* w = reinterpret_cast<World*>(world);
  if (w == nullptr) return;
  if (zk::platform::tCurrentPort == w) {
    zk::platform::tCurrentPort = nullptr;
    zk::platform::tCurrentDevice = nullptr;
  }
  zk::platform::ReleaseTextState(w);
  zk::platform::FreePixels(w->pixMap.baseAddr, w->blockBytes);
  delete w;
}

PixMapHandle GetGWorldPixMap(GWorldPtr world) {
  World* w = reinterpret_cast<World*>(world);
  return w == nullptr ? nullptr : reinterpret_cast<PixMapHandle>(&w->pixHandle.master);
}

GDHandle GetGWorldDevice(GWorldPtr world) {
  World* w = reinterpret_cast<World*>(world);
  return w == nullptr ? nullptr : reinterpret_cast<GDHandle>(&w->deviceMaster);
}

Rect* GetPortBounds(CGrafPtr port, Rect* rect) {
  World* w = reinterpret_cast<World*>(port);
  if (rect != nullptr) *rect = w != nullptr ? w->bounds : Rect{0, 0, 0, 0};
  return rect;
}

SignedByte HGetState(Handle h) {
  return h == nullptr ? 0 : zk::platform::BlockOf(h)->state;
}

void HSetState(Handle h, SignedByte state) {
  if (h != nullptr) zk::platform::BlockOf(h)->state = state;
}

void HLock(Handle h) {
  if (h != nullptr) zk::platform::BlockOf(h)->state |= kZKHandleLocked;
}

void HUnlock(Handle h) {
  if (h != nullptr) zk::platform::BlockOf(h)->state &= SignedByte(~kZKHandleLocked);
}

// Memory never moves here, so there is nothing to move high.
void MoveHHi(Handle) {}

GWorldFlags GetPixelsState(PixMapHandle pm) {
  World* w = zk::platform::WorldOf(pm);
  return w == nullptr ? 0 : w->pixelsState;
}

void SetPixelsState(PixMapHandle pm, GWorldFlags state) {
  if (World* w = zk::platform::WorldOf(pm)) w->pixelsState = state;
}

Boolean LockPixels(PixMapHandle pm) {
  World* w = zk::platform::WorldOf(pm);
  if (w == nullptr) return 0;
  w->pixelsState |= kZKPixelsLocked;
  return 1;
}

void UnlockPixels(PixMapHandle pm) {
  if (World* w = zk::platform::WorldOf(pm)) w->pixelsState &= ~GWorldFlags(kZKPixelsLocked);
}

Ptr GetPixBaseAddr(PixMapHandle pm) { return pm == nullptr ? nullptr : (*pm)->baseAddr; }

int32_t GetPixRowBytes(PixMapHandle pm) { return pm == nullptr ? 0 : (*pm)->rowBytes; }

int16_t GetPixDepth(PixMapHandle pm) { return pm == nullptr ? 0 : (*pm)->pixelSize; }

void RGBForeColor(const RGBColor* color) {
  if (World* w = zk::platform::tCurrentPort; w != nullptr && color != nullptr) w->fore = *color;
}

void RGBBackColor(const RGBColor* color) {
  if (World* w = zk::platform::tCurrentPort; w != nullptr && color != nullptr) w->back = *color;
}

void GetForeColor(RGBColor* color) {
  World* w = zk::platform::tCurrentPort;
  if (color != nullptr) *color = w != nullptr ? w->fore : RGBColor{0, 0, 0};
}

void GetBackColor(RGBColor* color) {
  World* w = zk::platform::tCurrentPort;
  if (color != nullptr) *color = w != nullptr ? w->back : RGBColor{0xFFFF, 0xFFFF, 0xFFFF};
}

void ForeColor(int32_t classicColor) {
  if (World* w = zk::platform::tCurrentPort) w->fore = zk::platform::ClassicColor(classicColor);
}

void BackColor(int32_t classicColor) {
  if (World* w = zk::platform::tCurrentPort) w->back = zk::platform::ClassicColor(classicColor);
}

void PaintRect(const Rect* r) {
  World* w = zk::platform::tCurrentPort;
  if (w != nullptr) zk::platform::FillClipped(w, r, zk::platform::PixelOf(w->fore));
}

void EraseRect(const Rect* r) {
  World* w = zk::platform::tCurrentPort;
  if (w != nullptr) zk::platform::FillClipped(w, r, zk::platform::PixelOf(w->back));
}

void MoveTo(int16_t h, int16_t v) {
  if (World* w = zk::platform::tCurrentPort) w->pen = Point{v, h};
}

void GetPen(Point* pt) {
  World* w = zk::platform::tCurrentPort;
  if (pt != nullptr) *pt = w != nullptr ? w->pen : Point{0, 0};
}

void TextSize(int16_t size) {
  if (World* w = zk::platform::tCurrentPort) w->textSize = size;
}

}  // extern "C"
