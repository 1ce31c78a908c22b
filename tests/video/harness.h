// Running zkhost and ffmpeg, and reading back what they wrote.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/media.h"

namespace zk::test {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // exit status, or -1 when killed
  std::string output;  // stdout and stderr together
};

// Commands never read the test runner's input: melt and ffmpeg take keys
// from it, and a stray one (or another test's) stops a render early.
inline Outcome Shell(const std::string& command) {
  Outcome run;
  FILE* p = popen(("exec </dev/null; " + command + " 2>&1").c_str(), "r");
  if (p == nullptr) return run;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
  const int st = pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return run;
}

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

inline Outcome Zkhost(const std::string& args) { return Shell(std::string(ZKHOST) + " " + args); }

// Makes a clip with the ffmpeg command; fails the test when it cannot.
inline void Ffmpeg(const std::string& args, const std::string& out) {
  if (fs::exists(out)) return;
  const Outcome r = Shell("ffmpeg -nostdin -v error -y " + args + " " + Quote(out));
  ASSERT_EQ(r.status, 0) << r.output;
}

// A folder for one test suite's clips, removed at the end of the program.
inline const fs::path& WorkDir() {
  static const fs::path dir = [] {
    char tmpl[] = "/tmp/zkhost-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    std::string path = d ? d : "/tmp/zkhost-test";
    std::atexit([] { std::error_code ec; fs::remove_all(WorkDir(), ec); });
    return fs::path(path);
  }();
  return dir;
}

// The clips most tests use: 160x120 at 25 fps, 3 s, with tones of 440 Hz
// (A, 48 kHz stereo) and 880 Hz (B, 44.1 kHz mono, resampled by the host).
inline std::string ClipA() {
  const std::string p = (WorkDir() / "a.mkv").string();
  Ffmpeg("-f lavfi -i testsrc2=s=160x120:r=25:d=3 -f lavfi -i sine=f=440:r=48000:d=3 "
         "-ac 2 -c:v png -c:a pcm_s16le", p);
  return p;
}
inline std::string ClipB() {
  const std::string p = (WorkDir() / "b.mkv").string();
  Ffmpeg("-f lavfi -i mandelbrot=s=160x120:r=25 -f lavfi -i sine=f=880:r=44100:d=3 "
         "-t 3 -c:v png -c:a pcm_s16le", p);
  return p;
}

// Every frame of a video file as 0x00RRGGBB words (decoded and converted
// by FFmpeg; for RGB input and PNG output that is exact).
inline std::vector<std::vector<uint32_t>> RgbFrames(const std::string& path, int* w = nullptr,
                                                   int* h = nullptr) {
  zk::video::VideoTrack track(path, 4);
  std::vector<std::vector<uint32_t>> frames;
  const auto& f = track.format();
  if (w) *w = f.width;
  if (h) *h = f.height;
  zk::video::SwsPtr ctx(sws_getContext(f.width, f.height, f.format, f.width, f.height,
                                       AV_PIX_FMT_RGB32, SWS_POINT, nullptr, nullptr, nullptr));
  for (int64_t k = 0; k < track.frames(); ++k) {
    auto frame = track.Get(k);
    std::vector<uint32_t> px(size_t(f.width) * f.height);
    uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(px.data()), nullptr, nullptr, nullptr};
    const int stride[4] = {f.width * 4, 0, 0, 0};
    sws_scale(ctx.get(), frame->data, frame->linesize, 0, f.height, dst, stride);
    for (auto& p : px) p &= 0xFFFFFF;
    frames.push_back(std::move(px));
  }
  return frames;
}

// A PNG frame pattern's files, in order.
inline std::vector<std::vector<uint32_t>> PngFrames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  std::vector<std::vector<uint32_t>> frames;
  for (const auto& n : names) frames.push_back(RgbFrames(n).at(0));
  return frames;
}

// Each decoded frame's time and hash of one stream ("v" or "a"), a line
// each: equal for two files that decode to the same pictures or sound.
inline std::string FrameMd5s(const std::string& path, const std::string& stream) {
  return Shell("ffmpeg -nostdin -v error -i " + Quote(path) + " -map 0:" + stream +
               " -f framemd5 - | grep -v '^#' | cut -d, -f2,6")
      .output;
}

// The sound of a file, mixed to mono at `rate`, from time 0 of the
// container's clock as a player places it (sound that starts later is
// preceded by silence, sound before it dropped).
inline std::vector<float> MonoAudio(const std::string& path, int rate) {
  std::vector<float> samples;
  FILE* p = popen(("ffmpeg -nostdin -v error -copyts -i " + Quote(path) + " -af aresample=first_pts=0 -ac 1 -ar " +
                   std::to_string(rate) + " -f f32le -").c_str(), "r");
  if (p == nullptr) return samples;
  float buf[4096];
  size_t n;
  while ((n = fread(buf, sizeof(float), 4096, p)) > 0) samples.insert(samples.end(), buf, buf + n);
  pclose(p);
  return samples;
}

// The amplitude of a sine of frequency f in samples [start, start + count),
// by a least-squares fit of sine and cosine.
inline double Amplitude(const std::vector<float>& s, size_t start, size_t count, double f, int rate) {
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (size_t i = start; i < start + count && i < s.size(); ++i) {
    const double a = 2 * M_PI * f * double(i) / rate;
    const double si = std::sin(a), ci = std::cos(a);
    ss += si * si;
    cc += ci * ci;
    sc += si * ci;
    ys += s[i] * si;
    yc += s[i] * ci;
  }
  const double det = ss * cc - sc * sc;
  if (det <= 0) return 0;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  return std::hypot(a, b);
}

// A clip with a white flash and a 1 kHz beep together at `at` seconds (to
// the millisecond: the level changes every 48 samples), the picture first
// through `video` (more filters, or empty).
inline std::string FlashBeep(double at, const std::string& video = "", double seconds = 4) {
  const std::string t = std::to_string(at), u = std::to_string(at + 0.079);
  return "-f lavfi -i testsrc2=s=160x120:r=50:d=" + std::to_string(seconds) +
         " -f lavfi -i sine=f=1000:r=48000:samples_per_frame=48:d=" + std::to_string(seconds) + " -filter_complex \"[0]drawbox=enable='between(t," +
         t + "," + u + ")':c=white:t=fill" + video + "[v];[1]volume=volume='between(t," + t + "," + u +
         ")':eval=frame[a]\" -map [v] -map [a]";
}

struct Seen {
  int width = 0, height = 0;
  std::vector<std::vector<uint32_t>> frames;
  std::vector<float> sound;  // mono at 48 kHz
  double rate = 25;
};

// The first frame brighter than near-white on average, in seconds.
inline double FlashAt(const Seen& s) {
  for (size_t k = 0; k < s.frames.size(); ++k) {
    double sum = 0;
    for (uint32_t p : s.frames[k]) sum += (p >> 16 & 255) + (p >> 8 & 255) + (p & 255);
    if (sum / (3.0 * s.frames[k].size()) > 200) return double(k) / s.rate;
  }
  return -1;
}

inline double BeepAt(const Seen& s) {
  for (size_t i = 0; i < s.sound.size(); ++i) {
    if (std::abs(s.sound[i]) > 0.05) return double(i) / 48000;
  }
  return -1;
}

}  // namespace zk::test
