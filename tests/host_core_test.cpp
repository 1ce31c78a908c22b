// The reference host's own services, where the plug-ins rely on them.
#include "harness.h"

namespace zk::test {
namespace {

// 4 x 3 source numbered 1..12 row by row; destination 5 x 4 of zeros.
Image Numbered(int w, int h) {
  Image image(w, h);
  for (int i = 0; i < w * h; ++i) image.pixels[size_t(i)] = uint32_t(i + 1);
  return image;
}

struct BlitCase {
  std::string name;
  Rect srcBounds, srcRect, dstRect;
  int result;
  std::vector<std::vector<uint32_t>> expected;  // destination rows
};

TEST(HostBlit, CopiesClipsAndScales) {
  const Rect origin = {0, 0, 3, 4};
  const BlitCase cases[] = {
      {"one pixel", origin, {1, 2, 2, 3}, {3, 4, 4, 5}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 7}}},
      {"one pixel, source bounds off the origin", {10, 20, 13, 24}, {11, 22, 12, 23}, {0, 0, 1, 1},
       kPluginOK, {{7, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},
      {"whole frame", origin, origin, {1, 1, 4, 5}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 1, 2, 3, 4}, {0, 5, 6, 7, 8}, {0, 9, 10, 11, 12}}},
      {"clipped by the destination", origin, origin, {2, 3, 5, 7}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 1, 2}, {0, 0, 0, 5, 6}}},
      {"clipped by the source", origin, {-1, -1, 2, 2}, {0, 0, 3, 3}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 1, 2, 0, 0}, {0, 5, 6, 0, 0}, {0, 0, 0, 0, 0}}},
      {"scaled up twice", origin, {0, 0, 2, 2}, {0, 0, 4, 4}, kPluginOK,
       {{1, 1, 2, 2, 0}, {1, 1, 2, 2, 0}, {5, 5, 6, 6, 0}, {5, 5, 6, 6, 0}}},
      {"scaled down", origin, origin, {0, 0, 1, 2}, kPluginOK,
       {{1, 3, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},
      {"empty source copies nothing", origin, {1, 1, 1, 3}, {0, 0, 1, 2}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},
      {"inverted destination copies nothing", origin, {0, 0, 1, 1}, {2, 2, 1, 1}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},
      {"destination outside copies nothing", origin, {0, 0, 1, 1}, {4, 0, 5, 1}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},
      {"source outside copies nothing", origin, {0, 4, 1, 5}, {0, 0, 1, 1}, kPluginOK,
       {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},
  };
  for (const BlitCase& c : cases) {
    SCOPED_TRACE(c.name);
    World src(c.srcBounds), dst(5, 4);
    src.Load(Numbered(4, 3));
    const Rect srcRect = c.srcRect, dstRect = c.dstRect;
    EXPECT_EQ(host::HostProcs().Blit(*GetGWorldPixMap(src.get()), *GetGWorldPixMap(dst.get()),
                                     &srcRect, &dstRect, 255) & 0xFF,
              ZKServiceResult(c.result));
    Image expected(5, 4);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 5; ++x) expected.at(x, y) = c.expected[size_t(y)][size_t(x)];
    EXPECT_IMAGE_EQ(dst.ToImage(), expected);
    EXPECT_EQ(std::memcmp(&srcRect, &c.srcRect, sizeof srcRect), 0);  // rectangles untouched
  }
}

TEST(HostServices, AnswerOnlyTheInstanceWhoseCallIsRunning) {
  host::MemoryFrameSource frames;
  frames.Set(7, Numbered(2, 2), 200);
  host::PluginInstance inst(LoadedBundle("Ashveil"), 1);
  inst.set_frame_source(&frames);
  GWorldPtr world = nullptr;
  int16_t volume = 0;
  ZKFrameCookie cookie = nullptr;
  const ZKProcs& procs = host::HostProcs();
  EXPECT_EQ(procs.GetFrame(inst.params().instance, 7, &world, 4, 2, kDVHighQuality, &volume,
                           &cookie),
            ZKServiceResult(kPluginBadParams));
}

}  // namespace
}  // namespace zk::test
