#include "media/media.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

namespace zk::video {

int64_t gMaxPixels = 0;

namespace {

CodecPtr OpenDecoder(const std::string& path, const AVStream* stream, const AVCodec* codec,
                     DecoderPictures* pictures = nullptr) {
  if (codec == nullptr) {
    throw Error(path + ": no decoder for " + avcodec_get_name(stream->codecpar->codec_id));
  }
  CodecPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) throw Error("out of memory for a decoder");
  Check(avcodec_parameters_to_context(decoder.get(), stream->codecpar), path);
  if (gMaxPixels > 0) decoder->max_pixels = gMaxPixels;
  decoder->thread_count = 0;
  // Frame threads report a damaged frame or not depending on their timing
  // (seen under load: a corrupt H.264 frame passed silently); slice threads
  // decide the same way every time.
  decoder->thread_type = FF_THREAD_SLICE;
  decoder->pkt_timebase = stream->time_base;
  if (pictures != nullptr) pictures->Attach(decoder.get());
  Check(avcodec_open2(decoder.get(), codec, nullptr),
        path + ": cannot open the " + codec->name + " decoder");
  return decoder;
}

// The best audio stream's format in an opened container; false when it
// has none, or none whose rate and channels it declares.
bool AudioFormatOf(AVFormatContext* input, AudioFormat* format) {
  const AVCodec* codec = nullptr;
  const int s = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (s < 0) return false;
  const AVCodecParameters* par = input->streams[s]->codecpar;
  if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return false;
  format->sampleRate = par->sample_rate;
  av_channel_layout_uninit(&format->layout);
  if (par->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&format->layout, par->ch_layout.nb_channels);
  } else {
    av_channel_layout_copy(&format->layout, &par->ch_layout);
  }
  return true;
}

std::string Seconds(double t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", t);
  return buf;
}

// Clockwise degrees that show the picture upright, from the stream's
// display matrix (which gives the counter-clockwise rotation).
int Rotation(const AVStream* st) {
  const auto* matrix =
      reinterpret_cast<const int32_t*>(av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
  if (matrix == nullptr) return 0;
  const double ccw = av_display_rotation_get(matrix);
  if (std::isnan(ccw)) return 0;
  const long quarter = std::lround(-ccw / 90.0);
  return int(((quarter % 4) + 4) % 4) * 90;
}

// A colour tag as FFmpeg stored it: a damaged stream can leave a number no
// enumerator has in the field, which is read as its bits and taken as
// unspecified.
template <class E>
E Known(const E& field, E count, E unspecified) {
  int v = 0;
  static_assert(sizeof(E) == sizeof(int));
  std::memcpy(&v, &field, sizeof v);
  return v >= 0 && v < int(count) ? E(v) : unspecified;
}

Colour ColourOf(const AVColorSpace& space, const AVColorRange& range, const AVColorPrimaries& primaries,
                const AVColorTransferCharacteristic& trc) {
  return {Known(space, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED), Known(range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED),
          Known(primaries, AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED), Known(trc, AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED)};
}

struct ParserDeleter {
  void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};

// Tells a keyframe whose picture is whole from a recovery point: intra
// refresh marks P pictures as sync samples, and the picture is whole only
// some frames after them.  H.264 and HEVC, by FFmpeg's parser of each.
class RecoveryPoints {
 public:
  explicit RecoveryPoints(const AVCodecParameters* par) {
    if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC) return;
    parser_.reset(av_parser_init(par->codec_id));
    context_.reset(avcodec_alloc_context3(nullptr));
    if (!parser_ || !context_ || avcodec_parameters_to_context(context_.get(), par) < 0) {
      parser_.reset();
      return;
    }
    parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  }
  // True when a keyframe's packet holds a picture that is not intra.
  bool Is(const AVPacket* packet) {
    if (!parser_) return false;
    uint8_t* out = nullptr;
    int size = 0;
    parser_->pict_type = AV_PICTURE_TYPE_NONE;
    av_parser_parse2(parser_.get(), context_.get(), &out, &size, packet->data, packet->size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    return parser_->pict_type == AV_PICTURE_TYPE_P || parser_->pict_type == AV_PICTURE_TYPE_B;
  }

 private:
  std::unique_ptr<AVCodecParserContext, ParserDeleter> parser_;
  CodecPtr context_;
};

// An EBML element's header: its id, the size of its data (-1: unknown, as
// a live writer leaves it) and where the data starts.
struct Element {
  uint32_t id = 0;
  int64_t size = -1;
  int64_t data = 0;
};

// A variable-length number of EBML: its length in the leading zeros of
// its first byte.  False when it is invalid or the file ends in it.
bool ReadVint(AVIOContext* pb, int maxLength, uint64_t* value, bool* allOnes) {
  const int first = avio_r8(pb);
  if (first <= 0) return false;
  const int length = __builtin_clz(unsigned(first)) - 23;
  if (length > maxLength) return false;
  const int marker = 0x80 >> (length - 1);
  *value = unsigned(first) & (marker - 1);
  *allOnes = *value == uint64_t(marker - 1);
  for (int i = 1; i < length; ++i) {
    const int b = avio_r8(pb);
    *value = *value << 8 | unsigned(b);
    *allOnes = *allOnes && b == 0xFF;
  }
  return !avio_feof(pb);
}

bool ReadElement(AVIOContext* pb, Element* e) {
  uint64_t id = 0, size = 0;
  bool ones = false;
  if (!ReadVint(pb, 4, &id, &ones) || !ReadVint(pb, 8, &size, &ones)) return false;
  e->id = uint32_t(id);  // without its length marker
  e->size = ones ? -1 : int64_t(std::min<uint64_t>(size, INT64_MAX / 2));
  e->data = avio_tell(pb);
  return true;
}

// How a Matroska or WebM file is cut off: its segment runs past the end of
// the file, and (when the elements in it say so) so does one of its
// clusters of pictures and sound.  An element of unknown size, as a live
// writer leaves it, ends the search: nothing tells where it should end.
struct Cut {
  bool segment = false;
  bool media = false;
};

Cut CutOff(AVFormatContext* in) {
  constexpr uint32_t kEbml = 0x0A45DFA3, kSegment = 0x08538067, kCluster = 0x0F43B675;  // without length markers
  AVIOContext* pb = in->pb;
  Cut cut;
  if (pb == nullptr || std::strncmp(in->iformat->name, "matroska", 8) != 0) return cut;
  const int64_t size = avio_size(pb);
  Element e;
  if (size <= 0 || avio_seek(pb, 0, SEEK_SET) < 0) return cut;
  if (!ReadElement(pb, &e) || e.id != kEbml || e.size < 0) return cut;
  if (avio_seek(pb, e.data + e.size, SEEK_SET) < 0 || !ReadElement(pb, &e) || e.id != kSegment) return cut;
  const int64_t end = e.size < 0 ? INT64_MAX : e.data + e.size;
  cut.segment = end != INT64_MAX && end > size;
  if (end != INT64_MAX && !cut.segment) return cut;
  for (int64_t at = e.data; at < size && at < end;) {
    if (avio_seek(pb, at, SEEK_SET) < 0) break;
    if (!ReadElement(pb, &e)) {
      cut.segment = cut.segment || avio_feof(pb);  // a header the file ends in
      break;
    }
    if (e.size < 0) break;
    at = e.data + e.size;
    if (at > size) {
      cut.segment = true;
      cut.media = e.id == kCluster;
    }
  }
  return cut;
}

}  // namespace

