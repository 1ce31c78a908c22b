// The platform's own effects that the plug-ins rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "frames.h"
#include "plugin_support.h"
#include "zk_graphics.h"

namespace zk::test {
namespace {

using host::Image;
using host::World;

TEST(Platform, WorldsHaveAlignedRowsOfWholePixels) {
  const struct {
    Rect bounds;
    int16_t depth;
    int16_t err;
  } cases[] = {{{0, 0, 3, 1}, 32, 0},   {{0, 0, 2, 17}, 32, 0}, {{5, -7, 9, 9}, 0, 0},
               {{0, 0, 0, 0}, 32, 0},   {{0, 0, 4, 4}, 16, -50}, {{4, 0, 0, 4}, 32, -50},
               {{0, 0, 1080, 1920}, 32, 0}};  // the last in a pixel block
  for (const auto& c : cases) {
    GWorldPtr w = nullptr;
    ASSERT_EQ(NewGWorld(&w, c.depth, &c.bounds), c.err);
    if (c.err != 0) {
      EXPECT_EQ(w, nullptr);
      continue;
    }
    PixMapHandle pm = GetGWorldPixMap(w);
    const int width = c.bounds.right - c.bounds.left;
    EXPECT_GE(GetPixRowBytes(pm), 4 * width);
    EXPECT_EQ(GetPixRowBytes(pm) % 64, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(GetPixBaseAddr(pm)) % 64, 0u);
    EXPECT_EQ(GetPixDepth(pm), 32);
    const int height = c.bounds.bottom - c.bounds.top;
    if (width > 0 && height > 0) {
      const auto* last = reinterpret_cast<const uint32_t*>(GetPixBaseAddr(pm) + (height - 1) * GetPixRowBytes(pm));
      EXPECT_EQ(last[width - 1], 0u) << "a new world is black";
    }
    Rect r;
    GetPortBounds(w, &r);
    EXPECT_EQ(std::memcmp(&r, &c.bounds, sizeof r), 0);
    DisposeGWorld(w);
  }
}

TEST(Platform, PixelBlocksAreZeroedWritableAndOnTwoMegabyteBoundaries) {
  const struct {
    size_t bytes;
    bool made;
  } cases[] = {{1, true}, {4096, true}, {(size_t(3) << 20) + 1, true}, {0, false}, {SIZE_MAX, false}};
  for (const auto& c : cases) {
    auto* block = static_cast<unsigned char*>(ZKNewPixelBlock(c.bytes));
    ASSERT_EQ(block != nullptr, c.made) << c.bytes;
    if (block == nullptr) continue;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % (2 << 20), 0u) << c.bytes;
    EXPECT_EQ(block[0] | block[c.bytes - 1], 0) << c.bytes;
    std::memset(block, 0xAB, c.bytes);
    ZKDisposePixelBlock(block, c.bytes);
  }
}

TEST(Platform, FillsAreClippedToThePortBounds) {
  // A world whose bounds do not start at the origin: (x, y) lies at
  // column x - left, row y - top of its memory.
  World w(Rect{10, 20, 14, 25});
  w.Fill(0x111111);
  SetGWorld(w.get(), nullptr);
  const RGBColor red = {0xFFFF, 0, 0x1234};
  RGBForeColor(&red);
  const Rect paint = {12, 23, 40, 90};  // runs past the bottom right
  PaintRect(&paint);
  const Rect erase = {-5, -5, 11, 21};  // only (20, 10) is inside
  EraseRect(&erase);
  SetGWorld(nullptr, nullptr);
  Image expected(5, 4, 0x111111);
  for (int y = 2; y < 4; ++y)
    for (int x = 3; x < 5; ++x) expected.at(x, y) = 0xFFFF0012;
  expected.at(0, 0) = 0xFFFFFFFF;
  EXPECT_EQ(w.ToImage(), expected);
}

TEST(Platform, ColoursOfTheCurrentPort) {
  World a(2, 2), b(2, 2);
  SetGWorld(a.get(), nullptr);
  const struct {
    int32_t classic;
    RGBColor rgb;
  } cases[] = {{blackColor, {0, 0, 0}}, {whiteColor, {0xFFFF, 0xFFFF, 0xFFFF}}};
  for (const auto& c : cases) {
    ForeColor(c.classic);
    BackColor(c.classic);
    RGBColor fore, back;
    GetForeColor(&fore);
    GetBackColor(&back);
    EXPECT_EQ(std::memcmp(&fore, &c.rgb, sizeof fore), 0) << c.classic;
    EXPECT_EQ(std::memcmp(&back, &c.rgb, sizeof back), 0) << c.classic;
  }
  // Each world keeps its own colours.
  SetGWorld(b.get(), nullptr);
  RGBColor fore;
  GetForeColor(&fore);
  EXPECT_EQ(fore.red, 0);
  SetGWorld(nullptr, nullptr);
}

TEST(Platform, CurrentPortIsPerThread) {
  World a(2, 2), b(2, 2);
  SetGWorld(a.get(), nullptr);
  CGrafPtr seen = nullptr;
  GDHandle seenDevice = nullptr;
  std::thread other([&] {
    GetGWorld(&seen, nullptr);  // a new thread starts with no port
    SetGWorld(b.get(), nullptr);
    GetGWorld(nullptr, &seenDevice);
  });
  other.join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(seenDevice, GetGWorldDevice(b.get()));
  CGrafPtr port;
  GDHandle device;
  GetGWorld(&port, &device);
  EXPECT_EQ(port, a.get());
  EXPECT_EQ(device, GetGWorldDevice(a.get()));
  SetGWorld(nullptr, nullptr);
}

TEST(Platform, LockingRoundTripsRestoreWhatWasThere) {
  // Whatever state the host left a map in, lock then restore returns it.
  const struct {
    bool handleLocked;
    bool pixelsLocked;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const auto& c : cases) {
    World w(4, 4);
    PixMapHandle pm = GetGWorldPixMap(w.get());
    Handle h = reinterpret_cast<Handle>(pm);
    if (c.handleLocked) HLock(h);
    if (c.pixelsLocked) LockPixels(pm);
    const SignedByte handleBefore = HGetState(h);
    const GWorldFlags pixelsBefore = GetPixelsState(pm);
    const LockedPixMap locked = LockFramePixels(w.get());
    EXPECT_NE(HGetState(h) & kZKHandleLocked, 0);
    EXPECT_NE(GetPixelsState(pm) & kZKPixelsLocked, 0u);
    EXPECT_EQ(*locked.handle, *pm);
    RestoreFramePixels(locked);
    EXPECT_EQ(HGetState(h), handleBefore);
    EXPECT_EQ(GetPixelsState(pm), pixelsBefore);
    EXPECT_EQ((HGetState(h) & kZKHandleLocked) != 0, c.handleLocked);
    EXPECT_EQ((GetPixelsState(pm) & kZKPixelsLocked) != 0, c.pixelsLocked);
  }
}

TEST(Platform, DisposingTheCurrentPortLeavesNoDanglingPort) {
  GWorldPtr w = nullptr;
  const Rect r = {0, 0, 2, 2};
  ASSERT_EQ(NewGWorld(&w, 32, &r), 0);
  SetGWorld(w, nullptr);
  DisposeGWorld(w);
  CGrafPtr port;
  GetGWorld(&port, nullptr);
  EXPECT_EQ(port, nullptr);
  PaintRect(&r);  // no port: nothing happens
}

}  // namespace
}  // namespace zk::test
