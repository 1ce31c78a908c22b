#include "edit/timeline.h"

#include <algorithm>

namespace zk::video {

Timeline::Timeline(std::vector<int64_t> clipFrames, std::vector<Cut> cuts)
    : lengths_(std::move(clipFrames)), cuts_(std::move(cuts)) {
  cuts_.resize(lengths_.size());
  int64_t at = 0;
  for (size_t i = 0; i < lengths_.size(); ++i) {
    origins_.push_back(at);
    at += lengths_[i];
    if (cuts_[i].kind == CutKind::kBetween && i + 1 < lengths_.size()) at -= cuts_[i].frames;
    if (cuts_[i].kind == CutKind::kHard) cuts_[i].frames = 0;
  }
  total_ = lengths_.empty() ? 0 : End(lengths_.size() - 1);
}

Timeline::Place Timeline::At(int64_t j) const {
  // The last clip that has started; a transition overlaps its cut's end.
  const size_t c = size_t(std::upper_bound(origins_.begin(), origins_.end(), j) - origins_.begin()) - 1;
  if (c > 0 && cuts_[c - 1].kind == CutKind::kBetween && j < End(c - 1)) {
    return {true, c - 1, j - TransitionStart(c - 1)};
  }
  if (cuts_[c].kind == CutKind::kAfter && j >= TransitionStart(c)) return {true, c, j - TransitionStart(c)};
  return {false, c, j - origins_[c]};
}

bool Timeline::Map(size_t cut, int32_t number, Frame* out) const {
  if (number < 0) return false;
  if (number < lengths_[cut]) {
    *out = {cut, number};
    return true;
  }
  if (cuts_[cut].kind != CutKind::kBetween || cut + 1 >= lengths_.size() ||
      number - lengths_[cut] >= lengths_[cut + 1]) {
    return false;
  }
  *out = {cut + 1, number - lengths_[cut]};
  return true;
}

int64_t AudioBus::SampleOf(int64_t j) const { return av_rescale(j, int64_t(sampleRate_) * rate_.den, rate_.num); }

Planes AudioBus::Slot(int64_t j) const {
  return Planes(size_t(channels_), std::vector<float>(size_t(SampleOf(j + 1) - SampleOf(j)), 0.0f));
}

void AudioBus::Mix(AudioTrack& track, int64_t origin, int64_t trim, int64_t g, float gain, Planes& slot,
                   int64_t late) const {
  if (slot.empty()) return;
  // Where the frame lies in the clip's own samples: the same count as the
  // output slot, so that rounding never drifts.
  const int64_t first = SampleOf(trim) + SampleOf(origin + g) - SampleOf(origin) - late;
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
