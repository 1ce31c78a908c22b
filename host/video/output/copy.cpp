#include "output/copy.h"

#include <algorithm>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
}

namespace zk::video {
namespace {

using Bytes = std::vector<uint8_t>;

// Exp-Golomb reading of an SPS or PPS id, after the NAL header (and for an
// SPS the profile, constraint and level bytes).
int ReadUe(const Bytes& nal, size_t firstByte) {
  size_t bit = firstByte * 8;
  auto next = [&]() -> int {
    if (bit / 8 >= nal.size()) return 1;
    const int b = (nal[bit / 8] >> (7 - bit % 8)) & 1;
    ++bit;
    return b;
  };
  int zeros = 0;
  while (next() == 0 && zeros < 32) ++zeros;
  int value = 0;
  for (int i = 0; i < zeros; ++i) value = value << 1 | next();
  return (1 << zeros) - 1 + value;
}

// The parameter sets of an avcC record, and what follows them.
struct AvcC {
  Bytes head;  // version, profile, compatibility, level, length size
  std::vector<Bytes> sps, pps;
  Bytes tail;  // the High profiles' chroma and depth fields
};

bool ParseAvcC(const uint8_t* d, size_t n, AvcC* out) {
  if (n < 7 || d[0] != 1) return false;
  out->head.assign(d, d + 5);
  size_t at = 5;
  // count sets, each a 16-bit length and its bytes
  auto sets = [&](int count, std::vector<Bytes>& into) {
    for (int i = 0; i < count; ++i) {
      if (at + 2 > n) return false;
      const size_t len = size_t(d[at]) << 8 | d[at + 1];
      at += 2;
      if (at + len > n) return false;
      into.emplace_back(d + at, d + at + len);
      at += len;
    }
    return true;
  };
  if (!sets(d[at++] & 0x1F, out->sps) || at >= n) return false;
  const int npps = d[at++];
  if (!sets(npps, out->pps)) return false;
  out->tail.assign(d + at, d + n);
  return true;
}

// SPS and PPS NAL units of Annex B extradata (what libx264 gives).
void ParseAnnexB(const uint8_t* d, size_t n, AvcC* out) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= n; ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) starts.push_back(i + 3);
  }
  for (size_t s = 0; s < starts.size(); ++s) {
    size_t end = s + 1 < starts.size() ? starts[s + 1] - 3 : n;
    while (end > starts[s] && d[end - 1] == 0) --end;
    if (end <= starts[s]) continue;
    const int type = d[starts[s]] & 0x1F;
    if (type == 7 || type == 8) (type == 7 ? out->sps : out->pps).emplace_back(d + starts[s], d + end);
  }
}

// An encoder packet's NAL units (Annex B, start codes) as the sample
// description says the stream carries them: each behind its 4-byte length.
void ToLengthPrefixed(AVPacket* packet) {
  const uint8_t* d = packet->data;
  const size_t n = size_t(packet->size);
  std::vector<std::pair<size_t, size_t>> nals;
  for (size_t i = 0; i + 3 <= n; ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      if (!nals.empty()) {
        size_t end = i;
        while (end > nals.back().first && d[end - 1] == 0) --end;
        nals.back().second = end;
      }
      nals.emplace_back(i + 3, n);
      i += 2;
    }
  }
  Bytes out;
  for (const auto& [from, to] : nals) {
    const size_t len = to - from;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(len >> shift));
    out.insert(out.end(), d + from, d + to);
  }
  PacketPtr converted = NewPacket();
  Check(av_new_packet(converted.get(), int(out.size())), "out of memory for a packet");
  std::copy(out.begin(), out.end(), converted->data);
  Check(av_packet_copy_props(converted.get(), packet), "out of memory for a packet");
  av_packet_unref(packet);
  av_packet_move_ref(packet, converted.get());
}