InputOpener FileOpener(const std::string& path) {
  return [path] {
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "cannot open " + path);
    InputPtr input(raw);
    // Probing decodes a few frames of each stream: on one thread, each
    // stream's decoder fills no frame pools for threads of its own.
    std::vector<AVDictionary*> options(input->nb_streams, nullptr);
    for (auto& o : options) av_dict_set(&o, "threads", "1", 0);
    const int probed = avformat_find_stream_info(input.get(), options.data());
    for (auto& o : options) av_dict_free(&o);
    Check(probed, path + ": cannot read its streams");
    return input;
  };
}

int Colour::SwsSpace(int height) const {
  switch (space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    default: return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

bool Colour::Full(AVPixelFormat format) const {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  // RGB is full range whatever a container says of it.
  if (d != nullptr && (d->flags & AV_PIX_FMT_FLAG_RGB)) return true;
  if (range == AVCOL_RANGE_JPEG) return true;
  if (range == AVCOL_RANGE_MPEG) return false;
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P;
}

bool Colour::Hdr() const { return trc == AVCOL_TRC_SMPTE2084 || trc == AVCOL_TRC_ARIB_STD_B67; }

// ---- Video ------------------------------------------------------------------

VideoTrack::VideoTrack(const std::string& path, size_t cacheFrames)
    : VideoTrack(path, FileOpener(path), cacheFrames) {}

VideoTrack::VideoTrack(const std::string& name, InputOpener open, size_t cacheFrames)
    : path_(name), open_(std::move(open)), cacheFrames_(std::max<size_t>(cacheFrames, 2)) {
  Open();
  hasSound_ = AudioFormatOf(input_.get(), &sound_);
  Index();
}

void VideoTrack::Open() {
  input_ = open_();
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream_ == AVERROR_STREAM_NOT_FOUND) throw Error(path_ + ": no video stream");
  if (stream_ < 0) throw Error(path_ + ": no decoder for its video stream");
  AVStream* st = input_->streams[stream_];
  decoder_ = OpenDecoder(path_, st, codec, &pictures_);
  packet_ = NewPacket();
  flushed_ = false;
  next_ = 0;
  jumped_ = false;
  cache_.clear();
  if (format_.format != AV_PIX_FMT_NONE) return;  // reopened: the format is known
  timeBase_ = st->time_base;
  format_.width = decoder_->width;
  format_.height = decoder_->height;
  format_.format = decoder_->pix_fmt;
  format_.rate = av_guess_frame_rate(input_.get(), st, nullptr);
  // Containers of variable-rate video often give a timer rate (1000 fps);
  // the average is what the clip was shot at.
  if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 &&
      (format_.rate.num <= 0 || av_q2d(format_.rate) > 1.5 * av_q2d(st->avg_frame_rate))) {
    format_.rate = av_d2q(std::round(av_q2d(st->avg_frame_rate) * 1000) / 1000, 1001000);
    // A phone's average drifts off the rate it was set to (30.242 for 30):
    // within 2% of a broadcast rate, the nearest such rate.
    static const AVRational kRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                        {50, 1},       {60000, 1001}, {60, 1}};
    const double average = av_q2d(format_.rate);
    double best = 0.02;
    for (const AVRational r : kRates) {
      const double off = std::abs(average / av_q2d(r) - 1);
      if (off < best) {
        best = off;
        format_.rate = r;
      }
    }
  }
  format_.aspect = av_guess_sample_aspect_ratio(input_.get(), st, nullptr);
  format_.colour =
      ColourOf(decoder_->colorspace, decoder_->color_range, decoder_->color_primaries, decoder_->color_trc);
  format_.rotation = Rotation(st);
  format_.interlaced = st->codecpar->field_order > AV_FIELD_PROGRESSIVE;
  format_.topFirst = st->codecpar->field_order != AV_FIELD_BB && st->codecpar->field_order != AV_FIELD_TB;
  if (format_.width <= 0 || format_.height <= 0 || format_.format == AV_PIX_FMT_NONE) {
    throw Error(path_ + ": the video stream has no picture size or pixel format");
  }
  if (format_.rate.num <= 0 || format_.rate.den <= 0) format_.rate = {25, 1};
}

