// The reference host's Blit on rectangles of equal size, placed every way
// around both maps, against its plain definition: each destination pixel
// inside the destination rectangle and map takes the source pixel at the
// same offset in the source rectangle, when that lies inside the source map.
#include <string>

#include "harness.h"

namespace zk::test {
namespace {

bool Inside(int x, int y, const Rect& r) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

bool Meets(const Rect& a, const Rect& b) {
  return std::max(a.left, b.left) < std::min(a.right, b.right) &&
         std::max(a.top, b.top) < std::min(a.bottom, b.bottom);
}

TEST(HostBlit, EqualSizesCopyExactlyTheOverlap) {
  const Rect srcBounds = {2, 3, 7, 9};  // a world away from the origin
  const Rect dstBounds = {0, 0, 6, 8};
  World src(srcBounds), dst(dstBounds);
  for (int y = 0; y < src.height(); ++y)
    for (int x = 0; x < src.width(); ++x) src.row(y)[x] = 0x01000000u * uint32_t(y) + uint32_t(x) + 1;
  const PixMap* sp = *GetGWorldPixMap(src.get());
  const PixMap* dp = *GetGWorldPixMap(dst.get());
  constexpr uint32_t kUntouched = 0xEEEEEEEE;
  // The copier, and the service with its one-pixel path.
  auto copy = [&](bool service, const Rect& s, const Rect& d) {
    if (!service) return host::BlitPixels(sp, dp, s, d);
    const ZKServiceResult word =
        host::HostProcs().Blit(const_cast<PixMap*>(sp), const_cast<PixMap*>(dp), &s, &d, 255);
    return ZKPluginResult(word & 0xFF);
  };
  int copies = 0;
  for (int h : {1, 3, 5}) {
    for (int w : {1, 4, 7}) {
      for (int sy = -6; sy <= 9; sy += 3) {
        for (int sx = -8; sx <= 12; sx += 4) {
          for (int dy = -6; dy <= 7; dy += 3) {
            for (int dx = -8; dx <= 9; dx += 4) {
              const Rect s = {int16_t(sy), int16_t(sx), int16_t(sy + h), int16_t(sx + w)};
              const Rect d = {int16_t(dy), int16_t(dx), int16_t(dy + h), int16_t(dx + w)};
              const bool fits = Meets(s, srcBounds) && Meets(d, dstBounds);
              for (bool service : {false, true}) {
                dst.Fill(kUntouched);
                // A copy of nothing succeeds too.
                ASSERT_EQ(copy(service, s, d), kPluginOK);
                for (int y = dstBounds.top; y < dstBounds.bottom; ++y) {
                  for (int x = dstBounds.left; x < dstBounds.right; ++x) {
                    const int fx = x + sx - dx, fy = y + sy - dy;
                    uint32_t want = kUntouched;
                    if (fits && Inside(x, y, d) && Inside(fx, fy, srcBounds)) {
                      want = src.row(fy - srcBounds.top)[fx - srcBounds.left];
                      ++copies;
                    }
                    ASSERT_EQ(dst.row(y)[x], want)
                        << "src " << sx << "," << sy << " dst " << dx << "," << dy << " size " << w
                        << "x" << h << " at " << x << "," << y << (service ? " (service)" : "");
                  }
                }
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GT(copies, 0);
}

}  // namespace
}  // namespace zk::test
