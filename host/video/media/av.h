// Ownership of FFmpeg objects, and turning FFmpeg's error codes into the
// host's errors.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "bundle.h"

namespace zk::video {

using zk::host::Error;

struct InputDeleter {
  // A context reading through its own AVIOContext (AVFMT_FLAG_CUSTOM_IO)
  // owns it here, with its buffer and an av_malloc'd opaque.
  void operator()(AVFormatContext* c) const {
    AVIOContext* custom = c != nullptr && (c->flags & AVFMT_FLAG_CUSTOM_IO) ? c->pb : nullptr;
    avformat_close_input(&c);
    if (custom != nullptr) {
      av_freep(&custom->buffer);
      av_freep(&custom->opaque);
      avio_context_free(&custom);
    }
  }
};
struct OutputDeleter {
  // Closes the file (when the muxer opened one) and frees the context.
  void operator()(AVFormatContext* c) const {
    if (c == nullptr) return;
    if (c->oformat != nullptr && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct SwrDeleter {
  void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;
// A decoded frame shared between the cache and the threads that read it.
using SharedFrame = std::shared_ptr<const AVFrame>;

// FFmpeg's text for an error code ("Invalid data found when processing input").
inline std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

// Throws an Error "<what>: <FFmpeg's reason>" when code is negative.
inline int Check(int code, const std::string& what) {
  if (code < 0) throw Error(what + ": " + AvErrorText(code));
  return code;
}

inline FramePtr NewFrame() {
  FramePtr f(av_frame_alloc());
  if (!f) throw Error("out of memory for a frame");
  return f;
}

// A picture of w x h in a pixel format, its buffers allocated.
inline FramePtr NewVideoFrame(int w, int h, AVPixelFormat format) {
  FramePtr f = NewFrame();
  f->width = w;
  f->height = h;
  f->format = format;
  Check(av_frame_get_buffer(f.get(), 0), "out of memory for a " + std::to_string(w) + "x" +
                                             std::to_string(h) + " frame");
  return f;
}

inline PacketPtr NewPacket() {
  PacketPtr p(av_packet_alloc());
  if (!p) throw Error("out of memory for a packet");
  return p;
}

inline SharedFrame Share(FramePtr frame) {
  return SharedFrame(frame.release(), [](const AVFrame* f) {
    AVFrame* m = const_cast<AVFrame*>(f);
    av_frame_free(&m);
  });
}

}  // namespace zk::video
