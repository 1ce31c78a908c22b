// Internal layout of a graphics world, shared by the platform's sources.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zk_graphics.h"

namespace zk::platform {

struct World;

// A handle is a pointer to its master pointer; the block around the master
// pointer carries the handle's state byte and its owner.
struct HandleBlock {
  void* master;
  SignedByte state;
  World* owner;
};

struct DeviceBlock {
  World* owner;
};

struct TextState;  // per-world text settings, owned by the text module

struct World {
  HandleBlock pixHandle;
  PixMap pixMap;
  GWorldFlags pixelsState = 0;
  DeviceBlock device;
  DeviceBlock* deviceMaster;  // GDHandle points here
  Rect bounds;
  RGBColor fore{0, 0, 0};
  RGBColor back{0xFFFF, 0xFFFF, 0xFFFF};
  Point pen{0, 0};
  int16_t textSize = 12;
  TextState* text = nullptr;
  size_t blockBytes = 0;  // pixels in a pixel block of this size, or 0: in the heap
};

// The world a pixel-map handle belongs to (null for a null handle).
World* WorldOf(PixMapHandle pm);

// The calling thread's current port, or null.
World* CurrentWorld();

// The 32-bit pixel word of a colour: the high byte of each component.
inline uint32_t PixelOf(const RGBColor& c) {
  return 0xFF000000u | (uint32_t(c.red >> 8) << 16) | (uint32_t(c.green >> 8) << 8) |
         uint32_t(c.blue >> 8);
}

inline uint32_t* RowOf(World* w, int y) {
  return reinterpret_cast<uint32_t*>(w->pixMap.baseAddr + static_cast<intptr_t>(y) * w->pixMap.rowBytes);
}

// Frees the text module's per-world state.
void ReleaseTextState(World* w);

}  // namespace zk::platform
