// The transition's frames: one plug-in instance per thread, each fetching
// conformed clip frames into its worlds, rendering, and converting the
// result into an output frame.  Frames are rendered ahead on a fixed set
// of threads and taken in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "conform.h"
#include "instance.h"
#include "timeline.h"

namespace zk::video {

// 32-bit pixel words (0xAARRGGBB) of a picture, rows packed.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// A clip conformed to the output.
struct Clip {
  std::unique_ptr<VideoTrack> video;
  std::unique_ptr<AudioTrack> audio;
  std::unique_ptr<ClipGrid> grid;
  Placement place;
  bool passThrough = false;  // its decoded frames are output frames as they are
  int volume = 256;          // its level in the mix
};

struct Rendered {
  FramePtr frame;
  std::vector<zk::host::AudioMix> mixes;
  std::optional<Picture> thumb;
};

struct TransitionSetup {
  const zk::host::Bundle* bundle;
  int variant;
  float speed;
  bool proxy;
  int marginX, marginY;  // the frame placed this far inside a larger world
  int jobs;
  std::vector<int> thumbs;  // transition frames kept for a contact sheet
};

class TransitionFrames {
 public:
  TransitionFrames(const TransitionSetup& setup, std::vector<Clip>& clips, const Timeline& timeline,
                   const Canvas& canvas);
  ~TransitionFrames();
  // Queues transition frame r for rendering.
  void Submit(int r);
  // Transition frame r, once rendered; rethrows its failure.
  Rendered Take(int r);
  // Ends the plug-ins' work: the longest fade-out any of them asked for,
  // in frames (0 for none).
  int Terminate();

 private:
  class Source;
  Rendered RenderOne(int worker, int r);
  void Run(int worker);

  TransitionSetup setup_;
  std::string who_;
  const Timeline& timeline_;
  const Canvas& canvas_;
  std::vector<std::unique_ptr<Source>> sources_;
  std::vector<std::unique_ptr<zk::host::PluginInstance>> instances_;
  std::vector<zk::host::World> worlds_;
  std::vector<Conformer> outConverters_;

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<int> queue_;
  std::map<int, std::variant<Rendered, std::exception_ptr>> results_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zk::video