Bytes BuildAvcC(const AvcC& a) {
  Bytes out = a.head;
  out.push_back(uint8_t(0xE0 | a.sps.size()));
  for (const Bytes& s : a.sps) {
    out.push_back(uint8_t(s.size() >> 8));
    out.push_back(uint8_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }
  out.push_back(uint8_t(a.pps.size()));
  for (const Bytes& p : a.pps) {
    out.push_back(uint8_t(p.size() >> 8));
    out.push_back(uint8_t(p.size()));
    out.insert(out.end(), p.begin(), p.end());
  }
  out.insert(out.end(), a.tail.begin(), a.tail.end());
  return out;
}

const char* ProfileName(int profile) {
  switch (profile) {
    case FF_PROFILE_H264_BASELINE:
    case FF_PROFILE_H264_CONSTRAINED_BASELINE: return "baseline";
    case FF_PROFILE_H264_MAIN: return "main";
    case FF_PROFILE_H264_HIGH: return "high";
    default: return nullptr;
  }
}

// The stretch encoder: the clips' profile, the parameter sets in the
// sample description only, under their own id, and the colour tags the
// clips' own sets carry (unspecified stays unspecified), so that a player
// reads every frame of the stream alike.
CodecPtr OpenStretchEncoder(const Canvas& canvas, AVRational rate, const OutputPlan& output,
                            const std::string& profile, int id, const AVCodecParameters& clips) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) throw Error("--copy: no libx264 encoder");
  CodecPtr enc(avcodec_alloc_context3(codec));
  if (!enc) throw Error("out of memory for an encoder");
  enc->width = canvas.width;
  enc->height = canvas.height;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = av_inv_q(rate);
  enc->framerate = rate;
  enc->sample_aspect_ratio = canvas.aspect;
  enc->colorspace = clips.color_space;
  enc->color_range = clips.color_range;
  enc->color_primaries = clips.color_primaries;
  enc->color_trc = clips.color_trc;
  enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  enc->thread_count = output.threads > 0 ? output.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  av_opt_set(enc->priv_data, "preset", output.preset.empty() ? "veryfast" : output.preset.c_str(), 0);
  av_opt_set(enc->priv_data, "profile", profile.c_str(), 0);
  av_opt_set_double(enc->priv_data, "crf", output.crf >= 0 ? output.crf : 18, 0);
  const std::string params = "sps-id=" + std::to_string(id) + ":" + X264Params(output.preset, canvas.width, canvas.height);
  av_opt_set(enc->priv_data, "x264-params", params.c_str(), 0);
  Check(avcodec_open2(enc.get(), codec, nullptr), "--copy: cannot open the libx264 encoder");
  return enc;
}