// What reading the packets gathers besides the frames' timestamps.
struct VideoTrack::Packets {
  std::vector<int64_t> dts;       // per frame, in file order
  std::vector<int64_t> keys, recovery;  // timestamps of keyframes and recovery points
  int64_t lastKey = INT64_MIN;
  int64_t lastPts = INT64_MIN, lastDuration = 0;  // the frame shown last, and for how long
  double readEnd = 0;  // seconds: where the last packet of any stream ends
};

// Reads the packets once without decoding them: the frames' timestamps,
// and damage the container reports, before any work is done.
void VideoTrack::Index() {
  InputPtr in = open_();
  Packets p = ReadPackets(in.get());
  if (pts_.empty()) throw Error(path_ + ": the video stream has no frames");
  // One nominal frame in the stream's time base.
  const int64_t frameTicks =
      std::max<int64_t>(1, av_rescale_q(1, av_inv_q(format_.rate), timeBase_));
  // A transport stream seeks by decode time: a keyframe's presentation
  // time would land on the packet after it.
  OrderTimestamps(p, frameTicks, (in->iformat->flags & AVFMT_TS_DISCONT) != 0);
  SetEnd(p, frameTicks);
  CheckWhole(in.get(), p.readEnd);
  FramePtr first = FirstWholeFrame();
  StartAt(first->best_effort_timestamp);
  MarkKeys(std::move(p.keys), std::move(p.recovery));
  TakeFormatOf(*first);
  cache_[0] = Share(std::move(first));
  next_ = 1;
}

// Every packet of the file in the order stored; the video stream's frames
// go to pts_.
VideoTrack::Packets VideoTrack::ReadPackets(AVFormatContext* in) {
  PacketPtr packet = NewPacket();
  RecoveryPoints recoveryPoints(in->streams[stream_]->codecpar);
  Packets p;
  for (;;) {
    const int r = av_read_frame(in, packet.get());
    if (r == AVERROR_EOF) break;
    if (r < 0) throw Error(path_ + ": damaged after frame " + std::to_string(pts_.size()) + ": " + AvErrorText(r));
    if (const int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts; t != AV_NOPTS_VALUE) {
      const double end = (double(t) + double(packet->duration)) * av_q2d(in->streams[packet->stream_index]->time_base);
      p.readEnd = std::max(p.readEnd, end);
    }
    if (packet->stream_index == stream_ && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
      CheckIntact(*packet);
      AddFrame(*packet, (packet->flags & AV_PKT_FLAG_KEY) && recoveryPoints.Is(packet.get()), p);
    }
    av_packet_unref(packet.get());
  }
  return p;
}

