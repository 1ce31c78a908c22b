// Where a frame's time goes: the whole kPlugDoFrame of every variant through
// the reference host, against the limits of memory (memcpy of a frame, and
// a plain read of the key with its brightness).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "instance.h"
#include "plugin_support.h"

namespace {

using zk::host::Image;

constexpr int kTransitionFrames = 16;

// Decoded frames of real content, made by the ffmpeg command once.
std::vector<Image> Decode(const std::string& source, int w, int h, int count) {
  const std::string cmd = "ffmpeg -v error -f lavfi -i '" + source + "=s=" + std::to_string(w) +
                          "x" + std::to_string(h) + "' -frames:v " + std::to_string(count) +
                          " -f rawvideo -pix_fmt bgr0 -";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run ffmpeg");
  std::vector<Image> frames;
  for (int i = 0; i < count; ++i) {
    Image image(w, h);
    if (std::fread(image.pixels.data(), 4, image.pixels.size(), pipe) != image.pixels.size()) break;
    frames.push_back(std::move(image));
  }
  pclose(pipe);
  if (int(frames.size()) != count) throw std::runtime_error("ffmpeg gave too few frames: " + cmd);
  return frames;
}

struct Content {
  std::vector<Image> a, b;
};

const Content& ContentAt(int w, int h) {
  static std::map<int, Content> cache;
  auto it = cache.find(w);
  if (it == cache.end()) {
    it = cache.emplace(w, Content{Decode("testsrc2", w, h, kTransitionFrames),
                                  Decode("mandelbrot", w, h, kTransitionFrames)})
             .first;
  }
  return it->second;
}

const zk::host::Bundle& BundleNamed(const std::string& name) {
  static std::map<std::string, std::unique_ptr<zk::host::Bundle>> bundles;
  auto& b = bundles[name];
  if (!b) b = zk::host::Bundle::Open(std::string(ZK_BUNDLE_DIR) + "/" + name + ".so");
  return *b;
}

// The whole kPlugDoFrame, averaged over every frame of a transition.
void BM_DoFrame(benchmark::State& state, const char* bundle, int which) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const Content& content = ContentAt(w, h);
  zk::host::MemoryFrameSource frames;
  for (int r = 0; r < kTransitionFrames; ++r) {
    frames.Set(r, content.a[size_t(r)]);
    frames.Set(kTransitionFrames + r, content.b[size_t(r)]);
  }
  zk::host::PluginInstance inst(BundleNamed(bundle), int16_t(which));
  inst.set_frame_source(&frames);
  inst.Call(kPlugInitialize);
  zk::host::World out(w, h);
  const Rect rect = {0, 0, int16_t(h), int16_t(w)};
  for (auto _ : state) {
    for (int r = 0; r < kTransitionFrames; ++r) {
      inst.DoFrame(0, r, kTransitionFrames, out.get(), rect);
      inst.ClearMixes();
    }
  }
  state.SetItemsProcessed(state.iterations() * kTransitionFrames);
  state.counters["ms/frame"] = benchmark::Counter(
      double(state.iterations() * kTransitionFrames) * 1e-3,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["ns/pixel"] = benchmark::Counter(
      double(state.iterations()) * kTransitionFrames * w * h * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The limit: copying one output frame.
void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = size_t(state.range(0)) * state.range(1) * 4;
  std::vector<char> src(bytes, 1), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.counters["ms/frame"] = benchmark::Counter(
      double(state.iterations()) * 1e-3, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The limit: reading the key frame with its brightness and a compare.
void BM_ReadAndSum(benchmark::State& state) {
  const Image& key = ContentAt(int(state.range(0)), int(state.range(1))).a[0];
  for (auto _ : state) {
    unsigned passing = 0;
    for (uint32_t p : key.pixels) {
      passing += (((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF)) > 382u;
    }
    benchmark::DoNotOptimize(passing);
  }
  state.counters["ms/frame"] = benchmark::Counter(
      double(state.iterations()) * 1e-3, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A host Blit that copies nothing: what one call a pixel costs by itself.
ZKServiceResult BlitNothing(PixMapPtr, PixMapPtr, const Rect*, const Rect*, int16_t) { return kPluginOK; }

// The keyed pass alone on one frame where every pixel, or none, is copied.
// For none, the key is the content dimmed to at most 381 and the pass asks
// for brightness above 400: every pixel is read and tested, none copied.
// callsOnly: every pixel passes, and the host's Blit does nothing.
void BM_KeyedPass(benchmark::State& state, bool everyPixel, bool callsOnly = false) {
  const int w = int(state.range(0)), h = int(state.range(1));
  zk::host::World key(w, h), out(w, h);
  Image content = ContentAt(w, h).a[0];
  if (!everyPixel) {
    for (uint32_t& p : content.pixels) p = (p >> 1) & 0x7F7F7F;
  }
  key.Load(content);
  const zk::LockedPixMap k = zk::LockFramePixels(key.get()), o = zk::LockFramePixels(out.get());
  const zk::KeyedPass pass = {&k, &k, &o, int16_t(w), int16_t(h), 0, 0,
                              everyPixel ? -1.0 : 400.0, zk::KeySense::kAbove};
  ZKProcs procs = zk::host::HostProcs();
  if (callsOnly) procs.Blit = BlitNothing;
  for (auto _ : state) benchmark::DoNotOptimize(zk::KeyedPixelPass(procs, pass));
  zk::RestoreFramePixels(k);
  zk::RestoreFramePixels(o);
  state.counters["ms/frame"] = benchmark::Counter(
      double(state.iterations()) * 1e-3, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({720, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Memcpy)->Apply(Sizes);
BENCHMARK(BM_ReadAndSum)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_KeyedPass, every_pixel, true)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_KeyedPass, no_pixel, false)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_KeyedPass, calls_only, true, true)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Cindergate_1_burn_in_bright, "Cindergate", 1)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Cindergate_2_burn_in_dark, "Cindergate", 2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Cindergate_3_burn_out_bright, "Cindergate", 3)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Cindergate_4_burn_out_dark, "Cindergate", 4)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Ashveil_1_black_bright, "Ashveil", 1)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Ashveil_2_black_dark, "Ashveil", 2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Ashveil_3_white_bright, "Ashveil", 3)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_DoFrame, Ashveil_4_white_dark, "Ashveil", 4)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
