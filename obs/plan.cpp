#include "plan.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "frames.h"
#include "instance.h"

namespace zk::obs {
namespace {

using zk::host::Error;
using zk::host::PluginInstance;

std::string Who(const zk::host::Bundle& bundle, int16_t which) {
  return bundle.path() + " variant " + std::to_string(which);
}

void Check(int result, const zk::host::Bundle& bundle, int16_t which, const char* what) {
  if (result != kPluginOK) {
    throw Error(Who(bundle, which) + " refused " + what + " (result " + std::to_string(result) + ")");
  }
}

float Gain(int16_t volume) { return float(volume == 255 ? 256 : volume) / 256.0f; }

}  // namespace

std::vector<int32_t> ReachableLengths(const zk::host::Bundle& bundle, int16_t which) {
  PluginInstance instance(bundle, which);
  std::set<int32_t> lengths;
  constexpr int kSteps = 2048;
  for (int k = 0; k <= kSteps; ++k) {
    instance.set_speed(float(k) / kSteps);
    Check(instance.GetInfo(), bundle, which, "to describe itself");
    const int32_t n = instance.params().getInfo.framesToBeRendered;
    if (n > 0) lengths.insert(n);
  }
  if (lengths.empty()) throw Error(Who(bundle, which) + " reports no length at any speed");
  return {lengths.begin(), lengths.end()};
}

int32_t NearestLength(const std::vector<int32_t>& lengths, double frames) {
  int32_t best = lengths.front();
  for (const int32_t n : lengths) {
    if (std::fabs(n - frames) <= std::fabs(best - frames)) best = n;
  }
  return best;
}

double FramesOf(double durationMs, uint32_t fpsNum, uint32_t fpsDen) {
  if (fpsDen == 0) return 0.0;
  return durationMs * fpsNum / (1000.0 * fpsDen);
}

int32_t Plan::FrameAt(double t) const {
  if (!(t > 0.0)) return 0;
  return int32_t(std::min<double>(std::floor(t * frames), frames - 1));
}

float Plan::GainA(double t) const {
  float gain = Gain(volumeA[size_t(FrameAt(t))]);
  if (fadeOutFrames > 0) {
    // The fade reaches silence at the transition's end, as zkhost's does.
    const double from = double(frames - fadeOutFrames) / frames;
    const double at = std::clamp(t, 0.0, 1.0);
    if (at > from) gain *= float((1.0 - at) / (1.0 - from));
  }
  return gain;
}

float Plan::GainB(double t) const { return Gain(volumeB[size_t(FrameAt(t))]); }

Plan MakePlan(const zk::host::Bundle& bundle, int16_t which, int32_t frames) {
  if (frames < 1) throw Error(Who(bundle, which) + ": a transition of " + std::to_string(frames) + " frames");
  Plan plan;
  plan.frames = frames;
  plan.volumeA.assign(size_t(frames), 0);
  plan.volumeB.assign(size_t(frames), 0);
  // The pictures do not change what the plug-in asks of the mixer.
  zk::host::MemoryFrameSource pictures;
  pictures.Set(0, zk::host::Image(1, 1));
  pictures.Set(frames, zk::host::Image(1, 1));
  zk::host::World output(1, 1);
  PluginInstance instance(bundle, which);
  instance.set_frame_source(&pictures);
  Check(instance.GetInfo(), bundle, which, "to describe itself");
  Check(instance.Call(kPlugInitialize), bundle, which, "to initialize");
  for (int32_t r = 0; r < frames; ++r) {
    instance.ClearMixes();
    Check(instance.DoFrame(-r, r, frames, output.get(), Rect{0, 0, 1, 1}), bundle, which,
          ("frame " + std::to_string(r) + " of " + std::to_string(frames)).c_str());
    for (const zk::host::AudioMix& m : instance.mixes()) {
      if (m.frameNumber == 0) plan.volumeA[size_t(r)] = m.volume;
      if (m.frameNumber == frames) plan.volumeB[size_t(r)] = m.volume;
    }
  }
  instance.params().frameCount = frames;
  instance.Call(kPlugTerminate);
  const ZKPluginClipInfo& clip = instance.clip_info();
  if (instance.clipInfoWasSet() && clip.fadeOut) {
    plan.fadeOutFrames = std::clamp<int32_t>(clip.ver2.fadeOutFrames, 0, frames);
  }
  return plan;
}

}  // namespace zk::obs
