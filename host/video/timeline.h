// Where each output frame and sample comes from: the clips laid end to end
// on the output's grid, overlapping by the transition's frames.
#pragma once

#include <cstdint>
#include <vector>

#include "media.h"

namespace zk::video {

// Output frame j of a render: a frame of one clip, or a transition frame.
// A two-clip transition of n frames overlaps the end of clip 0 with the
// start of clip 1; an end-of-clip transition covers clip 0's last n frames.
// The plug-in numbers frames as clip 0's, then clip 1's after them.
class Timeline {
 public:
  Timeline(std::vector<int64_t> clipFrames, int transitionFrames, bool between);

  struct Frame {
    size_t clip;
    int64_t frame;  // on the clip's own grid
  };
  int64_t frames() const { return total_; }
  int transitionFrames() const { return n_; }
  // The plug-in's startFrame: the output frame where the transition starts.
  int64_t start() const { return start_; }
  bool InTransition(int64_t j) const { return j >= start_ && j < start_ + n_; }
  // What output frame j shows outside the transition.
  Frame At(int64_t j) const;
  // Output frame of the clip's frame 0.
  int64_t Origin(size_t clip) const { return origins_[clip]; }
  // The clip frame a plug-in frame number stands for, or false.
  bool Map(int32_t number, Frame* out) const;

 private:
  std::vector<int64_t> lengths_;
  std::vector<int64_t> origins_;
  int n_;
  int64_t start_;
  int64_t total_;
};

// The output's sound, frame by frame: frame j's samples, and each clip's
// samples placed at its origin.
class AudioBus {
 public:
  AudioBus(int sampleRate, int channels, AVRational rate) : rate_(rate), sampleRate_(sampleRate), channels_(channels) {}
  // First sample of output frame j.
  int64_t SampleOf(int64_t j) const;
  // Silence for output frame j.
  Planes Slot(int64_t j) const;
  // Adds the sound of a clip's frame g (the clip placed at output frame
  // origin) at gain into a slot of output frame origin + g.
  void Mix(AudioTrack& track, int64_t origin, int64_t g, float gain, Planes& slot) const;
  // Fades slots (of output frames first, first + 1, ...) linearly to 0 at
  // the sample where output frame `end` starts, from frame `from`.
  void FadeOut(std::vector<Planes>& slots, int64_t first, int64_t from, int64_t end) const;
  static void Clip(Planes& p);
  bool on() const { return channels_ > 0; }

 private:
  AVRational rate_;
  int sampleRate_;
  int channels_;
};

// 256 is a frame at its own level; 255 is read as 256 (the interface's rule).
inline float Gain(int volume) { return float(volume == 255 ? 256 : volume) / 256.0f; }

}  // namespace zk::video
