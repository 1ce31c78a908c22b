// The world's own conversions against swscale's accurate path, which they
// stand in for: on small pictures of every shape and on decoded clips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "harness.h"
#include "conform/world_kernel.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

using zk::video::FramePtr;
using zk::video::NewVideoFrame;
using zk::video::SwsPtr;
using zk::video::WorldKernel;

constexpr int kAccurate = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

// swscale's accurate conversion with the matrix and ranges the host gives it.
void Accurate(const AVFrame& in, AVFrame* out, int space, bool yuvFull) {
  const bool intoWorld = out->format == AV_PIX_FMT_RGB32;
  SwsPtr s(sws_alloc_context());
  av_opt_set_int(s.get(), "srcw", in.width, 0);
  av_opt_set_int(s.get(), "srch", in.height, 0);
  av_opt_set_int(s.get(), "src_format", in.format, 0);
  av_opt_set_int(s.get(), "dstw", out->width, 0);
  av_opt_set_int(s.get(), "dsth", out->height, 0);
  av_opt_set_int(s.get(), "dst_format", out->format, 0);
  av_opt_set_int(s.get(), "sws_flags", kAccurate, 0);
  av_opt_set_int(s.get(), "src_range", intoWorld ? yuvFull : 1, 0);
  av_opt_set_int(s.get(), "dst_range", intoWorld ? 1 : yuvFull, 0);
  ASSERT_GE(sws_init_context(s.get(), nullptr, nullptr), 0);
  sws_setColorspaceDetails(s.get(), sws_getCoefficients(space), intoWorld ? yuvFull : 1, sws_getCoefficients(space),
                           intoWorld ? 1 : yuvFull, 0, 1 << 16, 1 << 16);
  sws_scale(s.get(), in.data, in.linesize, 0, in.height, out->data, out->linesize);
}

void Kernel(const AVFrame& in, AVFrame* out, int space, bool yuvFull) {
  auto k = WorldKernel::For(in.width, in.height, AVPixelFormat(in.format), AVPixelFormat(out->format), space, yuvFull);
  ASSERT_NE(k, nullptr) << in.width << "x" << in.height;
  k->Convert(in.data, in.linesize, out->data, out->linesize);
}

// Every byte of every plane of two pictures of one format; alpha included.
std::vector<int> Differences(const AVFrame& a, const AVFrame& b) {
  std::vector<int> d;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(a.format));
  const bool packed = a.format == AV_PIX_FMT_RGB32;
  for (int p = 0; p < (packed ? 1 : 3); ++p) {
    const int w = packed ? 4 * a.width : AV_CEIL_RSHIFT(a.width, p ? desc->log2_chroma_w : 0);
    const int h = packed ? a.height : AV_CEIL_RSHIFT(a.height, p ? desc->log2_chroma_h : 0);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) d.push_back(std::abs(a.data[p][y * a.linesize[p] + x] - b.data[p][y * b.linesize[p] + x]));
    }
  }
  std::sort(d.begin(), d.end());
  return d;
}

struct Spread {
  int p99, max;
};
Spread Compare(const AVFrame& in, AVPixelFormat to, int space, bool full) {
  FramePtr want = NewVideoFrame(in.width, in.height, to), got = NewVideoFrame(in.width, in.height, to);
  Accurate(in, want.get(), space, full);
  Kernel(in, got.get(), space, full);
  const std::vector<int> d = Differences(*want, *got);
  return {d[d.size() * 99 / 100], d.back()};
}

// Pictures with sharp colour edges everywhere: each sample its own value,
// at most `top`.
FramePtr Noise(int w, int h, AVPixelFormat f, unsigned seed, int top = 255) {
  FramePtr pic = NewVideoFrame(w, h, f);
  const int planes = f == AV_PIX_FMT_RGB32 ? 1 : 3;
  for (int p = 0; p < planes; ++p) {
    const int pw = f == AV_PIX_FMT_RGB32 ? 4 * w : p ? (w + 1) / 2 : w, ph = p && planes == 3 ? (h + 1) / 2 : h;
    for (int y = 0; y < ph; ++y) {
      for (int x = 0; x < pw; ++x) {
        seed = seed * 1103515245u + 12345u;
        pic->data[p][y * pic->linesize[p] + x] = uint8_t((seed >> 16) % (top + 1));
      }
    }
  }
  return pic;
}

struct Shape {
  int w, h, space;
  bool full;
};
constexpr Shape kShapes[] = {
    {8, 8, SWS_CS_ITU709, false},    {8, 8, SWS_CS_ITU601, true},    {9, 9, SWS_CS_ITU709, true},
    {17, 11, SWS_CS_ITU601, false},  {32, 18, SWS_CS_ITU709, false}, {32, 18, SWS_CS_ITU601, true},
    {45, 33, SWS_CS_ITU709, false},  {64, 36, SWS_CS_ITU601, false}, {100, 2 * 29, SWS_CS_ITU709, true},
};

