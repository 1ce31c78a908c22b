// The frames of an edit: clips' frames conformed to the output, and
// transitions' frames rendered by the plug-ins, on a pool of threads.
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

#include "conform/conform.h"
#include "instance.h"
#include "media/pictures.h"
#include "edit/timeline.h"

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
  std::unique_ptr<AudioTrack> audio;  // opened while the edit is at the clip
  std::unique_ptr<ClipGrid> grid;
  int64_t trim = 0;  // grid frames before the clip's in point
  Placement place;
  bool passThrough = false;  // its decoded frames are output frames as they are
  int volume = 256;          // its level in the mix
  std::string where;         // how messages name it
};

// The transition at one cut of the edit, ready to render.
struct Transition {
  const zk::host::Bundle* bundle = nullptr;  // null for a hard cut
  std::string who;  // "Cindergate variant 3"
  int variant = 1;
  float speed = 0.5f;
  std::vector<int> thumbs;  // its frames kept for a contact sheet
};

struct Rendered {
  FramePtr frame;
  std::vector<zk::host::AudioMix> mixes;
  std::optional<Picture> thumb;
};

struct FrameSetup {
  bool proxy = false;
  int marginX = 0, marginY = 0;  // the frame placed this far inside a larger world
  int jobs = 1;
};

// Renders output frames of an edit on a fixed set of threads, any frame
// anywhere in the edit: a clip's frame conformed to the output, or a
// transition's frame from one plug-in instance per thread and transition.
// The writing thread submits frames ahead and takes them in order.
class EditFrames {
 public:
  EditFrames(const FrameSetup& setup, std::vector<Clip>& clips, std::vector<Transition>& transitions,
             const Timeline& timeline, const Canvas& canvas);
  ~EditFrames();
  void Submit(int64_t j);
  // Output frame j, once rendered; rethrows its failure.
  Rendered Take(int64_t j);
  // Ends the transition at a cut, once all its frames are taken: the
  // longest fade-out its instances asked for, in frames (0 for none).
  int Terminate(size_t cut);

 private:
  class Source;
  Rendered RenderOne(int worker, int64_t j);
  Rendered ClipFrame(int worker, size_t clip, int64_t g);
  Rendered TransitionFrame(int worker, size_t cut, int r);
  zk::host::PluginInstance& Instance(int worker, size_t cut);
  void Run(int worker);

  FrameSetup setup_;
  std::vector<Clip>& clips_;
  std::vector<Transition>& transitions_;
  const Timeline& timeline_;
  const Canvas& canvas_;
  std::vector<std::unique_ptr<Source>> sources_;  // per worker
  // [cut][worker]; a worker makes its own when it first needs it.
  std::vector<std::vector<std::unique_ptr<zk::host::PluginInstance>>> instances_;
  std::vector<zk::host::World> worlds_;
  std::vector<Conformer> conformers_;
  PicturePool outputs_;

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<int64_t> queue_;
  std::map<int64_t, std::variant<Rendered, std::exception_ptr>> results_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zk::video
