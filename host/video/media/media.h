// Reading clips in time: a clip's video frames in presentation order, each
// with its own timestamp, and its sound placed by its own timestamps
// relative to the clip's first picture.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "media/av.h"
#include "media/pictures.h"

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
  // True for a PQ or HLG transfer: pictures this host shows as SDR.
  bool Hdr() const;
};

struct VideoFormat {
  int width = 0;   // as coded, before rotation
  int height = 0;
  AVRational rate{0, 1};    // the nominal rate
  AVRational aspect{0, 1};  // sample aspect ratio; 0/1 when unknown
  AVPixelFormat format = AV_PIX_FMT_NONE;
  Colour colour;
  int rotation = 0;         // clockwise degrees (0, 90, 180, 270) that show it upright
  bool interlaced = false;  // the stream declares fields
  bool topFirst = true;     // and shows the top field first
};

struct AudioFormat {
  int sampleRate = 0;
  AVChannelLayout layout{};
  int channels() const { return layout.nb_channels; }
};

// Samples of every channel for one stretch of time, as floats in -1..1.
using Planes = std::vector<std::vector<float>>;

// Decoders refuse pictures of more pixels than this (0: no limit but
// FFmpeg's own); the fuzzer bounds it, so that a file declaring a picture of
// gigapixels fails instead of exhausting memory.
extern int64_t gMaxPixels;

// Opens a container: a file by path, or (for the fuzzer) anything else.
using InputOpener = std::function<InputPtr()>;
InputOpener FileOpener(const std::string& path);

// A clip's video stream as the frames that decode, in presentation order.
// Get is safe to call from several threads; frames are decoded forward
// into a small cache, so asking in order costs one decode per frame, and
// asking behind the cache rewinds the file.  Damage anywhere (a corrupt
// packet or picture, a frame that does not come out) throws an Error
// naming the clip and the time.
class VideoTrack {
 public:
  VideoTrack(const std::string& path, size_t cacheFrames);
  VideoTrack(const std::string& name, InputOpener open, size_t cacheFrames);
  ~VideoTrack() { av_channel_layout_uninit(&sound_.layout); }
  const std::string& path() const { return path_; }
  const VideoFormat& format() const { return format_; }
  // The number of frames that decode.
  int64_t frames() const { return int64_t(pts_.size()); }
  // Frames before the first that decodes (a stream cut in mid-GOP).
  int64_t skipped() const { return skipped_; }
  // Where frame k starts, in seconds from the first frame.
  double Time(int64_t k) const;
  // Where the last frame ends, in seconds from the first frame.
  double duration() const;
  // The first frame's timestamp in seconds: the clip's time zero, by which
  // its sound is placed.
  double start() const;
  // For copying packets: frame k's timestamp in the stream's time base,
  // whether it starts a GOP (a keyframe whose own picture is whole, not a
  // recovery point), whether GOPs are open (pictures after a keyframe shown
  // before it), and how many frames decoding runs ahead of display at most.
  int64_t Pts(int64_t k) const { return pts_[size_t(k)]; }
  AVRational timeBase() const { return timeBase_; }
  bool Key(int64_t k) const { return key_[size_t(k)]; }
  bool openGop() const { return openGop_; }
  int reorder() const { return reorder_; }
  int stream() const { return stream_; }
  const InputOpener& opener() const { return open_; }
  // Whether the file has an audio stream, and its format, as the container
  // declared them when the clip was opened.
  bool Sound(AudioFormat* format) const;

  // Frame k (0-based).  Throws Error naming the file and the time.  Opens
  // the file again after Close.
  SharedFrame Get(int64_t k);
  void set_cache_frames(size_t n);
  // Lets go of the file, the decoder and the cached frames; what was read
  // of the stream (format, timestamps) stays.
  void Close();

