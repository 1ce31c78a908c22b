// The plug-in's side of the transition: one frame at a time on a thread
// of its own, over pictures the graphics thread has read back, so that
// the plug-in's time is never the graphics thread's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "bundle.h"
#include "frames.h"
#include "instance.h"

namespace zk::obs {

// A picture in memory as OBS reads textures back: RGBA bytes, rows
// `linesize` bytes apart.  Null where a scene is not needed.
struct Picture {
  const uint8_t* rgba = nullptr;
  uint32_t linesize = 0;
};

struct Job {
  Picture a, b;  // the outgoing and the incoming scene
  int width = 0, height = 0;
  int16_t which = 1;
  int32_t frame = 0, frames = 1;  // the plug-in's frame r of N
};

// GetFrame's pictures: frame 0 is scene A, frame N scene B, the numbers
// the bundles ask for when startFrame is -r.
class ScenePictures : public zk::host::FrameSource {
 public:
  void Set(const Job& job) { job_ = job; }
  ZKPluginResult Fetch(int32_t number, ZKRefDVQuality quality, const zk::host::World& into) override;
  int16_t VolumeOf(int32_t) override { return 256; }

 private:
  Job job_;
};

// Copies RGBA bytes into the platform's 0xAARRGGBB words.
void RgbaToWorld(const Picture& picture, int width, int height, const zk::host::World& world);

class Worker {
 public:
  explicit Worker(const zk::host::Bundle& bundle);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts rendering `job`; the worker must not be busy.  The pictures
  // must stay readable until it is not.
  void Start(const Job& job);
  bool Busy();
  void Wait();
  // The last job's result (a ZKPluginResult, or kPluginFailed with
  // error() set when the instance could not be made) and its frame.
  int result() const { return result_; }
  const std::string& error() const { return error_; }
  const zk::host::World& output() const { return output_; }

 private:
  void Run();
  void Render();
  bool Prepare();

  const zk::host::Bundle& bundle_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool busy_ = false, stop_ = false;
  Job job_;
  // Touched by the worker thread only while busy.
  ScenePictures pictures_;
  zk::host::World output_;
  std::unique_ptr<zk::host::PluginInstance> instance_;
  int result_ = kPluginOK;
  std::string error_;
  std::thread thread_;  // last: started once the rest exists
};

}  // namespace zk::obs
