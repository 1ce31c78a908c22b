// The reference host's Blit, the one service that writes pixels for a
// plug-in, with any bounds and rectangles: it must stay inside both maps,
// and where the rectangles are of equal size it must copy exactly the
// pixels its plain definition names.  The Blit service, one-pixel path
// and all, must do exactly what the copier does.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frames.h"
#include "instance.h"

namespace {

bool Inside(int x, int y, const Rect& r) {
  return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

bool Meets(const Rect& a, const Rect& b) {
  return std::max(a.left, b.left) < std::min(a.right, b.right) &&
         std::max(a.top, b.top) < std::min(a.bottom, b.bottom);
}

// Bounds of at most 24 x 24 anywhere in the 16-bit plane.
Rect Bounds(FuzzedDataProvider& in) {
  Rect r;
  r.top = in.ConsumeIntegral<int16_t>() / (in.ConsumeBool() ? 1 : 4096);
  r.left = in.ConsumeIntegral<int16_t>() / (in.ConsumeBool() ? 1 : 4096);
  r.bottom = int16_t(std::min(32767, r.top + in.ConsumeIntegralInRange<int>(0, 24)));
  r.right = int16_t(std::min(32767, r.left + in.ConsumeIntegralInRange<int>(0, 24)));
  return r;
}

// A rectangle near the bounds, or anywhere.
Rect Near(FuzzedDataProvider& in, const Rect& b) {
  Rect r;
  if (in.ConsumeBool()) {
    r.top = int16_t(b.top + in.ConsumeIntegralInRange<int>(-30, 30));
    r.left = int16_t(b.left + in.ConsumeIntegralInRange<int>(-30, 30));
    r.bottom = int16_t(r.top + in.ConsumeIntegralInRange<int>(-2, 40));
    r.right = int16_t(r.left + in.ConsumeIntegralInRange<int>(-2, 40));
  } else {
    r = {in.ConsumeIntegral<int16_t>(), in.ConsumeIntegral<int16_t>(), in.ConsumeIntegral<int16_t>(),
         in.ConsumeIntegral<int16_t>()};
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const Rect srcBounds = Bounds(in), dstBounds = Bounds(in);
  zk::host::World src(srcBounds), dst(dstBounds);
  for (int y = 0; y < src.height(); ++y)
    for (int x = 0; x < src.width(); ++x) src.row(y)[x] = uint32_t(y) << 16 | uint32_t(x) | 0x80000000u;
  constexpr uint32_t kUntouched = 0x0BADF00D;
  dst.Fill(kUntouched);
  const Rect s = Near(in, srcBounds);
  Rect d = Near(in, dstBounds);
  if (in.ConsumeBool()) {  // most often the equal sizes the plug-ins pass
    d.bottom = int16_t(d.top + (s.bottom - s.top));
    d.right = int16_t(d.left + (s.right - s.left));
  }
  const PixMap* sp = *GetGWorldPixMap(src.get());
  const PixMap* dp = *GetGWorldPixMap(dst.get());
  const ZKPluginResult result = zk::host::BlitPixels(sp, dp, s, d);

  const bool equal = s.right - s.left == d.right - d.left && s.bottom - s.top == d.bottom - d.top;
  const bool fits = s.right > s.left && s.bottom > s.top && Meets(s, srcBounds) && Meets(d, dstBounds);
  if (result != kPluginOK) std::abort();  // a copy of nothing succeeds too
  for (int y = dstBounds.top; y < dstBounds.bottom; ++y) {
    for (int x = dstBounds.left; x < dstBounds.right; ++x) {
      const uint32_t got = dst.row(y - dstBounds.top)[x - dstBounds.left];
      if (!fits || !Inside(x, y, d)) {
        if (got != kUntouched) std::abort();  // written outside the rectangle
        continue;
      }
      if (!equal) continue;  // scaled: only the placement is checked
      const int fx = x + s.left - d.left, fy = y + s.top - d.top;
      const uint32_t want = Inside(fx, fy, srcBounds)
                                ? src.row(fy - srcBounds.top)[fx - srcBounds.left]
                                : kUntouched;
      if (got != want) std::abort();
    }
  }
  // The service, with its one-pixel path, copies just as the copier does.
  zk::host::World viaService(dstBounds);
  viaService.Fill(kUntouched);
  const ZKServiceResult word = zk::host::HostProcs().Blit(
      const_cast<PixMap*>(sp), *GetGWorldPixMap(viaService.get()), &s, &d, 255);
  if ((word & 0xFF) != result || viaService.ToImage() != dst.ToImage()) std::abort();
  return 0;
}
