// Rendering a transition between real clips into a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "output.h"

namespace zk::video {

struct RenderOptions {
  std::string bundle;  // a path (see FindBundle)
  int variant = 1;
  float speed = 0.5f;
  int frames = 0;  // when not 0: the transition's length, for which a speed is found
  std::vector<std::string> clips;
  OutputOptions output;
  int jobs = 1;
  bool proxy = false;
  int volumeA = 256;
  int volumeB = 256;
  int marginX = 0;  // --rect: the output frame placed this far inside a larger world
  int marginY = 0;
  std::string preview;  // contact sheet PNG, or empty
};

struct RenderSummary {
  int64_t frames = 0;
  int transitionFrames = 0;
  double seconds = 0;
};

// Called after each frame written, with the frames done and the total.
using ProgressFn = std::function<void(int64_t done, int64_t total)>;
// Called with warnings ("b.mp4: size 640x480 does not match 320x240, scaling").
using WarnFn = std::function<void(const std::string&)>;

// Set from a signal handler: the render stops, removes what it wrote and
// throws Error("interrupted").
extern std::atomic<bool> gInterrupted;

// Throws Error with a one-line message on any failure; nothing is left
// under the output's name then.
RenderSummary Render(const RenderOptions& options, const ProgressFn& progress, const WarnFn& warn);

// 32-bit pixel words (0xAARRGGBB) of a picture, rows packed.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// A strip of thumbnails side by side on a dark background.
Picture ContactSheet(const std::vector<Picture>& frames, int thumbWidth);

}  // namespace zk::video
