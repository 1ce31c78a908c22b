// Reading clips: the video stream decoded forward into a small cache of
// numbered frames, and the audio stream resampled to the output's format.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "av.h"

namespace zk::video {

// How a stream's pixel values map to colour.
struct Colour {
  AVColorSpace space = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic trc = AVCOL_TRC_UNSPECIFIED;

  // The matrix for swscale (SWS_CS_*): the declared one, or BT.709 for HD
  // and BT.601 for smaller pictures when the stream declares none.
  int SwsSpace(int height) const;
  // True for full-range (JPEG) values; undeclared YUV is limited range.
  bool Full(AVPixelFormat format) const;
  // The tags written on the output: what the input declared, with the
  // guessed matrix and range filled in so that players agree with us.
  Colour Resolved(int height, AVPixelFormat format) const;
};

struct VideoFormat {
  int width = 0;
  int height = 0;
  AVRational rate{0, 1};
  AVRational aspect{0, 1};  // sample aspect ratio; 0/1 when unknown
  AVPixelFormat format = AV_PIX_FMT_NONE;
  Colour colour;
};

struct AudioFormat {
  int sampleRate = 0;
  AVChannelLayout layout{};
  int channels() const { return layout.nb_channels; }
};

// Samples of every channel for one stretch of time, as floats in -1..1.
using Planes = std::vector<std::vector<float>>;

// A clip's video stream.  Get is safe to call from several threads; frames
// are decoded forward and kept in a small cache, so asking in order costs
// one decode per frame, and asking behind the cache rewinds the file.
class VideoTrack {
 public:
  VideoTrack(const std::string& path, size_t cacheFrames);
  const std::string& path() const { return path_; }
  const VideoFormat& format() const { return format_; }
  // The number of frames, counted from the container's packets.
  int64_t frames() const { return frames_; }
  // Frame k (0-based).  Throws Error naming the file and the frame.
  SharedFrame Get(int64_t k);
  void set_cache_frames(size_t n);

 private:
  void Open();
  void Rewind();
  bool DecodeNext(AVFrame* into);

  std::string path_;
  size_t cacheFrames_;
  VideoFormat format_;
  int64_t frames_ = 0;
  std::mutex mutex_;
  InputPtr input_;
  CodecPtr decoder_;
  PacketPtr packet_;
  int stream_ = -1;
  bool flushed_ = false;
  int64_t next_ = 0;  // number of the next frame the decoder delivers
  std::map<int64_t, SharedFrame> cache_;
};

// Whether a file has an audio stream, and its format.
bool ProbeAudio(const std::string& path, AudioFormat* format);

// A clip's audio, resampled to one output format.  Read forward only: the
// samples before the last start asked for are dropped.
class AudioTrack {
 public:
  // A track of silence when the file has no audio stream.
  AudioTrack(const std::string& path, const AudioFormat& out);
  bool silent() const { return !decoder_; }
  // Adds count samples from sample `start` of the clip, times gain, into
  // `into` at offset `at` (gain 0 skips).  Past the clip's end: silence.
  void MixInto(int64_t start, int count, float gain, Planes& into, int at);
  // The same samples copied rather than added.
  void Read(int64_t start, int count, Planes& into, int at);

 private:
  void Fill(int64_t until);
  void Append(const uint8_t* const* data, int samples);

  std::string path_;
  int channels_;
  InputPtr input_;
  CodecPtr decoder_;
  SwrPtr resampler_;
  PacketPtr packet_;
  FramePtr frame_;
  int stream_ = -1;
  bool ended_ = false;
  int64_t base_ = 0;  // clip sample number of buffer_[c][0]
  Planes buffer_;
};

}  // namespace zk::video