 private:
  void Open();
  void Index();
  struct Packets;  // what reading the packets gathers besides pts_
  Packets ReadPackets(AVFormatContext* in);
  void CheckIntact(const AVPacket& packet) const;
  void AddFrame(const AVPacket& packet, bool recovery, Packets& p);
  void OrderTimestamps(Packets& p, int64_t frameTicks, bool byDts);
  void SetEnd(const Packets& p, int64_t frameTicks);
  FramePtr FirstWholeFrame();
  void StartAt(int64_t t0);
  void TakeFormatOf(const AVFrame& first);
  void CheckWhole(AVFormatContext* in, double readEnd) const;
  void MarkKeys(std::vector<int64_t> keys, std::vector<int64_t> recovery);
  void Rewind();
  void SkipTo(int64_t k);
  bool JumpTo(int64_t key);
  bool Recovered(int64_t t, int64_t k);
  bool DecodeNext(AVFrame* into);
  [[noreturn]] void Damaged(int64_t k, const std::string& what) const;

  std::string path_;
  InputOpener open_;
  size_t cacheFrames_;
  VideoFormat format_;
  AVRational timeBase_{1, 1};
  std::vector<int64_t> pts_;  // presentation times of the frames, in timeBase_
  std::vector<int64_t> seekTs_;  // per frame: the time to seek to for it (its decode time in a transport stream)
  int64_t endPts_ = 0;        // where the last frame's display ends
  bool exactPts_ = true;      // pts_ came from the container, so decoded frames must match
  std::vector<bool> key_;     // per frame: starts a GOP
  std::vector<bool> sync_;    // per frame: decoding can start there (a keyframe or a recovery point)
  bool openGop_ = false;
  int64_t lag_ = 0;           // frames a recovery point takes to make its picture whole, at most seen
  bool jumped_ = false;       // the decoder starts again at a keyframe or recovery point
  int reorder_ = 0;
  int64_t skipped_ = 0;
  std::mutex mutex_;
  InputPtr input_;
  DecoderPictures pictures_;  // before decoder_: outlives it
  CodecPtr decoder_;
  PacketPtr packet_;
  int stream_ = -1;
  bool flushed_ = false;
  int64_t next_ = 0;  // number of the next frame the decoder delivers
  std::map<int64_t, SharedFrame> cache_;
  bool hasSound_ = false;  // as the file was when first opened
  AudioFormat sound_;
};

// A clip's audio, resampled to one output format and placed in time: clip
// sample 0 is the moment of the clip's first picture (`zero`, seconds on
// the container's clock).  Sound that starts later is preceded by silence,
// sound before it is dropped, gaps are filled with silence and overlaps
// trimmed.  Read forward only: the samples before the last start asked
// for are dropped.
class AudioTrack {
 public:
  // A track of silence when the file has no audio stream.
  // Sound more than `length` seconds past zero is never read: a timestamp
  // that jumps beyond it ends the track rather than filling the gap.
  AudioTrack(const std::string& path, const AudioFormat& out, double zero, double length = 86400);
  AudioTrack(const std::string& name, InputOpener open, const AudioFormat& out, double zero,
             double length = 86400);
  bool silent() const { return !decoder_; }
  // Adds count samples from sample `start` of the clip, times gain, into
  // `into` at offset `at` (gain 0 skips).  Past the clip's end: silence.
  void MixInto(int64_t start, int count, float gain, Planes& into, int at);

 private:
  void Fill(int64_t from, int64_t until);
  void DropBefore(int64_t start);
  void SeekNear(int64_t start);
  bool Place(const AVFrame* frame);
  void Resample(const uint8_t* const* data, int samples);

  std::string path_;
  int channels_;
  double zero_;
  double length_;
  InputPtr input_;
  CodecPtr decoder_;
  SwrPtr resampler_;
  PacketPtr packet_;
  FramePtr frame_;
  FramePtr silence_;
  int stream_ = -1;
  int inRate_ = 0;
  int outRate_ = 0;
  bool ended_ = false;
  bool restart_ = false;
  bool holding_ = false;  // frame_ is decoded but not all placed yet  // after a seek: the next frame's timestamp says where the buffer starts
  int64_t nextIn_ = INT64_MIN;  // input sample where the next decoded frame should start
  int64_t base_ = 0;  // clip sample number of buffer_[c][0]
  Planes buffer_;
};

}  // namespace zk::video