int64_t RankOf(const VideoTrack& v, int64_t pts) {
  int64_t lo = 0, hi = v.frames();
  while (lo < hi) {
    const int64_t mid = (lo + hi) / 2;
    if (v.Pts(mid) < pts) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

std::string Frames(int64_t n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); }

// Where a clip at the output's rate misses frames: "has a gap of 3 frames
// at 1.200 s"; empty when none is missing.
std::string Gap(const VideoTrack& v, AVRational rate) {
  const double step = av_q2d(av_inv_q(rate));
  for (int64_t k = 1; k < v.frames(); ++k) {
    const double d = v.Time(k) - v.Time(k - 1);
    if (d > 1.5 * step) {
      char at[32];
      std::snprintf(at, sizeof at, "%.3f s", v.Time(k - 1) + step);
      return "it has a gap of " + Frames(std::llround(d / step) - 1) + " at " + at;
    }
  }
  return "";
}

// Why one clip's packets cannot go to the output as they are; empty when
// they can.
std::string WhyNotCopied(const Clip& clip, const AVCodecParameters& par, const Canvas& canvas, AVRational rate) {
  const VideoTrack& v = *clip.video;
  if (par.codec_id != AV_CODEC_ID_H264) {
    return std::string("its video is ") + avcodec_get_name(par.codec_id) + ", not H.264";
  }
  if (!clip.passThrough) return "it needs conforming: " + ConformReason(v.format(), clip.place, canvas);
  if (v.openGop()) return "its GOPs are open";
  if (v.skipped() > 0) return "it starts in mid-GOP";
  bool constant = clip.grid->frames() == v.frames();
  for (int64_t g = 0; constant && g < clip.grid->frames(); ++g) constant = clip.grid->Source(g) == g;
  if (constant) return "";
  if (av_cmp_q(v.format().rate, rate) != 0) {
    char rates[64];
    std::snprintf(rates, sizeof rates, "%.5g fps, retimed to the output's %.5g", av_q2d(v.format().rate),
                  av_q2d(rate));
    return std::string("it is ") + rates;
  }
  const std::string gap = Gap(v, rate);
  return gap.empty() ? "its frames are not at a constant rate" : gap;
}

// Why a first clip's parameter sets cannot stand beside the encoder's.
std::string WhyNoSampleDescription(const Bytes& extradata) {
  const bool startCode = extradata.size() >= 3 && extradata[0] == 0 && extradata[1] == 0 &&
                         (extradata[2] == 1 || (extradata.size() >= 4 && extradata[2] == 0 && extradata[3] == 1));
  if (extradata.empty() || startCode) {
    return "its parameter sets are in the stream, not the sample description (remux it to .mp4 to copy it)";
  }
  return "its sample description is not an H.264 configuration record";
}

// Takes the first clip's H.264 stream settings for the output, or says why
// a clip's packets cannot join it; `sets` gets the first clip's SPS and PPS.
std::string TakeClipSettings(const std::vector<Clip>& clips, const Canvas& canvas, AVRational rate, CopyPlan& plan,
                             AvcC& sets) {
  Bytes extradata;
  for (const Clip& clip : clips) {
    const VideoTrack& v = *clip.video;
    InputPtr in = v.opener()();
    const AVCodecParameters* par = in->streams[v.stream()]->codecpar;
    const std::string who = v.path() + ": ";
    const std::string why = WhyNotCopied(clip, *par, canvas, rate);
    if (!why.empty()) return who + why;
    const Bytes mine(par->extradata, par->extradata + par->extradata_size);
    AvcC own;
    if (!ParseAvcC(mine.data(), mine.size(), &own)) return who + WhyNoSampleDescription(mine);
    if (!plan.params) {
      extradata = mine;
      sets = own;
      const char* profile = ProfileName(par->profile);
      if (profile == nullptr) {
        const char* name = avcodec_profile_name(AV_CODEC_ID_H264, par->profile);
        return who + "its H.264 profile is " + (name ? name : "unknown") +
               ", which the stretches' encoder does not make";
      }
      plan.profile = profile;
      plan.params.reset(avcodec_parameters_alloc());
      if (!plan.params) throw Error("out of memory");
      Check(avcodec_parameters_copy(plan.params.get(), par), "--copy");
    } else if (mine != extradata) {
      return who + "its H.264 parameter sets differ from the first clip's";
    }
    plan.delay = std::max(plan.delay, v.reorder());
  }
  return "";
}

// An id for the encoder's sets that no clip's SPS or PPS has (over 31 when
// every id is taken).
int FreeParameterSetId(const AvcC& sets) {
  std::vector<int> used;
  for (const Bytes& s : sets.sps) used.push_back(ReadUe(s, 4));
  for (const Bytes& p : sets.pps) used.push_back(ReadUe(p, 1));
  int id = 1;
  while (std::find(used.begin(), used.end(), id) != used.end()) ++id;
  return id;
}

// Opens the stretches' encoder once for its parameter sets, which then
// stand beside the clips' in the output's sample description; or says why
// it cannot be opened.
std::string AddEncoderSets(const Canvas& canvas, AVRational rate, const OutputPlan& output, CopyPlan& plan,
                           AvcC& sets) {
  CodecPtr probe;
  try {
    probe = OpenStretchEncoder(canvas, rate, output, plan.profile, plan.parameterSetId, *plan.params);
  } catch (const Error& e) {
    return std::string("the stretches' encoder cannot be opened (") + e.what() + ")";
  }
  ParseAnnexB(probe->extradata, size_t(probe->extradata_size), &sets);
  plan.delay = std::max(plan.delay, probe->has_b_frames + 1);
  const Bytes both = BuildAvcC(sets);
  av_freep(&plan.params->extradata);
  plan.params->extradata = static_cast<uint8_t*>(av_mallocz(both.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (plan.params->extradata == nullptr) throw Error("out of memory");
  std::copy(both.begin(), both.end(), plan.params->extradata);
  plan.params->extradata_size = int(both.size());
  return "";
}

// Whether a packet of length-prefixed NAL units holds an IDR picture's slice.
bool HoldsIdr(const AVPacket& packet, size_t lengthSize) {
  const size_t size = size_t(packet.size);
  for (size_t at = 0; at + lengthSize < size;) {
    size_t length = 0;
    for (size_t i = 0; i < lengthSize; ++i) length = length << 8 | packet.data[at + i];
    at += lengthSize;
    if (length == 0 || length > size - at) return false;
    if ((packet.data[at] & 0x1F) == 5) return true;
    at += length;
  }
  return false;
}

// Per frame of a clip: whether it is an IDR picture, where a decoder starts
// afresh.  A copied run begins at one: begun at another I picture, after
// the stretch encoder's pictures, it decodes out of order and loses frames.
std::vector<bool> IdrFrames(const VideoTrack& v, size_t lengthSize) {
  std::vector<bool> idr(size_t(v.frames()), false);
  InputPtr in = v.opener()();
  PacketPtr packet = NewPacket();
  while (av_read_frame(in.get(), packet.get()) >= 0) {
    if (packet->stream_index == v.stream() && (packet->flags & AV_PKT_FLAG_KEY) && HoldsIdr(*packet, lengthSize)) {
      const int64_t k = RankOf(v, packet->pts);
      if (k < v.frames() && v.Pts(k) == packet->pts) idr[size_t(k)] = true;
    }
    av_packet_unref(packet.get());
  }
  return idr;
}

// Copied: whole GOPs of a clip outside its transitions, from an IDR
// picture on; the rest encoded.
void MarkCopied(const std::vector<Clip>& clips, const Timeline& timeline, size_t lengthSize, CopyPlan& plan) {
  plan.encode.assign(size_t(timeline.frames()), true);
  for (size_t c = 0; c < clips.size(); ++c) {
    const VideoTrack& v = *clips[c].video;
    const std::vector<bool> idr = IdrFrames(v, lengthSize);
    const int64_t origin = timeline.Origin(c), trim = clips[c].trim;
    const int64_t lo = origin + (c > 0 && timeline.cut(c - 1).kind == CutKind::kBetween ? timeline.cut(c - 1).frames : 0);
    const int64_t hi = timeline.End(c) - timeline.cut(c).frames;
    auto source = [&](int64_t j) { return trim + j - origin; };
    auto boundary = [&](int64_t j) { return source(j) >= v.frames() || v.Key(source(j)); };
    int64_t a = lo;
    while (a < hi && !(source(a) < v.frames() && idr[size_t(source(a))])) ++a;
    int64_t b = hi;
    while (b > a && !boundary(b)) --b;
    for (int64_t j = a; j < b; ++j) plan.encode[size_t(j)] = false;
  }
  for (size_t j = 0; j < plan.encode.size(); ++j) {
    plan.encoded += plan.encode[j];
    plan.stretches += plan.encode[j] && (j == 0 || !plan.encode[j - 1]);
  }
}

}  // namespace

CopyPlan PlanCopy(const std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas, AVRational rate,
                  const OutputPlan& output) {
  CopyPlan plan;
  auto refuse = [&](const std::string& why) {
    plan.why = why;
    return std::move(plan);
  };
  if (output.images || output.video == nullptr || output.video->id != AV_CODEC_ID_H264 ||
      canvas.format != AV_PIX_FMT_YUV420P) {
    return refuse("the output is not 8-bit 4:2:0 H.264");
  }
  if (canvas.interlaced) return refuse("the clips are interlaced");
  AvcC sets;
  if (const std::string why = TakeClipSettings(clips, canvas, rate, plan, sets); !why.empty()) return refuse(why);
  // The size of each NAL unit's length in the clips' packets.
  const size_t lengthSize = sets.head.size() > 4 ? size_t(sets.head[4] & 3) + 1 : 4;
  plan.parameterSetId = FreeParameterSetId(sets);
  if (plan.parameterSetId > 31) return refuse("the clips use every parameter set id");
  // x264's lossless coding is a profile of its own, which cannot join the clips'.
  if (output.crf == 0) {
    return refuse("--crf 0 is lossless, which H.264 codes only in the High 4:4:4 Predictive profile, not in the "
                  "clips' " + plan.profile + " profile");
  }
  if (const std::string why = AddEncoderSets(canvas, rate, output, plan, sets); !why.empty()) return refuse(why);
  MarkCopied(clips, timeline, lengthSize, plan);
  return plan;
}

// Packets of one clip in decode order, from a keyframe to the next
// segment's keyframe (or the end of the stream).
class CopyWriter::Copier {
 public:
  Copier(const VideoTrack& track, int64_t first, int64_t end)
      : track_(track), input_(track.opener()()), packet_(NewPacket()) {
    av_seek_frame(input_.get(), track.stream(), track.Pts(first), AVSEEK_FLAG_BACKWARD);
    firstPts_ = track.Pts(first);
    endPts_ = end < track.frames() ? track.Pts(end) : INT64_MAX;
  }
  // The next packet of the segment, or null at its end.
  AVPacket* Next() {
    while (!done_) {
      av_packet_unref(packet_.get());
      const int r = av_read_frame(input_.get(), packet_.get());
      if (r == AVERROR_EOF) break;
      Check(r, track_.path() + ": read error while copying");
      if (packet_->stream_index != track_.stream() || (packet_->flags & AV_PKT_FLAG_DISCARD)) continue;
      if (!started_) {
        if (packet_->pts != firstPts_) continue;  // before the keyframe the seek landed short of
        started_ = true;
      } else if (packet_->pts == endPts_ && (packet_->flags & AV_PKT_FLAG_KEY)) {
        break;
      }
      return packet_.get();
    }
    done_ = true;
    return nullptr;
  }
  int64_t Rank(int64_t pts) const { return RankOf(track_, pts); }

 private:
  const VideoTrack& track_;
  InputPtr input_;
  PacketPtr packet_;
  int64_t firstPts_ = 0, endPts_ = INT64_MAX;
  bool started_ = false;
  bool done_ = false;
};

CopyWriter::CopyWriter(const CopyPlan& plan, std::vector<Clip>& clips, const Timeline& timeline, const Canvas& canvas,
                       AVRational rate, const OutputPlan& output, Writer& writer)
    : plan_(plan), clips_(clips), timeline_(timeline), canvas_(canvas), rate_(rate), output_(output),
      writer_(writer), packet_(NewPacket()) {}

CopyWriter::~CopyWriter() = default;

void CopyWriter::Emit(AVPacket* packet, int64_t pts) {
  packet->pts = pts;
  packet->dts = written_++ - plan_.delay;
  packet->duration = 1;
  writer_.WritePacket(packet);
}

void CopyWriter::Drain(bool flush) {
  if (flush) avcodec_send_frame(encoder_.get(), nullptr);
  for (;;) {
    const int r = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    Check(r, "--copy: cannot encode");
    ToLengthPrefixed(packet_.get());
    Emit(packet_.get(), packet_->pts);
    av_packet_unref(packet_.get());
  }
}

void CopyWriter::Write(int64_t j, AVFrame* rendered) {
  const int64_t total = timeline_.frames();
  if (plan_.encode[size_t(j)]) {
    if (!encoder_) {
      encoder_ = OpenStretchEncoder(canvas_, rate_, output_, plan_.profile, plan_.parameterSetId, *plan_.params);
    }
    rendered->pts = j;
    rendered->pict_type = AV_PICTURE_TYPE_NONE;
    Check(avcodec_send_frame(encoder_.get(), rendered), "--copy: cannot encode");
    Drain(false);
    if (j + 1 == total || !plan_.encode[size_t(j + 1)]) {  // the stretch ends: every packet out
      Drain(true);
      encoder_.reset();
    }
    return;
  }
  const Timeline::Place at = timeline_.At(j);
  const Clip& clip = clips_[at.index];
  const int64_t origin = timeline_.Origin(at.index);
  if (!copier_ || copierClip_ != at.index || j == 0 || plan_.encode[size_t(j - 1)]) {
    int64_t end = j;
    while (end < total && !plan_.encode[size_t(end)] && timeline_.At(end).index == at.index) ++end;
    copier_ = std::make_unique<Copier>(*clip.video, clip.trim + at.frame, clip.trim + end - origin);
    copierClip_ = at.index;
  }
  // Decode order runs ahead of display by at most the plan's delay; at the
  // segment's end every packet goes.
  const bool last = j + 1 == total || plan_.encode[size_t(j + 1)] || timeline_.At(j + 1).index != at.index;
  while (last || written_ - plan_.delay <= j) {
    AVPacket* p = copier_->Next();
    if (p == nullptr) break;
    Emit(p, origin + copier_->Rank(p->pts) - clip.trim);
  }
  if (last) {
    copier_.reset();
    if (written_ != j + 1) {
      throw Error(clip.video->path() + ": --copy found " + std::to_string(written_) + " packets for " +
                  std::to_string(j + 1) + " frames");
    }
  }
}

void CopyWriter::Finish() {
  if (encoder_) {
    Drain(true);
    encoder_.reset();
  }
}

}  // namespace zk::video

// ---- Sound ----------------------------------------------------------------

namespace zk::video {
namespace {

// Object type, rate index, channels and frame length (1024 or 960
// samples) of an AudioSpecificConfig: what a decoder needs to take one
// encoder's AAC packets for another's.
struct AacConfig {
  int type = -1, rate = -1, channels = -1, shortFrames = -1;
  bool operator==(const AacConfig&) const = default;
};

AacConfig ReadAacConfig(const AVCodecParameters* par) {
  AacConfig c;
  if (par->codec_id != AV_CODEC_ID_AAC || par->extradata_size < 2) return c;
  const uint8_t* d = par->extradata;
  c.type = d[0] >> 3;
  c.rate = (d[0] & 7) << 1 | d[1] >> 7;
  c.channels = d[1] >> 3 & 15;
  c.shortFrames = d[1] >> 2 & 1;
  return c;
}

// An encoded stretch starts this many packets before its first kept one,
// so that its encoder's windows have settled from the start's transient by
// then (two were found to be enough), and runs two past its end.  A run
// keeps kClear packets away from a cut, a transition or the end, whose
// change of sound an encoder may meet with short windows: the encoder's
// packets either side of a splice are long, as the copied ones are.
constexpr int kLead = 3, kTail = 2, kClear = 3;

struct SourcePacket {
  int64_t pts;
  int64_t at;      // where its sound plays, in samples of the stream's clock
  bool settled;    // a long window: the sound either side of it can be encoded by another encoder
  bool whole;      // the container does not say it is shorter than a frame (a clip's trimmed last)
};

// Whether an AAC packet's first channel codes one long window (not the
// short ones of a transient, nor a switch to or from them), read from its
// ics_info.  A splice beside such a packet overlaps windows alike, so the
// two encoders' aliasing cancels.
bool LongWindow(const AVPacket* p) {
  if (p->size < 4) return false;
  const uint32_t bits = uint32_t(p->data[0]) << 24 | uint32_t(p->data[1]) << 16 | p->data[2] << 8 | p->data[3];
  int at = 3 + 4;  // element id and instance tag
  switch (bits >> 29) {
    case 0: case 3: at += 8; break;  // a single channel (or LFE): its global gain
    case 1: at += (bits >> 24 & 1) ? 1 : 1 + 8; break;  // a pair: common window, or the first one's gain
    default: return false;
  }
  return (bits >> (32 - at - 3) & 3) == 0;  // after the reserved bit: ONLY_LONG_SEQUENCE
}

// A clip's audio stream opened alone: the other streams are not read.
InputPtr OpenSoundOnly(const VideoTrack& v, int* stream) {
  InputPtr in = v.opener()();
  *stream = av_find_best_stream(in.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  for (unsigned s = 0; s < in->nb_streams; ++s) {
    if (int(s) != *stream) in->streams[s]->discard = AVDISCARD_ALL;
  }
  return in;
}

// The clip's one run, from packet `first` placed at output sample `at`:
// each packet a frame after the one before it, up to output sample `hi`,
// starting and ending with long windows so that the encoded stretches
// either side overlap it as its own encoder's would.  False when too short
// for the stretches' lead and tail to fit between.
bool FindRun(const std::vector<SourcePacket>& packets, size_t first, int64_t at, int frame, int64_t hi,
             AudioRun* run) {
  size_t end = first;
  while (end < packets.size() && packets[end].whole && at + (packets[end].at - packets[first].at) + frame <= hi &&
         packets[end].at - packets[first].at == int64_t(end - first) * frame) {
    ++end;
  }
  size_t k = first;
  while (k < end && !packets[k].settled) ++k;
  while (end > k && !packets[end - 1].settled) --end;
  if (end < k + kLead + kTail) return false;
  run->firstPts = packets[k].pts;
  run->count = int64_t(end - k);
  run->outFirst = at + int64_t(k - first) * frame;
  run->outEnd = run->outFirst + run->count * frame;
  return true;
}

// A clip's AAC packets, each placed as the mixer places its sound: the
// first where its time says, each next one a frame after it, unless its
// time strays by more than the mixer's 10 ms (a gap, or an overlap).  So
// a container that counts in coarser units than samples (Matroska's
// milliseconds) does not move the copied sound off the mixed.
std::vector<SourcePacket> ReadSourcePackets(AVFormatContext* in, int stream, int sampleRate, int frame) {
  const AVRational tb = in->streams[stream]->time_base, samples{1, sampleRate};
  const int64_t slack = av_rescale_q(1, tb, samples) + 1, tolerance = sampleRate / 100;
  std::vector<SourcePacket> packets;
  PacketPtr p = NewPacket();
  while (av_read_frame(in, p.get()) >= 0) {
    if (p->stream_index == stream && p->pts != AV_NOPTS_VALUE) {
      const int64_t said = av_rescale_q(p->pts, tb, samples), length = av_rescale_q(p->duration, tb, samples);
      int64_t at = packets.empty() ? said : packets.back().at + frame;
      if (std::abs(said - at) > tolerance) at = said;
      packets.push_back({p->pts, at, LongWindow(p.get()), length <= 0 || length >= frame - slack});
    }
    av_packet_unref(p.get());
  }
  return packets;
}

}  // namespace

AudioCopyPlan PlanAudioCopy(const std::vector<Clip>& clips, const Timeline& timeline, const AudioBus& bus,
                            const AudioFormat& format, const OutputPlan& output, const AVCodecParameters* encoder) {
  AudioCopyPlan plan;
  plan.late.assign(clips.size(), 0);
  const AacConfig mine = encoder ? ReadAacConfig(encoder) : AacConfig{};
  if (encoder == nullptr || output.audio == nullptr || output.audio->id != AV_CODEC_ID_AAC || mine.type != 2 ||
      encoder->frame_size <= 0) {
    plan.why = "the output's sound is not AAC-LC";
    return plan;
  }
  plan.frameSize = encoder->frame_size;
  const int frame = plan.frameSize;
  int64_t phase = 0;  // where the encoded stretch before the next run starts: its packets fall on this grid
  for (size_t c = 0; c < clips.size(); ++c) {
    const Clip& clip = clips[c];
    if (Gain(clip.volume) != 1.0f) continue;
    int stream = -1;
    InputPtr in = OpenSoundOnly(*clip.video, &stream);
    if (stream < 0) continue;
    const AVStream* st = in->streams[stream];
    if (!(ReadAacConfig(st->codecpar) == mine) || st->codecpar->sample_rate != format.sampleRate) continue;
    const std::vector<SourcePacket> packets = ReadSourcePackets(in.get(), stream, format.sampleRate, frame);
    // Where the clip plays alone: outside the transitions at its ends.
    const int64_t lo = timeline.Origin(c) + (c > 0 && timeline.cut(c - 1).kind == CutKind::kBetween
                                                 ? timeline.cut(c - 1).frames : 0);
    const int64_t hi = timeline.End(c) - timeline.cut(c).frames;
    const int64_t offset = bus.SampleOf(timeline.Origin(c)) - bus.SampleOf(clip.trim) -
                           std::llround(clip.video->start() * format.sampleRate);
    // Late by what puts the clip's packets on the grid of the stretch
    // before them, by at most half a packet either way.
    const int64_t start = bus.SampleOf(lo) + kClear * frame, stop = bus.SampleOf(hi) - kClear * frame;
    auto first = std::find_if(packets.begin(), packets.end(),
                              [&](const SourcePacket& sp) { return offset + sp.at >= start; });
    if (first == packets.end()) continue;
    const int64_t ideal = offset + first->at;
    int64_t late = ((phase - ideal) % frame + frame) % frame;
    if (late > frame / 2) late -= frame;
    AudioRun run{c, 0, 0, 0, 0};
    if (!FindRun(packets, size_t(first - packets.begin()), ideal + late, frame, stop, &run)) continue;
    plan.late[c] = late;
    plan.packets += (run.outEnd - run.outFirst) / frame;
    plan.runs.push_back(run);
    phase = run.outEnd;
  }
  if (plan.runs.empty()) plan.why = "no clip's sound is AAC like the output's, at its own level";
  return plan;
}

// A run's packets, read from its clip.
class AudioSplicer::Reader {
 public:
  Reader(const VideoTrack& track, const AudioRun& run, int frame) : run_(run), frame_(frame), packet_(NewPacket()) {
    input_ = OpenSoundOnly(track, &stream_);
    path_ = track.path();
    av_seek_frame(input_.get(), stream_, run.firstPts, AVSEEK_FLAG_BACKWARD);
  }
  // The next packet of the run that starts before output sample `until`
  // (its times set), or null.
  AVPacket* Next(int64_t until) {
    if (!pending_) {
      for (;;) {
        av_packet_unref(packet_.get());
        const int r = av_read_frame(input_.get(), packet_.get());
        if (r == AVERROR_EOF) return nullptr;
        Check(r, path_ + ": read error while copying its sound");
        if (packet_->stream_index != stream_ || packet_->pts < run_.firstPts) continue;
        if (read_ == run_.count) return nullptr;
        break;
      }
      pending_ = true;
    }
    const int64_t at = run_.outFirst + read_ * frame_;
    if (at >= until) return nullptr;
    pending_ = false;
    ++read_;
    av_packet_free_side_data(packet_.get());  // the clip's own priming and trims do not apply here
    packet_->pts = packet_->dts = at;
    packet_->duration = frame_;
    return packet_.get();
  }

 private:
  const AudioRun& run_;
  int frame_;
  InputPtr input_;
  PacketPtr packet_;
  int stream_ = -1;
  int64_t read_ = 0;  // packets of the run given out
  std::string path_;
  bool pending_ = false;
};

AudioSplicer::AudioSplicer(const AudioCopyPlan& plan, std::vector<Clip>& clips, const AudioFormat& format,
                           const OutputPlan& output, Writer& writer, int64_t total)
    : plan_(plan), clips_(clips), format_(format), output_(output), writer_(writer), total_(total),
      frame_(NewFrame()), packet_(NewPacket()) {
  const int64_t f = plan.frameSize;
  // Each stretch starts early and runs past its end, so that its encoder's
  // first and last kept packets overlap the copied ones beside them as the
  // clip's own would.
  int64_t from = 0;
  for (const AudioRun& r : plan.runs) {
    stretches_.push_back({from == 0 ? -f : from, r.outFirst, std::max<int64_t>(0, from - kLead * f),
                          r.outFirst + kTail * f});
    from = r.outEnd;
  }
  stretches_.push_back({from == 0 ? -f : from, INT64_MAX, std::max<int64_t>(0, from - kLead * f), total});
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, format.channels(), int(f) * 2));
  if (!fifo_) throw Error("out of memory for audio");
  fed_ = stretches_[0].feedFrom;
}

AudioSplicer::~AudioSplicer() = default;

bool AudioSplicer::Needs(int64_t from, int64_t to) const {
  return std::any_of(stretches_.begin(), stretches_.end(),
                     [&](const Stretch& s) { return from < s.feedTo && s.feedFrom < to; });
}

void AudioSplicer::Write(int64_t at, const Planes& slot) {
  const int64_t end = at + int64_t(slot.empty() ? 0 : slot[0].size());
  while (stretch_ < stretches_.size() && end > fed_) {
    const Stretch& s = stretches_[stretch_];
    const int64_t to = std::min(end, s.feedTo);
    if (fed_ < at) throw Error("the copy render's sound skipped samples " + std::to_string(fed_) + " to " + std::to_string(at));
    if (to > fed_) Feed(slot, int(fed_ - at), int(to - fed_));
    fed_ = std::max(fed_, to);
    if (fed_ < s.feedTo) break;
    EndStretch();
  }
}

void AudioSplicer::Feed(const Planes& slot, int offset, int count) {
  if (!encoder_) {
    encoder_ = OpenAudioEncoder(output_, format_, true, "the copy render's sound");
    sent_ = 0;
  }
  std::vector<void*> data;
  for (const auto& ch : slot) data.push_back(const_cast<float*>(ch.data() + offset));
  if (av_audio_fifo_write(fifo_.get(), data.data(), count) < count) throw Error("out of memory for audio");
  while (av_audio_fifo_size(fifo_.get()) >= plan_.frameSize) {
    av_frame_unref(frame_.get());
    frame_->nb_samples = plan_.frameSize;
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = format_.sampleRate;
    av_channel_layout_copy(&frame_->ch_layout, &format_.layout);
    Check(av_frame_get_buffer(frame_.get(), 0), "out of memory for audio");
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->extended_data), plan_.frameSize);
    frame_->pts = stretches_[stretch_].feedFrom + sent_;
    sent_ += plan_.frameSize;
    Check(avcodec_send_frame(encoder_.get(), frame_.get()), "cannot encode the sound");
    Drain(false);
  }
}

