// What one run of a transition does, decided as it starts: how many of
// the plug-in's frames it lasts, which of them is due at OBS's time t, and
// the sound levels the plug-in asks for on each.
#pragma once

#include <cstdint>
#include <vector>

#include "bundle.h"

namespace zk::obs {

// The frame lengths a variant reports at kPlugGetInfo over its speeds
// (sampled at 2049 speeds from 0 to 1), shortest first.  Throws
// zk::host::Error when the variant refuses to describe itself.
std::vector<int32_t> ReachableLengths(const zk::host::Bundle& bundle, int16_t which);

// The length nearest to `frames` (the longer of two as near); lengths is
// not empty.
int32_t NearestLength(const std::vector<int32_t>& lengths, double frames);

// OBS's duration in milliseconds at fps_num / fps_den frames a second, in
// frames.
double FramesOf(double durationMs, uint32_t fpsNum, uint32_t fpsDen);

struct Plan {
  int32_t frames = 1;  // the transition's length N
  // MixAudio's volume for each frame of the outgoing scene and of the
  // incoming one (256 is a scene's own level; 0 where none was asked).
  std::vector<int16_t> volumeA, volumeB;
  // The last frames over which the outgoing scene's sound fades to
  // silence, as the plug-in asks when it terminates (0: no fade).
  int32_t fadeOutFrames = 0;

  // The frame due at t in [0, 1]: frame r covers [r / N, (r + 1) / N).
  int32_t FrameAt(double t) const;
  // The gain of each scene's sound at t.
  float GainA(double t) const;
  float GainB(double t) const;
};

// Runs the variant over frames of one pixel to learn its sound levels and
// fade-out for a transition of `frames` frames.  Throws zk::host::Error
// naming the call the plug-in refused.
Plan MakePlan(const zk::host::Bundle& bundle, int16_t which, int32_t frames);

}  // namespace zk::obs
