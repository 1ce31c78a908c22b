// Writing the result: a container with a video codec and its sound (H.264
// or H.265 with AAC, VP9 with Opus, ProRes with PCM, FFV1 with FLAC), or
// numbered image files, always into a temporary name that is renamed into
// place only when the output is complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/av.h"
#include "conform/conform.h"
#include "media/media.h"

namespace zk::video {

struct OutputOptions {
  std::string path;
  bool overwrite = false;
  std::string codec;   // --codec: empty for the container's own
  std::string pixFmt;  // empty: the codec's, at the first clip's depth (see OutputPlan::FormatFor)
  std::optional<int> crf;  // empty: the codec's default
  std::string preset;      // empty: veryfast
  std::vector<std::pair<std::string, std::string>> tags;  // the container's metadata
};

// What an output path asks for, decided before anything is opened or made.
struct OutputPlan {
  bool images = false;  // numbered image files from a %d pattern
  const AVOutputFormat* muxer = nullptr;
  const AVCodec* video = nullptr;
  AVPixelFormat format = AV_PIX_FMT_NONE;  // for 8-bit sources
  AVPixelFormat deep = AV_PIX_FMT_NONE;    // for deeper sources; NONE: format
  const AVCodec* audio = nullptr;          // null for images
  const char* audioName = "";              // "AAC", for messages
  std::string codec;                       // its --codec name ("h264"); empty for images
  int crf = -1;                            // the quality asked of the encoder; -1 none
  std::string preset;                      // the speed asked of it; empty none

  bool limitedRange = false;               // the codec cannot say full range
  int threads = 0;                         // the encoder's threads; 0 for one a core

  // The video codec codes interlaced pictures as fields, with their order.
  bool CodesFields() const;

  // The output's pixel format for a first clip in `source`: frames outside
  // the transition keep a deep source's depth where the codec allows.
  AVPixelFormat FormatFor(AVPixelFormat source) const;
  // The output picture for a first clip (see MakeCanvas) in that format,
  // and in limited range where the codec has no other.
  Canvas CanvasFor(const VideoFormat& first, const std::string& name, int forceWidth, int forceHeight) const;
};

// Checks an output path and the options that go with it, and decides the
// container, the codecs and their settings.  Throws Error with one line
// naming what is wrong (an unknown extension or codec, a codec the
// container does not take, a quality out of the codec's range, a pattern
// with two numbers, a folder that does not exist, a pixel format the codec
// does not take).  Creates nothing.
OutputPlan PlanOutput(const OutputOptions& options);

// A segment of a render split across machines: the video codec and settings
// that `options` ask for (its path names the final output), in Matroska,
// whatever the final container.  Checks the options as PlanOutput does but
// not the final output's folder, which a machine rendering a segment may
// not see.  Images are refused.
OutputPlan PlanSegmentOutput(const OutputOptions& options);
// The sound as float PCM, which the join encodes once for the whole output.
void SoundAsPcm(OutputPlan& plan);

// A rate the audio encoder takes: the asked one, or the nearest it has.
int EncoderSampleRate(const OutputPlan& plan, int want);

// x264's settings beyond the preset for a picture of this size.
std::string X264Params(const std::string& preset, int width, int height);

// The sound's encoder as the plan sets it up for this format (what the
// writer opens, and what a copy render opens per encoded stretch).
CodecPtr OpenAudioEncoder(const OutputPlan& plan, const AudioFormat& audio, bool globalHeader,
                          const std::string& output);

// A temporary path beside a target that removes itself, file or folder,
// unless it is committed.
class TempPath {
 public:
  TempPath(const std::filesystem::path& target, const std::string& suffix);
  ~TempPath();
  TempPath(const TempPath&) = delete;
  TempPath& operator=(const TempPath&) = delete;
  const std::filesystem::path& path() const { return path_; }
  void Commit() { committed_ = true; }

 private:
  std::filesystem::path path_;
  bool committed_ = false;
};

class Writer {
 public:
  // Opens the temporary file(s), so that an unwritable target fails before
  // any work.  audio is null for a result without sound.
  // copied: when not null, the video stream takes packets as they are
  // (WritePacket) with these parameters, instead of encoding frames.
  Writer(const OutputOptions& options, const OutputPlan& plan, const Canvas& canvas, AVRational rate,
         const AudioFormat* audio, int64_t expectedFrames, const AVCodecParameters* copied = nullptr);
  ~Writer();  // removes what an unfinished writer wrote
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool hasAudio() const { return audio_ != nullptr; }
  // Encodes the next frame (its pts is set here).
  void WriteVideo(AVFrame* frame);
  // Writes a packet of the video stream, its times in frames.
  void WritePacket(AVPacket* packet);
  // Queues count samples per channel of the next stretch of sound.
  void WriteAudio(const Planes& planes, int count);
  // Writes a packet of the sound stream as it is, its times in samples.
  void WriteAudioPacket(AVPacket* packet);
  const AVCodecParameters* audioParameters() const { return audioStream_ ? audioStream_->codecpar : nullptr; }
  // Flushes the encoders and completes the output under its temporary name.
  void Complete();
  // Renames the completed output into place.
  void Commit();
  // Both.
  void Finish();

 private:
  void OpenVideo(const Canvas& canvas, AVRational rate);
  void OpenAudio(const AudioFormat& audio);
  void Encode(AVCodecContext* codec, AVStream* stream, const AVFrame* frame);
  void DrainAudio(bool all);
  const AVFrame* ForEncoder(const AVFrame* frame);
  [[noreturn]] void Fail(int code, const std::string& what);

  OutputOptions options_;
  OutputPlan plan_;
  std::unique_ptr<TempPath> temp_;  // a file, or a folder of images
  std::vector<std::filesystem::path> targets_;
  OutputPtr muxer_;
  CodecPtr video_;
  CodecPtr audio_;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  Colour colour_;
  AVRational frameRate_{25, 1};
  bool interlaced_ = false, topFirst_ = true;
  FifoPtr fifo_;
  FramePtr audioFrame_;  // float planes, as mixed
  SwrPtr toEncoder_;     // to the encoder's sample format, when it is another
  FramePtr encoderFrame_;
  PacketPtr packet_;
  int64_t videoPts_ = 0;
  int64_t audioPts_ = 0;
};

// Renames a finished temporary file into place; without overwrite an
// existing target is kept and Error thrown.
void PutInPlace(TempPath& temp, const std::string& target, bool overwrite);

// An image of 32-bit pixel words (0xAARRGGBB) written as an RGB PNG into a
// temporary file beside path, for PutInPlace.
std::unique_ptr<TempPath> WritePngTemp(const std::string& path, const uint32_t* pixels, int width, int height,
                                       intptr_t stride);
// The same, put in place.
void WritePng(const std::string& path, const uint32_t* pixels, int width, int height,
              intptr_t stride, bool overwrite);

}  // namespace zk::video
