// libFuzzer target for the host's media layer: a file in memory opened
// through a custom AVIOContext, probed, indexed, decoded, put on a frame
// grid, conformed into an output picture and the plug-in's world, and its
// sound placed and mixed.  Failures must be Errors, never crashes or leaks.
#include <cstdint>
#include <cstring>

#include "conform/conform.h"
#include "media/media.h"

namespace {

using namespace zk::video;

struct Memory {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int Read(void* opaque, uint8_t* buf, int n) {
  auto* m = static_cast<Memory*>(opaque);
  const size_t count = std::min(size_t(n), m->size - m->pos);
  if (count == 0) return AVERROR_EOF;
  std::memcpy(buf, m->data + m->pos, count);
  m->pos += count;
  return int(count);
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(opaque);
  if (whence & AVSEEK_SIZE) return int64_t(m->size);
  int64_t to = offset;
  if ((whence & 3) == SEEK_CUR) to += int64_t(m->pos);
  if ((whence & 3) == SEEK_END) to += int64_t(m->size);
  if (to < 0 || to > int64_t(m->size)) return -1;
  m->pos = size_t(to);
  return to;
}

InputOpener MemoryOpener(const uint8_t* data, size_t size) {
  return [data, size] {
    auto* m = static_cast<Memory*>(av_malloc(sizeof(Memory)));
    auto* buffer = static_cast<uint8_t*>(av_malloc(4096));
    AVIOContext* io = m && buffer ? avio_alloc_context(buffer, 4096, 0, m, Read, nullptr, Seek) : nullptr;
    AVFormatContext* ctx = io ? avformat_alloc_context() : nullptr;
    if (ctx == nullptr) {
      if (io) avio_context_free(&io);
      av_free(buffer);
      av_free(m);
      throw zk::host::Error("out of memory");
    }
    *m = {data, size, 0};
    ctx->pb = io;
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    const int r = avformat_open_input(&ctx, nullptr, nullptr, nullptr);
    if (r < 0) {  // the context is freed, the reader is ours
      av_freep(&io->buffer);
      av_freep(&io->opaque);
      avio_context_free(&io);
      Check(r, "cannot open");
    }
    InputPtr input(ctx);
    Check(avformat_find_stream_info(input.get(), nullptr), "cannot read its streams");
    return input;
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  av_log_set_level(AV_LOG_QUIET);
  gMaxPixels = 1024 * 1024;  // a 4 KB file can declare any picture; decoding one of gigapixels proves nothing here
  const InputOpener open = MemoryOpener(data, size);
  try {
    VideoTrack video("fuzz", open, 4);
    const VideoFormat& f = video.format();
    const ClipGrid grid(video, {25, 1});
    const Canvas canvas = MakeCanvas(f, "fuzz", AV_PIX_FMT_YUV420P, 34, 20);
    const Placement place = Place(f, canvas, Fit::kPad);
    Conformer conformer(SWS_BILINEAR);
    FramePtr out = NewVideoFrame(canvas.width, canvas.height, canvas.format);
    FramePtr world = NewVideoFrame(canvas.width, canvas.height, AV_PIX_FMT_RGB32);
    for (int64_t g = 0; g < std::min<int64_t>(grid.frames(), 6); ++g) {
      SharedFrame frame = video.Get(grid.Source(g));
      conformer.Convert(*frame, f, place, canvas, OutputTarget(canvas), out->data, out->linesize);
      conformer.Convert(*frame, f, place, canvas, WorldTarget(), world->data, world->linesize);
    }
    AudioFormat format;
    format.sampleRate = 48000;
    av_channel_layout_default(&format.layout, 2);
    AudioTrack audio("fuzz", open, format, video.start(), video.duration());
    av_channel_layout_uninit(&format.layout);
    Planes planes(2, std::vector<float>(4800));
    audio.MixInto(0, 4800, 1.0f, planes, 0);
    audio.MixInto(2400, 4800, 0.5f, planes, 0);
  } catch (const zk::host::Error&) {
  }
  return 0;
}
