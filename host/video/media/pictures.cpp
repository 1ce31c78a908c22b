#include "media/pictures.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "zk_graphics.h"

namespace zk::video {
namespace {

constexpr size_t kAlign = 64;      // planes and lines: the widest SIMD load
constexpr size_t kOverread = 64;   // past each plane, for SIMD that reads over the end

void Dispose(void* opaque, uint8_t* data) { ZKDisposePixelBlock(data, reinterpret_cast<size_t>(opaque)); }

AVBufferRef* NewBlock(void*, size_t size) {
  auto* data = static_cast<uint8_t*>(ZKNewPixelBlock(size));
  if (data == nullptr) return nullptr;
  AVBufferRef* buf = av_buffer_create(data, size, Dispose, reinterpret_cast<void*>(size), 0);
  if (buf == nullptr) ZKDisposePixelBlock(data, size);
  return buf;
}

size_t Up(size_t v, size_t to) { return (v + to - 1) / to * to; }

}  // namespace

PicturePool::PicturePool(int width, int height, AVPixelFormat format, int lineAlign)
    : width_(width), height_(height), format_(format) {
  const size_t align = std::max<size_t>(kAlign, size_t(lineAlign));
  Check(av_image_fill_linesizes(linesize_, format, width), "a picture of " + std::to_string(width) + " columns");
  ptrdiff_t lines[4];
  for (int i = 0; i < 4; ++i) lines[i] = linesize_[i] = int(Up(size_t(linesize_[i]), align));
  size_t sizes[4] = {0, 0, 0, 0};  // planes the format lacks are left alone
  Check(av_image_fill_plane_sizes(sizes, format, height, lines), "a picture of " + std::to_string(height) + " rows");
  size_t total = 0;
  for (int i = 0; i < 4; ++i) {
    offset_[i] = total;
    if (sizes[i] != 0) total = Up(total + sizes[i] + kOverread, kAlign);
  }
  pool_ = av_buffer_pool_init2(total, nullptr, NewBlock, nullptr);
  if (pool_ == nullptr) throw Error("out of memory for a picture pool");
}

PicturePool::~PicturePool() { av_buffer_pool_uninit(&pool_); }

bool PicturePool::Fill(AVFrame* frame) {
  AVBufferRef* buf = av_buffer_pool_get(pool_);
  if (buf == nullptr) return false;
  frame->buf[0] = buf;
  for (int i = 0; i < 4; ++i) {
    frame->data[i] = linesize_[i] != 0 ? buf->data + offset_[i] : nullptr;
    frame->linesize[i] = linesize_[i];
  }
  frame->extended_data = frame->data;
  return true;
}

FramePtr PicturePool::Get() {
  FramePtr f = NewFrame();
  f->width = width_;
  f->height = height_;
  f->format = format_;
  if (!Fill(f.get())) {
    throw Error("out of memory for a " + std::to_string(width_) + "x" + std::to_string(height_) + " frame");
  }
  return f;
}

void DecoderPictures::Attach(AVCodecContext* decoder) {
  decoder->opaque = this;
  decoder->get_buffer2 = GetBuffer;
}

void DecoderPictures::Release() {
  std::lock_guard lock(mutex_);
  pool_.reset();
}

// Decoders that take buffers from outside (and pictures in system memory)
// get them from the pool, sized as FFmpeg's own would be; anything else is
// left to FFmpeg.
int DecoderPictures::GetBuffer(AVCodecContext* c, AVFrame* frame, int flags) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
  if (!(c->codec->capabilities & AV_CODEC_CAP_DR1) || c->codec_type != AVMEDIA_TYPE_VIDEO || desc == nullptr ||
      (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL)) != 0) {
    return avcodec_default_get_buffer2(c, frame, flags);
  }
  auto* self = static_cast<DecoderPictures*>(c->opaque);
  // FFmpeg sets the first four alignments only.
  int w = frame->width, h = frame->height, lineAlign[AV_NUM_DATA_POINTERS] = {};
  avcodec_align_dimensions2(c, &w, &h, lineAlign);
  const int widest = std::max({1, lineAlign[0], lineAlign[1], lineAlign[2], lineAlign[3]});
  std::lock_guard lock(self->mutex_);
  try {
    if (!self->pool_ || self->pool_->width() != w || self->pool_->height() != h ||
        self->pool_->format() != frame->format) {
      self->pool_ = std::make_unique<PicturePool>(w, h, AVPixelFormat(frame->format), widest);
    }
    return self->pool_->Fill(frame) ? 0 : AVERROR(ENOMEM);
  } catch (...) {
    // Nothing may unwind into FFmpeg's C: a size the pool refuses, or no
    // memory for it, is FFmpeg's to try.
    return avcodec_default_get_buffer2(c, frame, flags);
  }
}

}  // namespace zk::video
