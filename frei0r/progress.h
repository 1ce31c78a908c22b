// Where in a transition the editor's progress value falls.
#pragma once

#include <cstdint>

namespace zk::frei0r {

// A frame of a transition as the bundles address it.
struct TransitionFrame {
  int32_t renderFrame;  // counted from 0; -1 for progress 0
  int32_t frameCount;   // at least 1
  bool operator==(const TransitionFrame&) const = default;
};

// The longest transition a progress value is matched against.
constexpr int32_t kMaxFrameCount = 1 << 20;

// The editor animates progress p from 0 (the transition's start) to 1 (its
// end); the bundles see a frame number in a transition of some length, and
// the frame r of an N-frame transition shows progress (r + 1) / N.  p is
// matched with the fraction n / d of smallest denominator within 1e-13 of it
// (its first continued-fraction convergent that close, or the last one with
// d <= kMaxFrameCount), and the frame is {n - 1, d}.  Equal fractions give
// bit-identical divisions, so frame r of any N-frame transition, (r + 1) / N
// however it was rounded, renders exactly as the host renders that frame.
// p is clamped to [0, 1]; NaN counts as 0.
TransitionFrame FrameForProgress(double p);

}  // namespace zk::frei0r
