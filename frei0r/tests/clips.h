// Two small lossless clips made by ffmpeg, and whole renders read back as
// RGBA frames, so that another host's render of a transition can be held
// against zkhost's frame for frame.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

namespace zk::frei0r::test {

constexpr int kClipW = 160, kClipH = 120, kClipFrames = 50;

// Commands never read the test runner's input: melt and ffmpeg take keys
// from it, and a stray one (or another test's) stops a render early.
inline int Shell(const std::string& command) { return std::system(("exec </dev/null; " + command + " >/dev/null 2>&1").c_str()); }
// The same, keeping what it printed in `log` for a failure's message.
inline int Shell(const std::string& command, const std::string& log) {
  return std::system(("exec </dev/null; " + command + " >'" + log + "' 2>&1").c_str());
}
inline std::string Printed(const std::string& log) {
  std::ifstream in(log);
  return "\n" + std::string{std::istreambuf_iterator<char>(in), {}};
}

// Raw RGBA frames of the clips' size, back to back.
inline std::vector<Rgba> ReadFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(in), {}};
  std::vector<Rgba> frames;
  const size_t bytes = size_t(kClipW) * kClipH * 4;
  for (size_t at = 0; at + bytes <= all.size(); at += bytes) {
    frames.emplace_back(kClipW, kClipH);
    std::copy_n(all.data() + at, bytes, frames.back().bytes());
  }
  return frames;
}

// Any video or frame pattern ffmpeg reads, as RGBA frames (none on failure).
inline std::vector<Rgba> DecodeFrames(const std::string& input) {
  const std::string raw = input.substr(0, input.find('%')) + ".decoded.rgba";
  if (Shell(std::string(ZK_FFMPEG) + " -y -i " + input + " -f rawvideo -pix_fmt rgba " + raw) != 0) return {};
  return ReadFrames(raw);
}

// In a fresh folder: a.mkv and b.mkv (FFV1, bgr0: testsrc2 and mandelbrot,
// 160x120, 25 frames a second, 50 frames), the same as PNG frames in a/ and
// b/ (0001.png on), and their RGBA frames.
struct Clips {
  std::string dir;
  std::vector<Rgba> a, b;

  void Make() {
    char name[] = "/tmp/zkclips.XXXXXX";
    dir = mkdtemp(name) ? name : "";
    for (const auto& [clip, source] : {std::pair{"a", "testsrc2"}, std::pair{"b", "mandelbrot"}}) {
      const std::string base = dir + "/" + clip;
      std::filesystem::create_directories(base);
      Shell(std::string(ZK_FFMPEG) + " -y -f lavfi -i " + source + "=size=160x120:rate=25 -frames:v " +
            std::to_string(kClipFrames) + " -c:v ffv1 -pix_fmt bgr0 " + base + ".mkv");
      Shell(std::string(ZK_FFMPEG) + " -y -i " + base + ".mkv " + base + "/%04d.png");
    }
    a = DecodeFrames(dir + "/a.mkv");
    b = DecodeFrames(dir + "/b.mkv");
  }
  void Remove() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }

#ifdef ZK_ZKHOST
  // zkhost's whole render of variant v with an n-frame transition: the
  // first clip up to the transition, the transition, and for two-clip
  // variants the rest of the second clip.
  std::vector<Rgba> Zkhost(const Variant& v, int n) const {
    const std::string out = dir + "/zk_" + v.id + "_" + std::to_string(n);
    std::filesystem::create_directories(out);
    if (Shell(std::string(ZK_ZKHOST) + " render " + v.bundle + " --variant " + std::to_string(v.which) +
              " --frames " + std::to_string(n) + " -q -y " + dir + "/a.mkv" +
              (v.twoClips ? " " + dir + "/b.mkv" : "") + " -o " + out + "/%04d.png") != 0) {
      return {};
    }
    return DecodeFrames(out + "/%04d.png");
  }
#endif
};

// The index of the first frame that differs, or -1 when the renders are
// the same frames.
inline int FirstDifference(const std::vector<Rgba>& got, const std::vector<Rgba>& want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    if (!(ToImage(got[i]) == ToImage(want[i]))) return int(i);
  }
  return got.size() == want.size() ? -1 : int(std::min(got.size(), want.size()));
}

}  // namespace zk::frei0r::test