// A packet the container marks corrupt stops the clip, named by its time.
void VideoTrack::CheckIntact(const AVPacket& packet) const {
  if (!(packet.flags & AV_PKT_FLAG_CORRUPT)) return;
  const int64_t t = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
  const int64_t first = pts_.empty() ? AV_NOPTS_VALUE : pts_.front();
  // In double: a damaged file's timestamps may lie anywhere in 64 bits.
  const double at = t == AV_NOPTS_VALUE || first == AV_NOPTS_VALUE
                        ? 0
                        : (double(t) - double(first)) * av_q2d(timeBase_);
  throw Error(path_ + ": damaged near " + Seconds(std::max(at, 0.0)) + " (a corrupt packet)");
}

// One frame's packet: its timestamps, and whether decoding can start there
// (a keyframe, or a recovery point: a keyframe whose picture is not intra).
void VideoTrack::AddFrame(const AVPacket& packet, bool recovery, Packets& p) {
  if (packet.pts == AV_NOPTS_VALUE) exactPts_ = false;
  if (recovery) {
    p.recovery.push_back(packet.pts);
  } else if (packet.flags & AV_PKT_FLAG_KEY) {
    p.keys.push_back(packet.pts);
    p.lastKey = packet.pts;
  } else if (packet.pts != AV_NOPTS_VALUE && p.lastKey != INT64_MIN && packet.pts < p.lastKey) {
    openGop_ = true;  // a picture that refers back across the keyframe
  }
  pts_.push_back(packet.pts);
  p.dts.push_back(packet.dts);
  if (packet.pts != AV_NOPTS_VALUE && packet.pts > p.lastPts) {
    p.lastPts = packet.pts;
    p.lastDuration = packet.duration;
  }
}

// The frames' presentation times in display order, made up where the
// container gives none; and how far decoding runs ahead of display.
void VideoTrack::OrderTimestamps(Packets& p, int64_t frameTicks, bool byDts) {
  if (!exactPts_) {
    // Timestamps the container does not give: decode times where there are
    // any (streams without reordering), otherwise the nominal rate.
    const bool allDts = std::none_of(p.dts.begin(), p.dts.end(), [](int64_t t) { return t == AV_NOPTS_VALUE; });
    for (size_t k = 0; k < pts_.size(); ++k) pts_[k] = allDts ? p.dts[k] : int64_t(k) * frameTicks;
    p.lastPts = *std::max_element(pts_.begin(), pts_.end());
    p.lastDuration = 0;
  }
  if (exactPts_) {
    // How far decoding runs ahead of display: packet n shown as frame rank(n).
    std::vector<int64_t> order = pts_;
    std::stable_sort(pts_.begin(), pts_.end());
    seekTs_ = pts_;
    for (size_t n = 0; n < order.size(); ++n) {
      const int64_t rank = std::lower_bound(pts_.begin(), pts_.end(), order[n]) - pts_.begin();
      reorder_ = std::max(reorder_, int(int64_t(n) - rank));
      if (byDts && p.dts[n] != AV_NOPTS_VALUE) seekTs_[size_t(rank)] = std::min(p.dts[n], order[n]);
    }
  }
  std::stable_sort(pts_.begin(), pts_.end());
}

// Where the last frame's display ends.  A day is longer than any clip;
// timestamps that span more are damage, and would make a frame grid of
// that length.  So are timestamps whose span does not even fit in 64 bits.
void VideoTrack::SetEnd(const Packets& p, int64_t frameTicks) {
  int64_t span = 0;
  if (__builtin_add_overflow(p.lastPts, p.lastDuration > 0 ? p.lastDuration : frameTicks, &endPts_) ||
      __builtin_sub_overflow(endPts_, pts_.front(), &span)) {
    throw Error(path_ + ": its timestamps span more than 64 bits hold (damaged or wrapped timestamps)");
  }
  if (duration() > 86400.0) {
    throw Error(path_ + ": its timestamps span " + Seconds(duration()) + " (damaged or wrapped timestamps)");
  }
}

// The first frame that decodes whole is the clip's start: a stream cut in
// mid-GOP begins with frames that refer to pictures it does not hold.
FramePtr VideoTrack::FirstWholeFrame() {
  FramePtr first = NewFrame();
  for (;;) {
    if (!DecodeNext(first.get())) throw Error(path_ + ": no frame of the video stream decodes");
    if (!(first->flags & AV_FRAME_FLAG_CORRUPT) && first->decode_error_flags == 0) break;
    av_frame_unref(first.get());
  }
  return first;
}

