// The two conversions every transition frame needs, 8-bit 4:2:0 Y'CbCr into
// the plug-in's 32-bit world and back, at equal size.  They follow swscale's
// accurate path (bilinear, accurate rounding, full chroma interpolation):
// the same chroma positions, weights and rounding, within a level, at a
// fraction of its cost.  Everything else stays with swscale.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/av.h"

namespace zk::video {

class WorldKernel {
 public:
  // The kernel for a w x h conversion between `from` and `to`, the Y'CbCr
  // side in matrix `space` (SWS_CS_*) and range `full`; null when the
  // kernel has none and swscale converts.
  static std::unique_ptr<WorldKernel> For(int w, int h, AVPixelFormat from, AVPixelFormat to, int space, bool full);

  void Convert(const uint8_t* const src[], const int srcStride[], uint8_t* const dst[], const int dstStride[]);

  // What one output sample mixes of a chroma row or column: the first of
  // two source samples and the second's weight (of 16384 across, 4096 down).
  struct Tap {
    int first;
    int weight;
  };

 private:
  WorldKernel() = default;
  void ToWorld(const uint8_t* const src[], const int srcStride[], uint8_t* dst, int dstStride);
  void FromWorld(const uint8_t* src, int srcStride, uint8_t* const dst[], const int dstStride[]);

  int width_ = 0, height_ = 0;
  bool toWorld_ = true;
  int32_t c_[11] = {};                   // the matrix, fixed point
  std::vector<Tap> across_, down_;       // chroma taps into the world
  std::vector<int16_t> rows_;            // chroma rows widened, and sums
};

}  // namespace zk::video
