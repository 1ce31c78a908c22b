// Whole pictures' buffers, pooled, in the platform's pixel blocks (huge
// pages where the kernel has them): a fresh 1080p picture in small pages
// costs hundreds of page faults, each some microseconds on a virtual
// machine, so a render faults its pictures in once and then reuses them.
#pragma once

#include <mutex>

#include "media/av.h"

namespace zk::video {

// Pictures of one size and format, their buffers going back to the pool
// when the last reference to them goes.  Safe from any thread; buffers in
// use outlive the pool.
class PicturePool {
 public:
  // lineAlign: every line a multiple of it (a power of two; at least 64 is used).
  PicturePool(int width, int height, AVPixelFormat format, int lineAlign = 64);
  ~PicturePool();
  PicturePool(const PicturePool&) = delete;
  PicturePool& operator=(const PicturePool&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  AVPixelFormat format() const { return format_; }
  // Sets the frame's buf, data and linesize; false when out of memory.
  bool Fill(AVFrame* frame);
  // A new frame of the pool's size and format.  Throws when out of memory.
  FramePtr Get();

 private:
  int width_, height_;
  AVPixelFormat format_;
  int linesize_[4] = {0, 0, 0, 0};
  size_t offset_[4] = {0, 0, 0, 0};
  AVBufferPool* pool_ = nullptr;
};

// Makes a decoder take its pictures from a pool, remade when the size or
// format changes.  Attach before the decoder opens; the object must outlive
// the decoder (its frames need not).
class DecoderPictures {
 public:
  void Attach(AVCodecContext* decoder);
  // Lets go of the pool once its decoder is gone: pictures still in use
  // are freed as they are let go.
  void Release();

 private:
  static int GetBuffer(AVCodecContext* c, AVFrame* frame, int flags);
  std::mutex mutex_;
  std::unique_ptr<PicturePool> pool_;
};

}  // namespace zk::video