// The clip starts at the frame shown at t0: those before it are skipped.
void VideoTrack::StartAt(int64_t t0) {
  if (exactPts_ && t0 != AV_NOPTS_VALUE) {
    const auto at = std::lower_bound(pts_.begin(), pts_.end(), t0);
    skipped_ = at - pts_.begin();
    if (!seekTs_.empty()) seekTs_.erase(seekTs_.begin(), seekTs_.begin() + (at - pts_.begin()));
    pts_.erase(pts_.begin(), at);
    if (pts_.empty()) throw Error(path_ + ": no frame of the video stream decodes");
  } else {
    skipped_ = 0;
  }
}

// What the first picture says of the format where the stream did not, or
// said otherwise: streams often declare their colour only in the pictures.
void VideoTrack::TakeFormatOf(const AVFrame& first) {
  Colour& c = format_.colour;
  const Colour drawn = ColourOf(first.colorspace, first.color_range, first.color_primaries, first.color_trc);
  if (c.space == AVCOL_SPC_UNSPECIFIED) c.space = drawn.space;
  if (c.range == AVCOL_RANGE_UNSPECIFIED) c.range = drawn.range;
  if (c.primaries == AVCOL_PRI_UNSPECIFIED) c.primaries = drawn.primaries;
  if (c.trc == AVCOL_TRC_UNSPECIFIED) c.trc = drawn.trc;
  if (first.width != format_.width || first.height != format_.height || first.format != format_.format) {
    format_.width = first.width;
    format_.height = first.height;
    format_.format = AVPixelFormat(first.format);
  }
  if (first.interlaced_frame) {
    format_.interlaced = true;
    format_.topFirst = first.top_field_first;
  }
}

// Which frames start a GOP, and which decoding can start from: those and
// the recovery points, given by their timestamps.
void VideoTrack::MarkKeys(std::vector<int64_t> keys, std::vector<int64_t> recovery) {
  std::sort(keys.begin(), keys.end());
  std::sort(recovery.begin(), recovery.end());
  key_.resize(pts_.size());
  sync_.resize(pts_.size());
  for (size_t k = 0; k < pts_.size(); ++k) {
    key_[k] = exactPts_ && std::binary_search(keys.begin(), keys.end(), pts_[k]);
    sync_[k] = key_[k] || (exactPts_ && std::binary_search(recovery.begin(), recovery.end(), pts_[k]));
  }
}

// A Matroska or WebM file cut off (a copy interrupted, a download stopped)
// would play as a shorter clip: refused where its pictures end.  A file
// whose clusters are whole and whose packets reach the duration it
// declares lacks only what follows them (its index), and plays whole.
void VideoTrack::CheckWhole(AVFormatContext* in, double readEnd) const {
  const Cut cut = CutOff(in);
  if (!cut.segment) return;
  const bool declared = in->duration > 0 && in->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
  const double promised = declared ? double(in->duration) / AV_TIME_BASE : 0;
  // A frame's grace: a last packet without a duration ends where it starts.
  if (!cut.media && declared && readEnd + 1 / av_q2d(format_.rate) + 0.001 >= promised) return;
  // The cut drops the last pictures in decode order, which may be shown
  // before some it kept: the clip ends at the first gap among the last.
  const int64_t frameTicks = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(format_.rate), timeBase_));
  double end = duration();
  for (int64_t k = std::max<int64_t>(1, frames() - reorder_ - 2); k < frames(); ++k) {
    if (pts_[size_t(k)] - pts_[size_t(k - 1)] > frameTicks * 3 / 2) {
      end = Time(k - 1) + double(frameTicks) * av_q2d(timeBase_);
      break;
    }
  }
  throw Error(path_ + ": damaged near " + Seconds(end) + " (the file is cut off there" +
              (declared ? "; its header says " + Seconds(promised) : "") + ")");
}

double VideoTrack::Time(int64_t k) const { return double(pts_[size_t(k)] - pts_[0]) * av_q2d(timeBase_); }

double VideoTrack::duration() const { return double(endPts_ - pts_[0]) * av_q2d(timeBase_); }

double VideoTrack::start() const { return double(pts_[0]) * av_q2d(timeBase_); }

void VideoTrack::set_cache_frames(size_t n) {
  std::lock_guard lock(mutex_);
  cacheFrames_ = std::max<size_t>(n, 2);
}

void VideoTrack::Close() {
  std::lock_guard lock(mutex_);
  cache_.clear();
  packet_.reset();
  decoder_.reset();
  pictures_.Release();
  input_.reset();
}

void VideoTrack::Damaged(int64_t k, const std::string& what) const {
  const int64_t at = std::clamp<int64_t>(k, 0, frames() - 1);
  throw Error(path_ + ": damaged at " + Seconds(Time(at)) + " (frame " + std::to_string(k) + "): " + what);
}

