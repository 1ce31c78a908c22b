// The graphics thread's side: the scenes' textures read back to memory
// for the worker, and the worker's frames uploaded, pipelined so that the
// graphics thread never waits on the GPU or on the plug-in.
//
// Frame k stages the scenes' textures (a copy the GPU makes when it
// gets to it), maps the staging of frame k - 1, by then complete, and
// hands it to the worker, and uploads the worker's frame made from the
// pictures of frame k - 2 into the one of two textures not drawn on frame
// k - 1 (whose upload buffer the GPU may still be reading).  What is shown therefore lags the scenes by
// two frames; a worker still busy when its frame is due is shown the
// previous result again, and that frame's pictures are not read.
#pragma once

#include <graphics/graphics.h>

#include "worker.h"

namespace zk::obs {

// Draws a texture at cx x cy with its values as they are (no sRGB
// conversion), inside the graphics context; opaque ignores its alpha.
void DrawTexture(gs_texture_t* texture, uint32_t cx, uint32_t cy, bool opaque = false);

class Readback {
 public:
  Readback() = default;
  // Must run inside the graphics context, after the worker is idle.
  ~Readback();
  Readback(const Readback&) = delete;
  Readback& operator=(const Readback&) = delete;

  // Whether the textures can be read back: 8-bit RGBA of one size (b may
  // be null where the plug-in takes one scene).
  static bool Readable(gs_texture_t* a, gs_texture_t* b);

  // One frame, inside the graphics context: `job` says which plug-in frame
  // to make of this frame's pictures (its pictures and size are filled in
  // here).  Returns the texture of the newest finished frame, or null
  // while there is none; a finished frame the plug-in refused sets
  // *failed to the worker's error.
  gs_texture_t* Step(Worker& worker, gs_texture_t* a, gs_texture_t* b, const Job& job,
                     std::string* failed);

  // Forgets all frames in flight (waiting for the worker); the next Step
  // starts an empty pipeline.
  void Reset(Worker* worker);

 private:
  struct Slot {
    gs_stagesurf_t* a = nullptr;
    gs_stagesurf_t* b = nullptr;
    enum State { kFree, kStaged, kBusy } state = kFree;
    Job job;
  };
  void Allocate(uint32_t width, uint32_t height, bool two);
  void Release();
  void Unmap(Slot& slot);
  Slot* Find(Slot::State state);

  uint32_t width_ = 0, height_ = 0;
  bool two_ = false;
  Slot slots_[2];
  gs_texture_t* outputs_[2] = {nullptr, nullptr};
  int shownIndex_ = 0;
  bool shown_ = false;
};

}  // namespace zk::obs
