// Conforming clips to the output: every clip's pictures upright, fitted
// into the output's picture with their display aspect kept, converted from
// their own matrix and range; and every clip's frames on the output's
// constant-rate grid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/av.h"
#include "media/media.h"
#include "conform/world_kernel.h"

namespace zk::video {

// How a clip of another shape fills the output's picture.
enum class Fit { kPad, kCrop, kStretch };
bool ParseFit(const std::string& text, Fit* fit);

// The output picture: the first clip's, upright (or --size).  A format that
// subsamples chroma needs whole chroma samples, so the frame may be a row
// or column larger than the picture; that edge repeats the picture's.
struct Canvas {
  int width = 0;  // the frame
  int height = 0;
  int pictureWidth = 0;
  int pictureHeight = 0;
  AVRational aspect{1, 1};  // sample aspect of the output
  AVPixelFormat format = AV_PIX_FMT_YUV420P;
  Colour colour;  // the output's matrix, range and tags
  bool interlaced = false;  // fields kept as the first clip has them (never rescaled or turned)
  bool topFirst = true;
};

// The largest picture side: the plug-in interface's coordinates are 16-bit.
constexpr int kMaxSide = 32767;

// The canvas for a first clip (or a forced size) in an output pixel format.
// Throws Error naming the limit for a picture too large.
Canvas MakeCanvas(const VideoFormat& first, const std::string& name, AVPixelFormat format, int forceWidth = 0,
                  int forceHeight = 0);
// The tags an output in `format` carries for a first clip: YUV always with
// a real matrix (BT.709 from 720 lines, BT.601 below), never HDR.
Colour OutputColour(const VideoFormat& first, AVPixelFormat format, int height);

// Where one clip's pictures go in a canvas.
struct Placement {
  int rotation = 0;                          // clockwise degrees
  int srcX = 0, srcY = 0, srcW = 0, srcH = 0;  // the part of the coded picture shown
  int dstX = 0, dstY = 0, dstW = 0, dstH = 0;  // where it lands in the canvas, upright
};
Placement Place(const VideoFormat& clip, const Canvas& canvas, Fit fit);
// True when a decoded frame of the clip is already an output frame.
bool PassesThrough(const VideoFormat& clip, const Placement& p, const Canvas& canvas);
// Why it is not, naming the first difference ("it is 320x240, the output
// 160x120", "its range is full, the output's limited"); empty when it is.
std::string ConformReason(const VideoFormat& clip, const Placement& p, const Canvas& canvas);

// What a conversion writes: a picture of the canvas's size in a format.
struct Target {
  AVPixelFormat format;
  int swsSpace;  // SWS_CS_*
  bool full;
};
Target OutputTarget(const Canvas& canvas);
// The plug-in's 32-bit world (0xAARRGGBB words).
Target WorldTarget();

// Converts decoded frames of any clip into canvas pictures.  One per
// thread; swscale set-ups are kept while what they convert stays the same.
class Conformer {
 public:
  explicit Conformer(int swsFlags) : flags_(swsFlags) {}
  void Convert(const AVFrame& src, const VideoFormat& clip, const Placement& p, const Canvas& canvas,
               const Target& target, uint8_t* const dst[4], const int dstStride[4]);
  void set_flags(int flags) { flags_ = flags; }

 private:
  struct Scaler {
    struct Key {
      int sw, sh, sf, dw, dh, df, flags, srcSpace, srcFull, dstSpace, dstFull;
      bool operator==(const Key&) const = default;
    };
    void Scale(const Key& key, const uint8_t* const src[], const int srcStride[], uint8_t* const dst[],
               const int dstStride[]);
    SwsPtr ctx;
    std::unique_ptr<WorldKernel> kernel;  // in place of ctx where it can
    Key key{};
  };
  void Scale(const Scaler::Key& k, const uint8_t* const src[], const int srcStride[], uint8_t* const dst[],
             const int dstStride[]);

  int flags_;
  Scaler scaler_, second_, third_;
  FramePtr rgb_;      // where pictures of two matrices meet
  FramePtr upright_;  // a rotation's intermediate picture
};

// A clip on the output's frame grid: grid frame g, at time g / rate, shows
// the source frame whose display interval covers it (frames are rounded to
// the nearest grid slot, the later winning, as FFmpeg's fps filter does).
class ClipGrid {
 public:
  ClipGrid(const VideoTrack& track, AVRational rate);
  int64_t frames() const { return int64_t(source_.size()); }
  int64_t Source(int64_t g) const { return source_[size_t(g)]; }

 private:
  std::vector<int32_t> source_;
};

}  // namespace zk::video
