#include "cli/demo.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "output/output.h"

namespace zk::video {
namespace {

constexpr double kPi = 3.14159265358979323846;

uint32_t Rgb(double r, double g, double b) {
  auto c = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
  return 0xFF000000u | c(r) << 16 | c(g) << 8 | c(b);
}

// One frame of a style at time t (seconds).  Brightness covers the whole
// range, so every threshold of a transition has pixels to work on.
void Draw(std::vector<uint32_t>& px, int w, int h, int style, double t) {
  const double cx = w * (0.15 + 0.7 * std::fmod(t / 3.0 + style * 0.5, 1.0));
  const double cy = h * (0.5 + 0.25 * std::sin(2 * kPi * t / 2.0 + style));
  const double rad = h * 0.14;
  const int sq = h / 5;
  const int sx = int(w * (0.8 - 0.6 * std::fmod(t / 4.0, 1.0)));
  const int sy = style == 0 ? h / 8 : h - h / 8 - sq - h / 16;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double u = double(x) / w, v = double(y) / h;
      uint32_t p;
      if (y >= h - h / 16) {
        p = Rgb(u, u, u);  // a grey ramp along the bottom
      } else if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < rad * rad) {
        p = style == 0 ? Rgb(1, 1, 1) : Rgb(1, 0.9, 0.2);
      } else if (x >= sx && x < sx + sq && y >= sy && y < sy + sq) {
        p = style == 0 ? Rgb(0, 0, 0) : Rgb(0.1, 0, 0.3);
      } else if (style == 0) {
        const double s = 0.5 + 0.5 * std::sin(2 * kPi * (u + 0.25 * t));
        p = Rgb(s, 0.6 * v + 0.2 * s, 1.0 - 0.8 * s);
      } else {
        const double s = 0.5 + 0.5 * std::sin(2 * kPi * (1.5 * v - 0.3 * t));
        p = Rgb(0.9 * (1 - u) * s + 0.1, s, 0.3 + 0.5 * u);
      }
      px[size_t(y) * w + x] = p;
    }
  }
}

}  // namespace

void MakeDemoClip(const std::string& path, int style, int width, int height, int fps,
                  double seconds) {
  VideoFormat video;
  video.width = width;
  video.height = height;
  video.rate = {fps, 1};
  video.aspect = {1, 1};
  video.format = AV_PIX_FMT_YUV420P;
  video.colour = {AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M};
  AudioFormat audio;
  audio.sampleRate = 48000;
  av_channel_layout_default(&audio.layout, 2);
  OutputOptions out;
  out.path = path;
  out.overwrite = true;
  out.preset = "fast";
  const int frames = int(std::lround(seconds * fps));
  const OutputPlan plan = PlanOutput(out);
  const Canvas canvas = plan.CanvasFor(video, path, 0, 0);
  Writer writer(out, plan, canvas, video.rate, &audio, frames);

  SwsPtr ctx(sws_getContext(width, height, AV_PIX_FMT_RGB32, width, height, AV_PIX_FMT_YUV420P,
                            SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
  if (!ctx) throw Error("cannot convert the demo pictures");
  sws_setColorspaceDetails(ctx.get(), sws_getCoefficients(SWS_CS_ITU601), 1,
                           sws_getCoefficients(SWS_CS_ITU601), 0, 0, 1 << 16, 1 << 16);
  std::vector<uint32_t> px(size_t(width) * height);
  const double pitch = style == 0 ? 440.0 : 660.0;
  int64_t sample = 0;
  for (int i = 0; i < frames; ++i) {
    Draw(px, width, height, style, double(i) / fps);
    FramePtr frame = NewVideoFrame(width, height, AV_PIX_FMT_YUV420P);
    const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(px.data()), nullptr, nullptr, nullptr};
    const int stride[4] = {width * 4, 0, 0, 0};
    sws_scale(ctx.get(), src, stride, 0, height, frame->data, frame->linesize);
    writer.WriteVideo(frame.get());

    const int64_t end = av_rescale(i + 1, audio.sampleRate, fps);
    const int count = int(end - sample);
    Planes planes(2, std::vector<float>(size_t(count)));
    for (int s = 0; s < count; ++s) {
      const float v = float(0.3 * std::sin(2 * kPi * pitch * double(sample + s) / audio.sampleRate));
      planes[0][size_t(s)] = v;
      planes[1][size_t(s)] = v;
    }
    writer.WriteAudio(planes, count);
    sample = end;
  }
  writer.Finish();
  av_channel_layout_uninit(&audio.layout);
}

}  // namespace zk::video
