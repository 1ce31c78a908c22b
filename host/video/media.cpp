#include "media.h"

#include <algorithm>
#include <cstring>

namespace zk::video {
namespace {

InputPtr OpenInput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "cannot open " + path);
  InputPtr input(raw);
  Check(avformat_find_stream_info(input.get(), nullptr), path + ": cannot read its streams");
  return input;
}

CodecPtr OpenDecoder(const std::string& path, const AVStream* stream, const AVCodec* codec) {
  if (codec == nullptr) {
    throw Error(path + ": no decoder for " + avcodec_get_name(stream->codecpar->codec_id));
  }
  CodecPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) throw Error("out of memory for a decoder");
  Check(avcodec_parameters_to_context(decoder.get(), stream->codecpar), path);
  decoder->thread_count = 0;
  // Frame threads report a damaged frame or not depending on their timing
  // (seen under load: a corrupt H.264 frame passed silently); slice threads
  // decide the same way every time.
  decoder->thread_type = FF_THREAD_SLICE;
  decoder->pkt_timebase = stream->time_base;
  Check(avcodec_open2(decoder.get(), codec, nullptr),
        path + ": cannot open the " + codec->name + " decoder");
  return decoder;
}

}  // namespace

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
  if (range == AVCOL_RANGE_JPEG) return true;
  if (range == AVCOL_RANGE_MPEG) return false;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  // RGB and the old J formats are full range without saying so.
  if (d != nullptr && (d->flags & AV_PIX_FMT_FLAG_RGB)) return true;
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P;
}

Colour Colour::Resolved(int height, AVPixelFormat format) const {
  Colour c = *this;
  if (c.space == AVCOL_SPC_UNSPECIFIED || c.space == AVCOL_SPC_RESERVED) {
    c.space = SwsSpace(height) == SWS_CS_ITU709 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
  }
  if (c.range == AVCOL_RANGE_UNSPECIFIED) c.range = Full(format) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  return c;
}

// ---- Video ------------------------------------------------------------------

VideoTrack::VideoTrack(const std::string& path, size_t cacheFrames)
    : path_(path), cacheFrames_(std::max<size_t>(cacheFrames, 2)) {
  Open();
  // Counting packets reads the file once without decoding it: the only
  // length that does not depend on what the container chose to declare.
  InputPtr counter = OpenInput(path_);
  PacketPtr packet = NewPacket();
  for (;;) {
    const int r = av_read_frame(counter.get(), packet.get());
    if (r == AVERROR_EOF) break;
    Check(r, path_ + ": read error");
    if (packet->stream_index == stream_ && !(packet->flags & AV_PKT_FLAG_DISCARD)) ++frames_;
    av_packet_unref(packet.get());
  }
  if (frames_ == 0) throw Error(path_ + ": the video stream has no frames");
}

void VideoTrack::Open() {
  input_ = OpenInput(path_);
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream_ == AVERROR_STREAM_NOT_FOUND) throw Error(path_ + ": no video stream");
  if (stream_ < 0) throw Error(path_ + ": no decoder for its video stream");
  AVStream* st = input_->streams[stream_];
  decoder_ = OpenDecoder(path_, st, codec);
  packet_ = NewPacket();
  format_.width = decoder_->width;
  format_.height = decoder_->height;
  format_.format = decoder_->pix_fmt;
  format_.rate = av_guess_frame_rate(input_.get(), st, nullptr);
  format_.aspect = av_guess_sample_aspect_ratio(input_.get(), st, nullptr);
  format_.colour = {decoder_->colorspace, decoder_->color_range, decoder_->color_primaries,
                    decoder_->color_trc};
  if (format_.width <= 0 || format_.height <= 0 || format_.format == AV_PIX_FMT_NONE) {
    throw Error(path_ + ": the video stream has no picture size or pixel format");
  }
  if (format_.rate.num <= 0 || format_.rate.den <= 0) {
    throw Error(path_ + ": the video stream has no frame rate");
  }
}

void VideoTrack::set_cache_frames(size_t n) {
  std::lock_guard lock(mutex_);
  cacheFrames_ = std::max<size_t>(n, 2);
}

void VideoTrack::Rewind() {
  const AVStream* st = input_->streams[stream_];
  const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
  if (av_seek_frame(input_.get(), stream_, start, AVSEEK_FLAG_BACKWARD) < 0) {
    Open();  // a stream that cannot seek is read again from the start
  } else {
    avcodec_flush_buffers(decoder_.get());
  }
  flushed_ = false;
  next_ = 0;
  cache_.clear();
}

