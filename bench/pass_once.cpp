// Runs the keyed pass once over a 720 x 480 frame, for callgrind to count
// instructions per pixel: `pass_once every` copies every pixel, `pass_once
// none` reads and tests every pixel and copies none.
#include <cstdio>
#include <cstring>

#include "frames.h"
#include "instance.h"
#include "plugin_support.h"

int main(int argc, char** argv) {
  const bool every = argc > 1 && std::strcmp(argv[1], "every") == 0;
  constexpr int kW = 720, kH = 480;
  zk::host::World key(kW, kH), out(kW, kH);
  // A ramp through every brightness below 382: the threshold decides alone.
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) key.row(y)[x] = uint32_t((x + y) % 128) * 0x010101u;
  }
  const zk::LockedPixMap k = zk::LockFramePixels(key.get()), o = zk::LockFramePixels(out.get());
  const zk::KeyedPass pass = {&k, &k, &o, kW, kH, 0, 0, every ? -1.0 : 400.0, zk::KeySense::kAbove};
  const ZKPluginResult r = zk::KeyedPixelPass(zk::host::HostProcs(), pass);
  zk::RestoreFramePixels(k);
  zk::RestoreFramePixels(o);
  std::printf("%d pixels, result %d\n", kW * kH, r);
  return 0;
}
