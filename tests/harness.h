// Shared set-up for the tests: the two bundles, loaded once, and small
// helpers to build pictures and run frames through the reference host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bundle.h"
#include "frames.h"
#include "instance.h"

namespace zk::test {

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

// A picture whose pixels run through many brightness levels, distinct per
// seed, with noise in the alpha byte that must not matter.
inline host::Image Ramp(int w, int h, unsigned seed) {
  host::Image image(w, h);
  uint32_t state = 0x9E3779B9u * (seed + 1);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      state = state * 1664525u + 1013904223u;
      const unsigned r = (state >> 24) & 0xFF, g = (state >> 16) & 0xFF, b = (state >> 8) & 0xFF;
      image.at(x, y) = Rgb(r, g, b, state & 0xFF);
    }
  }
  // Pin the extremes so every picture holds pure black and pure white.
  if (w * h >= 2) {
    image.at(0, 0) = Rgb(0, 0, 0, 0x55);
    image.at(w - 1, h - 1) = Rgb(255, 255, 255, 0xAA);
  }
  return image;
}

}  // namespace zk::test