bool VideoTrack::DecodeNext(AVFrame* into) {
  for (;;) {
    int r = avcodec_receive_frame(decoder_.get(), into);
    if (r == 0) return true;
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN)) {
      throw Error(path_ + ": frame " + std::to_string(next_) + " cannot be decoded: " +
                  AvErrorText(r));
    }
    if (flushed_) return false;
    r = av_read_frame(input_.get(), packet_.get());
    if (r == AVERROR_EOF) {
      flushed_ = true;
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    Check(r, path_ + ": read error near frame " + std::to_string(next_));
    if (packet_->stream_index == stream_) {
      r = avcodec_send_packet(decoder_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (r < 0 && r != AVERROR(EAGAIN)) {
        throw Error(path_ + ": frame " + std::to_string(next_) + " cannot be decoded: " +
                    AvErrorText(r));
      }
    } else {
      av_packet_unref(packet_.get());
    }
  }
}

SharedFrame VideoTrack::Get(int64_t k) {
  std::lock_guard lock(mutex_);
  if (k < 0 || k >= frames_) {
    throw Error(path_ + ": frame " + std::to_string(k) + " does not exist (the clip has " +
                std::to_string(frames_) + ")");
  }
  if (auto it = cache_.find(k); it != cache_.end()) return it->second;
  if (k < next_) Rewind();
  while (next_ <= k) {
    FramePtr frame = NewFrame();
    if (!DecodeNext(frame.get())) {
      throw Error(path_ + ": frame " + std::to_string(k) + " is missing: the stream ends after " +
                  std::to_string(next_) + " frames");
    }
    if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0) {
      throw Error(path_ + ": frame " + std::to_string(next_) + " is corrupt");
    }
    if (frame->width != format_.width || frame->height != format_.height ||
        frame->format != format_.format) {
      throw Error(path_ + ": frame " + std::to_string(next_) + " changes the picture to " +
                  std::to_string(frame->width) + "x" + std::to_string(frame->height) + " " +
                  (av_get_pix_fmt_name(AVPixelFormat(frame->format)) ?: "?") + " from " +
                  std::to_string(format_.width) + "x" + std::to_string(format_.height));
    }
    cache_[next_++] = Share(std::move(frame));
    while (cache_.size() > cacheFrames_) cache_.erase(cache_.begin());
  }
  return cache_.at(k);
}

// ---- Audio ------------------------------------------------------------------

bool ProbeAudio(const std::string& path, AudioFormat* format) {
  InputPtr input = OpenInput(path);
  const AVCodec* codec = nullptr;
  const int s = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
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

AudioTrack::AudioTrack(const std::string& path, const AudioFormat& out)
    : path_(path), channels_(out.channels()), buffer_(size_t(out.channels())) {
  input_ = OpenInput(path);
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (stream_ < 0) {
    input_.reset();
    return;
  }
  decoder_ = OpenDecoder(path, input_->streams[stream_], codec);
  AVChannelLayout in{};
  if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&in, decoder_->ch_layout.nb_channels);
  } else {
    av_channel_layout_copy(&in, &decoder_->ch_layout);
  }
  SwrContext* raw = nullptr;
  const int r = swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&out.layout), AV_SAMPLE_FMT_FLTP, out.sampleRate, &in,
                                    decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&in);
  resampler_.reset(raw);
  Check(r, path + ": cannot resample its audio");
  Check(swr_init(resampler_.get()), path + ": cannot resample its audio to " +
                                        std::to_string(out.sampleRate) + " Hz");
  packet_ = NewPacket();
  frame_ = NewFrame();
}

void AudioTrack::Append(const uint8_t* const* data, int samples) {
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

void AudioTrack::Fill(int64_t until) {
  while (!ended_ && base_ + int64_t(buffer_[0].size()) < until) {
    int r = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (r == 0) {
      Append(frame_->extended_data, frame_->nb_samples);
      av_frame_unref(frame_.get());
      continue;
    }
    if (r == AVERROR_EOF) {
      Append(nullptr, 0);  // what the resampler still holds
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

void AudioTrack::MixInto(int64_t start, int count, float gain, Planes& into, int at) {
  if (silent() || gain == 0.0f || count <= 0) return;
  if (start < base_) {  // already dropped: a caller going back hears nothing there
    const int skip = int(std::min<int64_t>(base_ - start, count));
    start += skip;
    at += skip;
    count -= skip;
  }
  Fill(start + count);
  // Drop what lies before this read, in large steps so that it stays cheap.
  const int64_t drop = std::min<int64_t>(start - base_, int64_t(buffer_[0].size()));
  if (drop > 1 << 16) {
    for (auto& ch : buffer_) ch.erase(ch.begin(), ch.begin() + drop);
    base_ += drop;
  }
  const int64_t have = base_ + int64_t(buffer_[0].size());
  const int n = int(std::clamp<int64_t>(have - start, 0, count));
  for (int c = 0; c < channels_ && c < int(into.size()); ++c) {
    const float* src = buffer_[size_t(c)].data() + (start - base_);
    float* dst = into[size_t(c)].data() + at;
    for (int i = 0; i < n; ++i) dst[i] += src[i] * gain;
  }
}

void AudioTrack::Read(int64_t start, int count, Planes& into, int at) {
  for (auto& ch : into) std::fill_n(ch.data() + at, count, 0.0f);
  MixInto(start, count, 1.0f, into, at);
}

}  // namespace zk::video