void VideoTrack::Rewind() {
  const AVStream* st = input_->streams[stream_];
  int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
  if (!seekTs_.empty()) start = std::min(start, *std::min_element(seekTs_.begin(), seekTs_.end()));
  if (av_seek_frame(input_.get(), stream_, start, AVSEEK_FLAG_BACKWARD) < 0) {
    Open();  // a stream that cannot seek is read again from the start
  } else {
    avcodec_flush_buffers(decoder_.get());
    flushed_ = false;
    next_ = 0;
    jumped_ = false;
    // Frames ahead of the one asked for would crowd out the ones decoded
    // on the way to it.
    cache_.clear();
  }
}

// Jumps to the last keyframe at or before k when one lies ahead of the
// decoder: a clip entered late (a trim, a copy render's stretch) is not
// decoded from its start.  A recovery point serves when its picture is
// whole by frame k, as far as the ones before have shown.
void VideoTrack::SkipTo(int64_t k) {
  if (!exactPts_) return;
  int64_t key = k;
  while (key > next_ && !key_[size_t(key)] && !(sync_[size_t(key)] && key + lag_ <= k)) --key;
  if (key <= next_ + 1) return;
  JumpTo(key);
}

bool VideoTrack::JumpTo(int64_t key) {
  if (av_seek_frame(input_.get(), stream_, seekTs_[size_t(key)], AVSEEK_FLAG_BACKWARD) < 0) return false;
  avcodec_flush_buffers(decoder_.get());
  flushed_ = false;
  next_ = key;
  jumped_ = true;
  cache_.clear();
  return true;
}

// After a jump the decoder shows nothing of a recovery point until its
// picture is whole again (FFmpeg counts the frames its SEI gives), so the
// first frame out, at t (INT64_MAX: none before the end), is later than the
// one jumped to.  The frames before k were not asked for: decoding goes on
// from t, true when that frame is shown.  When frame k is not whole yet,
// decoding starts again from the keyframe or recovery point before.
bool VideoTrack::Recovered(int64_t t, int64_t k) {
  const int64_t at = std::lower_bound(pts_.begin(), pts_.end(), t) - pts_.begin();
  lag_ = std::max(lag_, at - next_);
  if (at <= k) {
    next_ = at;
    return pts_[size_t(at)] == t;  // otherwise a picture the container does not count
  }
  int64_t key = next_ - 1;
  while (key > 0 && !sync_[size_t(key)]) --key;
  if (key <= 0 || !JumpTo(key)) Rewind();
  return false;
}

bool VideoTrack::DecodeNext(AVFrame* into) {
  for (;;) {
    int r = avcodec_receive_frame(decoder_.get(), into);
    if (r == 0) return true;
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN)) Damaged(next_, AvErrorText(r));
    if (flushed_) return false;
    r = av_read_frame(input_.get(), packet_.get());
    if (r == AVERROR_EOF) {
      flushed_ = true;
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    if (r < 0) Damaged(next_, "read error: " + AvErrorText(r));
    if (packet_->stream_index == stream_) {
      r = avcodec_send_packet(decoder_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (r < 0 && r != AVERROR(EAGAIN)) Damaged(next_, AvErrorText(r));
    } else {
      av_packet_unref(packet_.get());
    }
  }
}

SharedFrame VideoTrack::Get(int64_t k) {
  std::lock_guard lock(mutex_);
  if (k < 0 || k >= frames()) {
    throw Error(path_ + ": frame " + std::to_string(k) + " does not exist (the clip has " +
                std::to_string(frames()) + ")");
  }
  if (auto it = cache_.find(k); it != cache_.end()) return it->second;
  if (!input_) Open();
  if (k < next_) Rewind();
  SkipTo(k);
  while (next_ <= k) {
    FramePtr frame = NewFrame();
    if (!DecodeNext(frame.get())) {
      if (!jumped_) Damaged(next_, "the frame does not decode (the stream ends early)");
      Recovered(INT64_MAX, k);
      continue;
    }
    const int64_t t = frame->best_effort_timestamp;
    if (exactPts_ && t != AV_NOPTS_VALUE && t != pts_[size_t(next_)]) {
      // The lead-in a rewind or a jump decodes again is not shown.
      if (t < pts_[size_t(next_)]) continue;
      if (!jumped_) Damaged(next_, "the frame does not decode");
      if (!Recovered(t, k)) continue;
    }
    jumped_ = false;
    if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0) {
      Damaged(next_, "the picture is corrupt");
    }
    if (frame->width != format_.width || frame->height != format_.height ||
        frame->format != format_.format) {
      Damaged(next_, "the picture changes to " + std::to_string(frame->width) + "x" +
                         std::to_string(frame->height) + " " +
                         (av_get_pix_fmt_name(AVPixelFormat(frame->format)) ?: "?") + " from " +
                         std::to_string(format_.width) + "x" + std::to_string(format_.height));
    }
    cache_[next_++] = Share(std::move(frame));
    while (cache_.size() > cacheFrames_) cache_.erase(cache_.begin());
  }
  return cache_.at(k);
}

