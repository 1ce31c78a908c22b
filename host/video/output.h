// Writing the result: a container with H.264 and AAC, or a numbered
// sequence of PNG frames, always into a temporary name that is renamed
// into place only when the file is complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "av.h"
#include "media.h"

namespace zk::video {

struct OutputOptions {
  std::string path;
  bool overwrite = false;
  std::string pixFmt;  // empty: yuv420p for video files, rgb24 for PNG frames
  int crf = 18;
  std::string preset = "veryfast";
};

// True for a path with a printf-style frame number ("frames/%04d.png").
bool IsFramePattern(const std::string& path);

class Writer {
 public:
  // Opens the temporary file(s), so that an unwritable target fails before
  // any work.  audio is null for a result without sound.
  Writer(const OutputOptions& options, const VideoFormat& video, const AudioFormat* audio,
         int64_t expectedFrames);
  ~Writer();  // removes what an unfinished writer wrote
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // What frames handed to WriteVideo must be.
  AVPixelFormat pixelFormat() const { return video_->pix_fmt; }
  const Colour& colour() const { return colour_; }
  bool hasAudio() const { return audio_ != nullptr; }
  // Encodes the next frame (its pts is set here).
  void WriteVideo(AVFrame* frame);
  // Queues count samples per channel of the next stretch of sound.
  void WriteAudio(const Planes& planes, int count);
  // Flushes the encoders, completes the file and renames it into place.
  void Finish();

 private:
  void Encode(AVCodecContext* codec, AVStream* stream, const AVFrame* frame);
  void DrainAudio(bool all);
  [[noreturn]] void Fail(int code, const std::string& what);

  OutputOptions options_;
  bool pattern_;
  std::filesystem::path temp_;  // a file, or a folder for a frame pattern
  std::vector<std::filesystem::path> targets_;
  OutputPtr muxer_;
  CodecPtr video_;
  CodecPtr audio_;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  Colour colour_;
  FifoPtr fifo_;
  FramePtr audioFrame_;
  PacketPtr packet_;
  int64_t videoPts_ = 0;
  int64_t audioPts_ = 0;
  bool finished_ = false;
};

// An image of 32-bit pixel words (0xAARRGGBB) written as an RGB PNG.
void WritePng(const std::string& path, const uint32_t* pixels, int width, int height,
              intptr_t stride, bool overwrite);

}  // namespace zk::video