void AudioSplicer::Drain(bool flush) {
  if (flush) Check(avcodec_send_frame(encoder_.get(), nullptr), "cannot encode the sound");
  const Stretch& s = stretches_[stretch_];
  for (;;) {
    const int r = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    Check(r, "cannot encode the sound");
    if (packet_->pts >= s.keepFrom && packet_->pts < s.keepTo) {
      // Everything copied before this stretch goes out first.
      if (stretch_ > 0) EmitRun(stretch_ - 1, INT64_MAX);
      packet_->dts = packet_->pts;
      Out(packet_.get());
    }
    av_packet_unref(packet_.get());
  }
}

void AudioSplicer::EndStretch() {
  if (encoder_) {
    const int rest = av_audio_fifo_size(fifo_.get());
    if (rest > 0) {  // the last samples, completed with silence
      Planes pad(size_t(format_.channels()), std::vector<float>(size_t(plan_.frameSize - rest), 0.0f));
      Feed(pad, 0, plan_.frameSize - rest);
    }
    Drain(true);
    encoder_.reset();
  }
  ++stretch_;
  if (stretch_ < stretches_.size()) fed_ = stretches_[stretch_].feedFrom;
}

void AudioSplicer::EmitRun(size_t run, int64_t until) {
  for (; run_ <= run && run_ < plan_.runs.size(); ++run_) {
    const AudioRun& r = plan_.runs[run_];
    if (!reader_) reader_ = std::make_unique<Reader>(*clips_[r.clip].video, r, plan_.frameSize);
    while (AVPacket* p = reader_->Next(until)) Out(p);
    if (run_ == run && until != INT64_MAX) return;  // more to come
    reader_.reset();
  }
}

// A packet of the sound, cut to end with the picture as a full render's
// last packet is: the muxer takes the stream's length from it.
void AudioSplicer::Out(AVPacket* packet) {
  if (packet->pts >= total_) return;
  packet->duration = std::min(packet->duration, total_ - packet->pts);
  writer_.WriteAudioPacket(packet);
}

void AudioSplicer::Advance(int64_t until) {
  // A run goes out once the stretch before it has.
  if (run_ < stretch_) EmitRun(run_, until);
}

void AudioSplicer::Finish() {
  while (stretch_ < stretches_.size()) EndStretch();
  EmitRun(plan_.runs.size(), INT64_MAX);
}

}  // namespace zk::video
