#include "timeline.h"

#include <algorithm>

namespace zk::video {

Timeline::Timeline(std::vector<int64_t> clipFrames, int transitionFrames, bool between)
    : lengths_(std::move(clipFrames)), n_(transitionFrames) {
  start_ = lengths_[0] - n_;
  origins_.push_back(0);
  total_ = lengths_[0];
  if (between) {
    origins_.push_back(start_);
    total_ = start_ + lengths_[1];
  }
}

Timeline::Frame Timeline::At(int64_t j) const {
  if (origins_.size() > 1 && j >= origins_[1]) return {1, j - origins_[1]};
  return {0, j};
}

bool Timeline::Map(int32_t number, Frame* out) const {
  if (number < 0) return false;
  if (number < lengths_[0]) {
    *out = {0, number};
    return true;
  }
  if (lengths_.size() < 2 || origins_.size() < 2 || number - lengths_[0] >= lengths_[1]) return false;
  *out = {1, number - lengths_[0]};
  return true;
}

int64_t AudioBus::SampleOf(int64_t j) const { return av_rescale(j, int64_t(sampleRate_) * rate_.den, rate_.num); }

Planes AudioBus::Slot(int64_t j) const {
  return Planes(size_t(channels_), std::vector<float>(size_t(SampleOf(j + 1) - SampleOf(j)), 0.0f));
}

void AudioBus::Mix(AudioTrack& track, int64_t origin, int64_t g, float gain, Planes& slot) const {
  if (slot.empty()) return;
  // Where the frame lies in the clip's own samples: the same count as the
  // output slot, so that rounding never drifts.
  const int64_t first = SampleOf(origin + g) - SampleOf(origin);
  track.MixInto(first, int(slot[0].size()), gain, slot, 0);
}

void AudioBus::FadeOut(std::vector<Planes>& slots, int64_t first, int64_t from, int64_t end) const {
  const int64_t s1 = SampleOf(end), s0 = SampleOf(from);
  if (s1 <= s0) return;
  for (size_t i = 0; i < slots.size(); ++i) {
    const int64_t at = SampleOf(first + int64_t(i));
    for (auto& ch : slots[i]) {
      for (size_t s = 0; s < ch.size(); ++s) {
        const int64_t pos = at + int64_t(s);
        if (pos >= s0) ch[s] *= float(double(s1 - pos) / double(s1 - s0));
      }
    }
  }
}

void AudioBus::Clip(Planes& p) {
  for (auto& ch : p) {
    for (float& s : ch) s = std::clamp(s, -1.0f, 1.0f);
  }
}

}  // namespace zk::video
