#include "copy.h"

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
  const int nsps = d[at++] & 0x1F;
  for (int i = 0; i < nsps; ++i) {
    if (at + 2 > n) return false;
    const size_t len = size_t(d[at]) << 8 | d[at + 1];
    at += 2;
    if (at + len > n) return false;
    out->sps.emplace_back(d + at, d + at + len);
    at += len;
  }
  if (at >= n) return false;
  const int npps = d[at++];
  for (int i = 0; i < npps; ++i) {
    if (at + 2 > n) return false;
    const size_t len = size_t(d[at]) << 8 | d[at + 1];
    at += 2;
    if (at + len > n) return false;
    out->pps.emplace_back(d + at, d + at + len);
    at += len;
  }
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

// The stretch encoder: the clips' profile and colour, the parameter sets
// in the sample description only, under their own id.
CodecPtr OpenStretchEncoder(const Canvas& canvas, AVRational rate, const OutputPlan& output,
                            const std::string& profile, int id) {
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
  enc->colorspace = canvas.colour.space;
  enc->color_range = canvas.colour.range;
  enc->color_primaries = canvas.colour.primaries;
  enc->color_trc = canvas.colour.trc;
  enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  enc->thread_count = int(std::max(1u, std::thread::hardware_concurrency()));
  av_opt_set(enc->priv_data, "preset", output.preset.empty() ? "veryfast" : output.preset.c_str(), 0);
  av_opt_set(enc->priv_data, "profile", profile.c_str(), 0);
  av_opt_set_double(enc->priv_data, "crf", output.crf >= 0 ? output.crf : 18, 0);
  const std::string params = "sps-id=" + std::to_string(id) + ":sync-lookahead=0";
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
  AvcC sets;
  Bytes extradata;
  for (const Clip& clip : clips) {
    const VideoTrack& v = *clip.video;
    InputPtr in = v.opener()();
    const AVCodecParameters* par = in->streams[v.stream()]->codecpar;
    const std::string who = v.path() + ": ";
    if (par->codec_id != AV_CODEC_ID_H264) return refuse(who + "its video is " + avcodec_get_name(par->codec_id) + ", not H.264");
    if (!clip.passThrough) return refuse(who + "it needs conforming (size, colour, orientation or format)");
    if (v.openGop()) return refuse(who + "its GOPs are open");
    if (v.skipped() > 0) return refuse(who + "it starts in mid-GOP");
    if (clip.grid->frames() != v.frames()) return refuse(who + "it is retimed to the output's rate");
    for (int64_t g = 0; g < clip.grid->frames(); ++g) {
      if (clip.grid->Source(g) != g) return refuse(who + "its frames are not at a constant rate");
    }
    const Bytes mine(par->extradata, par->extradata + par->extradata_size);
    if (extradata.empty()) {
      extradata = mine;
      if (!ParseAvcC(mine.data(), mine.size(), &sets)) return refuse(who + "its parameter sets are not in its sample description");
      const char* profile = ProfileName(par->profile);
      if (profile == nullptr) return refuse(who + "its H.264 profile is one the encoder does not match");
      plan.profile = profile;
      plan.params.reset(avcodec_parameters_alloc());
      if (!plan.params) throw Error("out of memory");
      Check(avcodec_parameters_copy(plan.params.get(), par), "--copy");
    } else if (mine != extradata) {
      return refuse(who + "its H.264 parameter sets differ from the first clip's");
    }
    plan.delay = std::max(plan.delay, v.reorder());
  }
  // An id for the encoder's sets that no clip's SPS or PPS has.
  std::vector<int> used;
  for (const Bytes& s : sets.sps) used.push_back(ReadUe(s, 4));
  for (const Bytes& p : sets.pps) used.push_back(ReadUe(p, 1));
  plan.parameterSetId = 1;
  while (std::find(used.begin(), used.end(), plan.parameterSetId) != used.end()) ++plan.parameterSetId;
  if (plan.parameterSetId > 31) return refuse("the clips use every parameter set id");
  CodecPtr probe = OpenStretchEncoder(canvas, rate, output, plan.profile, plan.parameterSetId);
  ParseAnnexB(probe->extradata, size_t(probe->extradata_size), &sets);
  plan.delay = std::max(plan.delay, probe->has_b_frames + 1);
  const Bytes both = BuildAvcC(sets);
  av_freep(&plan.params->extradata);
  plan.params->extradata = static_cast<uint8_t*>(av_mallocz(both.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (plan.params->extradata == nullptr) throw Error("out of memory");
  std::copy(both.begin(), both.end(), plan.params->extradata);
  plan.params->extradata_size = int(both.size());

  // Copied: whole GOPs of a clip outside its transitions; the rest encoded.
  plan.encode.assign(size_t(timeline.frames()), true);
  for (size_t c = 0; c < clips.size(); ++c) {
    const VideoTrack& v = *clips[c].video;
    const int64_t origin = timeline.Origin(c), trim = clips[c].trim;
    const int64_t lo = origin + (c > 0 && timeline.cut(c - 1).kind == CutKind::kBetween ? timeline.cut(c - 1).frames : 0);
    const int64_t hi = timeline.End(c) - timeline.cut(c).frames;
    auto source = [&](int64_t j) { return trim + j - origin; };
    auto boundary = [&](int64_t j) { return source(j) >= v.frames() || v.Key(source(j)); };
    int64_t a = lo;
    while (a < hi && !v.Key(source(a))) ++a;
    int64_t b = hi;
    while (b > a && !boundary(b)) --b;
    for (int64_t j = a; j < b; ++j) plan.encode[size_t(j)] = false;
  }
  for (size_t j = 0; j < plan.encode.size(); ++j) {
    plan.encoded += plan.encode[j];
    plan.stretches += plan.encode[j] && (j == 0 || !plan.encode[j - 1]);
  }
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
    if (!encoder_) encoder_ = OpenStretchEncoder(canvas_, rate_, output_, plan_.profile, plan_.parameterSetId);
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
