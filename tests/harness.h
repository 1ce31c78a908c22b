// Shared set-up for the tests: the two bundles, loaded once, and small
// helpers to build pictures and run frames through the reference host.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"
#include "frames.h"
#include "instance.h"
#include "service_rig.h"

namespace zk::test {

using host::Image;
using host::PluginInstance;
using host::Service;
using host::World;

// What an output world holds where a render must not write.
constexpr uint32_t kUntouched = 0x07070707;

inline std::string BundlePath(const std::string& name) {
  return std::string(ZK_BUNDLE_DIR) + "/" + name + ".so";
}

// The bundle of that name, loaded once for the whole test program.
inline const host::Bundle& LoadedBundle(const std::string& name) {
  static std::unique_ptr<host::Bundle> cindergate = host::Bundle::Open(BundlePath("Cindergate"));
  static std::unique_ptr<host::Bundle> ashveil = host::Bundle::Open(BundlePath("Ashveil"));
  return name == "Cindergate" ? *cindergate : *ashveil;
}

inline uint32_t Rgb(unsigned r, unsigned g, unsigned b, unsigned a = 0) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}

inline unsigned BrightnessOf(uint32_t p) {
  return ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF);
}

}  // namespace zk::test

namespace zk::test {

// Splits a brightness (0 to 765) into a pixel of that red + green + blue.
inline uint32_t PixelOfBrightness(unsigned s, unsigned alpha) {
  const unsigned r = s > 255 ? 255 : s;
  const unsigned g = s - r > 255 ? 255 : s - r;
  return Rgb(r, g, s - r - g, alpha);
}

// A picture that holds every brightness 0 to 765 (given 766 pixels or
// more), laid out differently for each seed.
inline host::Image Spread(int w, int h, unsigned seed) {
  host::Image image(w, h);
  for (int i = 0; i < w * h; ++i) {
    const unsigned s = unsigned((int64_t(i) * 7 + seed * 131) % 766);
    image.pixels[size_t(i)] = PixelOfBrightness(s, (i * 37 + seed) & 0xFF);
  }
  return image;
}

// A point of a transition: output frame renderFrame of frameCount.
struct Progress {
  int renderFrame;
  int frameCount;
};
inline void PrintTo(const Progress& p, std::ostream* os) {
  *os << "frame " << p.renderFrame << " of " << p.frameCount;
}

// The recorded service calls as short lines; a run of 1 x 1 Blits is
// folded into one "Pass n" line.
inline std::vector<std::string> Trace(const ServiceRig& rig) {
  std::vector<std::string> lines;
  int run = 0;
  auto flush = [&] {
    if (run > 0) lines.push_back("Pass " + std::to_string(run));
    run = 0;
  };
  for (const ServiceCall& c : rig.calls()) {
    if (c.service == host::Service::kBlit && c.args[2] - c.args[0] == 1 &&
        c.args[3] - c.args[1] == 1) {
      ++run;
      continue;
    }
    flush();
    std::string line = host::ServiceName(c.service);
    if (c.service == host::Service::kBlit) {
      line += " whole";
    } else {
      for (int64_t a : c.args) line += " " + std::to_string(a);
    }
    lines.push_back(line);
  }
  flush();
  return lines;
}

}  // namespace zk::test

namespace zk::test {

// Equal pictures, or where the first difference lies and how many differ.
inline ::testing::AssertionResult SameImage(const host::Image& got, const host::Image& want) {
  if (got.width != want.width || got.height != want.height) {
    return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height
                                         << " does not match " << want.width << "x" << want.height;
  }
  int differ = 0, fx = -1, fy = -1;
  for (int y = 0; y < got.height; ++y) {
    for (int x = 0; x < got.width; ++x) {
      if (got.at(x, y) != want.at(x, y) && differ++ == 0) fx = x, fy = y;
    }
  }
  if (differ == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << differ << " pixels differ; first at (" << fx << ", " << fy << "): got " << std::hex
         << got.at(fx, fy) << ", want " << want.at(fx, fy);
}

}  // namespace zk::test

#define EXPECT_IMAGE_EQ(got, want) EXPECT_TRUE(::zk::test::SameImage((got), (want)))