// ---- Audio ------------------------------------------------------------------

bool VideoTrack::Sound(AudioFormat* format) const {
  if (!hasSound_) return false;
  format->sampleRate = sound_.sampleRate;
  av_channel_layout_uninit(&format->layout);
  av_channel_layout_copy(&format->layout, &sound_.layout);
  return true;
}

AudioTrack::AudioTrack(const std::string& path, const AudioFormat& out, double zero, double length)
    : AudioTrack(path, FileOpener(path), out, zero, length) {}

AudioTrack::AudioTrack(const std::string& name, InputOpener open, const AudioFormat& out, double zero,
                       double length)
    : path_(name), channels_(out.channels()), zero_(zero), length_(length), outRate_(out.sampleRate),
      buffer_(size_t(out.channels())) {
  input_ = open();
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (stream_ < 0) {
    input_.reset();
    return;
  }
  decoder_ = OpenDecoder(name, input_->streams[stream_], codec);
  AVChannelLayout in{};
  if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&in, decoder_->ch_layout.nb_channels);
  } else {
    av_channel_layout_copy(&in, &decoder_->ch_layout);
  }
  inRate_ = decoder_->sample_rate;
  if (inRate_ <= 0 || in.nb_channels <= 0) {
    av_channel_layout_uninit(&in);
    throw Error(name + ": its audio stream has no sample rate or channels");
  }
  SwrContext* raw = nullptr;
  const int r = swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&out.layout), AV_SAMPLE_FMT_FLTP, out.sampleRate, &in,
                                    decoder_->sample_fmt, inRate_, 0, nullptr);
  const bool fewer = out.layout.nb_channels < in.nb_channels;
  av_channel_layout_uninit(&in);
  resampler_.reset(raw);
  Check(r, name + ": cannot resample its audio");
  // A downmix (5.1 to stereo) adds channels together: its matrix is scaled
  // so that no output channel can exceed the loudest source channel.
  if (fewer) av_opt_set_double(resampler_.get(), "rematrix_maxval", 1.0, 0);
  Check(swr_init(resampler_.get()), name + ": cannot resample its audio to " +
                                        std::to_string(out.sampleRate) + " Hz");
  packet_ = NewPacket();
  frame_ = NewFrame();
}

void AudioTrack::Resample(const uint8_t* const* data, int samples) {
  const int room = swr_get_out_samples(resampler_.get(), samples);
  if (room <= 0) return;
  std::vector<float*> out(static_cast<size_t>(channels_));
  for (int c = 0; c < channels_; ++c) {
    auto& ch = buffer_[size_t(c)];
    ch.resize(ch.size() + size_t(room));
    out[size_t(c)] = ch.data() + ch.size() - size_t(room);
  }
  const int got = Check(swr_convert(resampler_.get(), reinterpret_cast<uint8_t**>(out.data()), room,
                                    const_cast<const uint8_t**>(data), samples),
                        path_ + ": cannot resample its audio");
  for (auto& ch : buffer_) ch.resize(ch.size() - size_t(room - got));
}

// Puts a decoded frame where its timestamp says: the first one exactly,
// later ones when they stray by more than 10 ms (container timestamps are
// rounded, and that much is inaudible as a jump).
// False when only part of a gap before it went in: a long gap is made a
// second at a time, as far as it is read, so that a damaged timestamp
// hours ahead never fills memory with silence.
bool AudioTrack::Place(const AVFrame* frame) {
  const int64_t ts = frame->best_effort_timestamp;
  if (restart_) {
    if (ts == AV_NOPTS_VALUE) return true;  // nowhere to put it
    const double at = double(ts) * av_q2d(input_->streams[stream_]->time_base) - zero_;
    nextIn_ = base_ = std::llround(at * inRate_);
    restart_ = false;
  }
  const bool first = nextIn_ == INT64_MIN;
  if (first) nextIn_ = 0;
  int64_t offset = 0;
  if (ts != AV_NOPTS_VALUE) {
    const double at = double(ts) * av_q2d(input_->streams[stream_]->time_base) - zero_;
    offset = std::llround(at * inRate_) - nextIn_;
  }
  const int64_t tolerance = first ? 0 : inRate_ / 100;
  if (double(nextIn_ + offset) > (length_ + 1) * inRate_) {  // past the clip's end: nothing more is read
    ended_ = true;
    return true;
  }
  if (offset > tolerance) {  // a gap: silence
    const int64_t step = std::min<int64_t>(offset, inRate_);
    Check(swr_inject_silence(resampler_.get(), int(step)), path_ + ": cannot resample its audio");
    nextIn_ += step;
    if (step < offset) {
      Resample(frame->extended_data, 0);  // the silence so far, not the frame
      return false;
    }
  }
  int skip = 0;
  if (offset < -tolerance) skip = int(std::min<int64_t>(-offset, frame->nb_samples));  // an overlap: trimmed
  if (skip < frame->nb_samples) {
    const int bytes = av_get_bytes_per_sample(AVSampleFormat(frame->format));
    const bool planar = av_sample_fmt_is_planar(AVSampleFormat(frame->format));
    const int planes = planar ? frame->ch_layout.nb_channels : 1;
    std::vector<const uint8_t*> data(static_cast<size_t>(planes));
    for (int p = 0; p < planes; ++p) {
      data[size_t(p)] = frame->extended_data[p] + size_t(skip) * bytes * (planar ? 1 : frame->ch_layout.nb_channels);
    }
    Resample(data.data(), frame->nb_samples - skip);
  }
  nextIn_ += frame->nb_samples - skip;
  return true;
}

