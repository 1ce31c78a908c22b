// One 1080p frame into the plug-in's world and back: swscale's accurate
// path (the host's until now) against the kernel that stands in for it.
#include <benchmark/benchmark.h>

#include "conform/world_kernel.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

using zk::video::FramePtr;
using zk::video::NewVideoFrame;
using zk::video::SwsPtr;
using zk::video::WorldKernel;

constexpr int kW = 1920, kH = 1080;

FramePtr Picture(AVPixelFormat f) {
  FramePtr pic = NewVideoFrame(kW, kH, f);
  unsigned seed = 1;
  for (int p = 0; p < 4 && pic->data[p] != nullptr; ++p) {
    for (int y = 0; y < (p ? kH / 2 : kH); ++y) {
      for (int x = 0; x < pic->linesize[p]; ++x) pic->data[p][y * pic->linesize[p] + x] = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
    }
  }
  return pic;
}

SwsPtr Accurate(AVPixelFormat from, AVPixelFormat to) {
  SwsPtr s(sws_alloc_context());
  av_opt_set_int(s.get(), "srcw", kW, 0);
  av_opt_set_int(s.get(), "srch", kH, 0);
  av_opt_set_int(s.get(), "src_format", from, 0);
  av_opt_set_int(s.get(), "dstw", kW, 0);
  av_opt_set_int(s.get(), "dsth", kH, 0);
  av_opt_set_int(s.get(), "dst_format", to, 0);
  av_opt_set_int(s.get(), "sws_flags", SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, 0);
  if (sws_init_context(s.get(), nullptr, nullptr) < 0) return nullptr;
  sws_setColorspaceDetails(s.get(), sws_getCoefficients(SWS_CS_ITU709), from == AV_PIX_FMT_RGB32,
                           sws_getCoefficients(SWS_CS_ITU709), to == AV_PIX_FMT_RGB32, 0, 1 << 16, 1 << 16);
  return s;
}

void Run(benchmark::State& state, AVPixelFormat from, AVPixelFormat to, bool kernel) {
  FramePtr in = Picture(from), out = NewVideoFrame(kW, kH, to);
  SwsPtr s = Accurate(from, to);
  auto k = WorldKernel::For(kW, kH, from, to, SWS_CS_ITU709, false);
  if (!s || !k) {
    state.SkipWithError("no conversion");
    return;
  }
  for (auto _ : state) {
    if (kernel) {
      k->Convert(in->data, in->linesize, out->data, out->linesize);
    } else {
      sws_scale(s.get(), in->data, in->linesize, 0, kH, out->data, out->linesize);
    }
    benchmark::DoNotOptimize(out->data[0][0]);
  }
}

void BM_IntoWorld_swscale(benchmark::State& s) { Run(s, AV_PIX_FMT_YUV420P, AV_PIX_FMT_RGB32, false); }
void BM_IntoWorld_kernel(benchmark::State& s) { Run(s, AV_PIX_FMT_YUV420P, AV_PIX_FMT_RGB32, true); }
void BM_OutOfWorld_swscale(benchmark::State& s) { Run(s, AV_PIX_FMT_RGB32, AV_PIX_FMT_YUV420P, false); }
void BM_OutOfWorld_kernel(benchmark::State& s) { Run(s, AV_PIX_FMT_RGB32, AV_PIX_FMT_YUV420P, true); }
BENCHMARK(BM_IntoWorld_swscale)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntoWorld_kernel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutOfWorld_swscale)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutOfWorld_kernel)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