TEST(WorldKernel, IntoTheWorldAsSwscaleOnSmallPictures) {
  for (const Shape& s : kShapes) {
    // Limited range below 241: above it swscale's sums wrap (see below).
    FramePtr in = Noise(s.w, s.h, s.full ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P, unsigned(s.w * 31 + s.h),
                        s.full ? 255 : 240);
    const Spread d = Compare(*in, AV_PIX_FMT_RGB32, s.space, s.full);
    EXPECT_LE(d.p99, 1) << s.w << "x" << s.h << " space " << s.space << " full " << s.full;
    EXPECT_EQ(d.max, 0) << s.w << "x" << s.h << " space " << s.space << " full " << s.full;
  }
}

// Limited-range white with too much blue saturates; swscale's accurate
// path gives no blue there (its sum wraps), its fast path saturates too.
TEST(WorldKernel, WhiterThanWhiteSaturates) {
  struct Case {
    int y, cb, cr, space;
    uint32_t want;  // 0xAARRGGBB
  };
  constexpr Case kCases[] = {
      {255, 255, 128, SWS_CS_ITU601, 0xFFFFE5FF},
      {255, 255, 255, SWS_CS_ITU601, 0xFFFF7DFF},
      {255, 255, 255, SWS_CS_ITU709, 0xFFFFB8FF},
      {235, 240, 128, SWS_CS_ITU601, 0xFFFFD3FF},
      {0, 0, 0, SWS_CS_ITU601, 0xFF008800},
  };
  for (const Case& c : kCases) {
    FramePtr in = NewVideoFrame(8, 8, AV_PIX_FMT_YUV420P), out = NewVideoFrame(8, 8, AV_PIX_FMT_RGB32);
    for (int y = 0; y < 8; ++y) {
      std::fill_n(in->data[0] + y * in->linesize[0], 8, uint8_t(c.y));
      std::fill_n(in->data[1] + y / 2 * in->linesize[1], 4, uint8_t(c.cb));
      std::fill_n(in->data[2] + y / 2 * in->linesize[2], 4, uint8_t(c.cr));
    }
    Kernel(*in, out.get(), c.space, false);
    EXPECT_EQ(reinterpret_cast<const uint32_t*>(out->data[0] + 3 * out->linesize[0])[5], c.want)
        << "Y'CbCr " << c.y << " " << c.cb << " " << c.cr << " space " << c.space;
  }
}

TEST(WorldKernel, OutOfTheWorldAsSwscaleOnSmallPictures) {
  for (const Shape& s : kShapes) {
    const int w = s.w & ~1, h = s.h & ~1;  // output pictures are whole chroma samples
    FramePtr in = Noise(w, h, AV_PIX_FMT_RGB32, unsigned(w * 17 + h));
    const Spread d = Compare(*in, s.full ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P, s.space, s.full);
    EXPECT_LE(d.p99, 1) << w << "x" << h << " space " << s.space << " full " << s.full;
    EXPECT_LE(d.max, 1) << w << "x" << h << " space " << s.space << " full " << s.full;
  }
}

// Decoded frames of the clips the figures are measured on, both ways and
// in both matrices and ranges.
TEST(WorldKernel, AsSwscaleOnDecodedClips) {
  for (const char* source : {"testsrc2", "mandelbrot"}) {
    const std::string clip = (zk::test::WorkDir() / (std::string(source) + ".mp4")).string();
    zk::test::Ffmpeg(std::string("-f lavfi -i ") + source + "=s=320x180:r=25 -frames:v 3 -c:v libx264 -pix_fmt yuv420p",
                     clip);
    zk::video::VideoTrack track(clip, 4);
    zk::video::SharedFrame frame = track.Get(2);
    for (const int space : {SWS_CS_ITU709, SWS_CS_ITU601}) {
      for (const bool full : {false, true}) {
        const Spread in = Compare(*frame, AV_PIX_FMT_RGB32, space, full);
        EXPECT_EQ(in.max, 0) << source << " space " << space << " full " << full;
        FramePtr world = NewVideoFrame(frame->width, frame->height, AV_PIX_FMT_RGB32);
        Accurate(*frame, world.get(), space, full);
        const Spread out = Compare(*world, full ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P, space, full);
        EXPECT_LE(out.p99, 1) << source << " space " << space << " full " << full;
        EXPECT_LE(out.max, 1) << source << " space " << space << " full " << full;
      }
    }
  }
}

}  // namespace