// Drops what lies before a read, in large steps so that it stays cheap.
void AudioTrack::DropBefore(int64_t start) {
  const int64_t drop = std::min<int64_t>(start - base_, int64_t(buffer_[0].size()));
  if (drop > 1 << 16) {
    for (auto& ch : buffer_) ch.erase(ch.begin(), ch.begin() + drop);
    base_ += drop;
  }
}

void AudioTrack::Fill(int64_t from, int64_t until) {
  while (!ended_ && base_ + int64_t(buffer_[0].size()) < until) {
    DropBefore(from);  // as it is passed, so that a long read never holds what lies behind it
    if (holding_) {
      holding_ = !Place(frame_.get());
      if (!holding_) av_frame_unref(frame_.get());
      continue;
    }
    int r = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (r == 0) {
      if (frame_->sample_rate != inRate_) {
        throw Error(path_ + ": its audio changes sample rate from " + std::to_string(inRate_) + " to " +
                    std::to_string(frame_->sample_rate) + " Hz");
      }
      holding_ = true;
      continue;
    }
    if (r == AVERROR_EOF) {
      Resample(nullptr, 0);  // what the resampler still holds
      ended_ = true;
      break;
    }
    if (r != AVERROR(EAGAIN)) Check(r, path_ + ": audio cannot be decoded");
    r = av_read_frame(input_.get(), packet_.get());
    if (r == AVERROR_EOF) {
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    Check(r, path_ + ": read error in its audio");
    if (packet_->stream_index == stream_) {
      r = avcodec_send_packet(decoder_.get(), packet_.get());
      // A damaged audio packet is skipped: the gap is heard as silence.
      if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA) {
        Check(r, path_ + ": audio cannot be decoded");
      }
    }
    av_packet_unref(packet_.get());
  }
}

// Jumps to a second before `start` instead of decoding a long stretch
// nobody hears (a trimmed clip, or a copy render that reads only the sound
// around its transitions).  Only where no resampling spans the jump.
void AudioTrack::SeekNear(int64_t start) {
  const AVStream* s = input_->streams[stream_];
  const double t = zero_ + double(start) / inRate_ - 1.0;
  if (av_seek_frame(input_.get(), stream_, std::llround(t / av_q2d(s->time_base)), AVSEEK_FLAG_BACKWARD) < 0) {
    return;  // decoded on instead
  }
  avcodec_flush_buffers(decoder_.get());
  if (holding_) av_frame_unref(frame_.get());
  holding_ = false;
  Check(swr_init(resampler_.get()), path_ + ": cannot resample its audio");
  for (auto& ch : buffer_) ch.clear();
  restart_ = true;
}

void AudioTrack::MixInto(int64_t start, int count, float gain, Planes& into, int at) {
  if (silent() || gain == 0.0f || count <= 0) return;
  const int64_t kFar = int64_t(inRate_) * 10;
  if (!ended_ && inRate_ == outRate_ && start - (base_ + int64_t(buffer_[0].size())) > kFar) SeekNear(start);
  if (start < base_) {  // already dropped: a caller going back hears nothing there
    const int skip = int(std::min<int64_t>(base_ - start, count));
    start += skip;
    at += skip;
    count -= skip;
  }
  Fill(start, start + count);
  DropBefore(start);
  const int64_t have = base_ + int64_t(buffer_[0].size());
  const int n = int(std::clamp<int64_t>(have - start, 0, count));
  if (n == 0) return;  // nothing there (the buffer may hold no samples at all)
  for (int c = 0; c < channels_ && c < int(into.size()); ++c) {
    const float* src = buffer_[size_t(c)].data() + (start - base_);
    float* dst = into[size_t(c)].data() + at;
    for (int i = 0; i < n; ++i) dst[i] += src[i] * gain;
  }
}

}  // namespace zk::video
