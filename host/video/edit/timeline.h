// Where each output frame and sample comes from: trimmed clips laid end to
// end on the output's grid, with a hard cut or a transition at each cut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/media.h"

namespace zk::video {

// What happens at a cut: nothing (a hard cut), a two-clip transition
// overlapping the end of the clip before with the start of the clip after,
// or an end-of-clip transition over the last frames of the clip before.
enum class CutKind { kHard, kBetween, kAfter };

// Output frame j of an edit is a frame of one clip, or a frame of one
// transition.  Each transition numbers the frames the plug-in asks for as
// its clip before's frames, then its clip after's after them.
class Timeline {
 public:
  struct Cut {
    CutKind kind = CutKind::kHard;
    int frames = 0;  // the transition's length
  };
  // clipFrames: each clip's trimmed length on the grid; cuts[i] follows
  // clip i (the last may only be kHard or kAfter).
  Timeline(std::vector<int64_t> clipFrames, std::vector<Cut> cuts);

  struct Frame {
    size_t clip;
    int64_t frame;  // on the clip's trimmed grid
  };
  struct Place {
    bool transition;
    size_t index;  // the clip, or the transition (its cut)
    int64_t frame;  // the clip's frame, or the transition's frame r
  };
  int64_t frames() const { return total_; }
  size_t clips() const { return lengths_.size(); }
  int64_t length(size_t clip) const { return lengths_[clip]; }
  // Output frame of the clip's frame 0.
  int64_t Origin(size_t clip) const { return origins_[clip]; }
  // The output frames the clip's pictures or sound reach: [Origin, End).
  int64_t End(size_t clip) const { return origins_[clip] + lengths_[clip]; }
  const Cut& cut(size_t i) const { return cuts_[i]; }
  // The transition at cut i: its first output frame (the plug-in's
  // startFrame in its own numbering is length(i) - frames).
  int64_t TransitionStart(size_t i) const { return End(i) - cuts_[i].frames; }
  Place At(int64_t j) const;
  // The clip frame a plug-in frame number of the transition at cut i
  // stands for, or false.
  bool Map(size_t cut, int32_t number, Frame* out) const;

 private:
  std::vector<int64_t> lengths_;
  std::vector<Cut> cuts_;
  std::vector<int64_t> origins_;
  int64_t total_ = 0;
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
  // origin, its first frame `trim` frames into its own sound) at gain into
  // the slot of output frame origin + g.
  void Mix(AudioTrack& track, int64_t origin, int64_t trim, int64_t g, float gain, Planes& slot,
           int64_t late = 0) const;
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
