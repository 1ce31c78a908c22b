// Pixel-map locking, the check of delivered frames and the brightness-keyed
// pass that every renderer of both bundles is built on.
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "plugin_support.h"

namespace zk {
namespace {

constexpr int kMaxBrightness = 765;

// The brightness range [lo, hi] that passes a threshold in a sense.  On
// integer brightness b, b > t holds exactly when b >= floor(t) + 1, and
// b < t exactly when b <= ceil(t) - 1; NaN passes nothing.  Deciding once
// per frame keeps the per-pixel test to one integer compare.
struct PassRange {
  int lo;
  int hi;
  bool Empty() const { return lo > hi; }
};

PassRange RangeFor(double threshold, KeySense sense) {
  if (std::isnan(threshold)) return {1, 0};
  if (sense == KeySense::kAbove) {
    if (threshold < 0) return {0, kMaxBrightness};
    if (threshold >= kMaxBrightness) return {1, 0};
    return {static_cast<int>(std::floor(threshold)) + 1, kMaxBrightness};
  }
  if (threshold > kMaxBrightness) return {0, kMaxBrightness};
  if (threshold <= 0) return {1, 0};
  return {0, static_cast<int>(std::ceil(threshold)) - 1};
}

inline unsigned Brightness(uint32_t pixel) {
  return ((pixel >> 16) & 0xFFu) + ((pixel >> 8) & 0xFFu) + (pixel & 0xFFu);
}

constexpr int kBlock = 16;

// Bit i set when pixel i of the block has a brightness in [lo, hi].
#if defined(__SSE2__)
inline uint32_t BlockMask(const uint32_t* pixels, int lo, int hi) {
  const __m128i byte = _mm_set1_epi32(0xFF);
  const __m128i below = _mm_set1_epi32(lo - 1), above = _mm_set1_epi32(hi + 1);
  uint32_t mask = 0;
  for (int i = 0; i < kBlock; i += 4) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + i));
    const __m128i sum = _mm_add_epi32(
        _mm_add_epi32(_mm_and_si128(_mm_srli_epi32(p, 16), byte),
                      _mm_and_si128(_mm_srli_epi32(p, 8), byte)),
        _mm_and_si128(p, byte));
    const __m128i in = _mm_and_si128(_mm_cmpgt_epi32(sum, below), _mm_cmplt_epi32(sum, above));
    mask |= uint32_t(_mm_movemask_ps(_mm_castsi128_ps(in))) << i;
  }
  return mask;
}
#else
inline uint32_t BlockMask(const uint32_t* pixels, int lo, int hi) {
  uint32_t mask = 0;
  for (int i = 0; i < kBlock; ++i) {
    const int b = int(Brightness(pixels[i]));
    mask |= uint32_t(b >= lo && b <= hi) << i;
  }
  return mask;
}
#endif

}  // namespace

LockedPixMap LockFramePixels(GWorldPtr world) {
  LockedPixMap map;
  map.handle = GetGWorldPixMap(world);
  Handle h = reinterpret_cast<Handle>(map.handle);
  map.handleState = HGetState(h);
  MoveHHi(h);
  HLock(h);
  map.pixelState = GetPixelsState(map.handle);
  LockPixels(map.handle);
  return map;
}

void RestoreFramePixels(const LockedPixMap& map) {
  HSetState(reinterpret_cast<Handle>(map.handle), map.handleState);
  SetPixelsState(map.handle, map.pixelState);
}

bool IsUsableFrame(GWorldPtr world, int16_t width, int16_t height) {
  if (world == nullptr) return false;
  PixMapHandle pm = GetGWorldPixMap(world);
  if (pm == nullptr) return false;
  // An empty frame is locked and given back, but none of it is read.
  if (width <= 0 || height <= 0) return true;
  if (GetPixDepth(pm) != 32 || GetPixBaseAddr(pm) == nullptr) return false;
  Rect bounds;
  GetPortBounds(world, &bounds);
  return bounds.top == 0 && bounds.left == 0 && bounds.right >= width && bounds.bottom >= height &&
         GetPixRowBytes(pm) >= 4 * int32_t(width);
}

ZKPluginResult HeldFrame::Fetch(int32_t frameNumber, int16_t width, int16_t height,
                                ZKRefDVQuality quality) {
  const ZKProcs& procs = *params_.procs;
  const ZKPluginResult got = ResultOf(procs.GetFrame(params_.instance, frameNumber, &world_, width,
                                                     height, quality, &volume_, &cookie_));
  if (got != kPluginOK) return got;
  if (!IsUsableFrame(world_, width, height)) {
    procs.ReleaseFrame(params_.instance, cookie_);
    return kPluginCantGetNeededFrame;
  }
  lock_.emplace(world_);
  held_ = true;
  return kPluginOK;
}

ZKPluginResult HeldFrame::MixAudio(int16_t volume) const {
  return ResultOf(params_.procs->MixAudio(params_.instance, cookie_, volume));
}

ZKPluginResult HeldFrame::GiveBack() {
  if (!held_) return kPluginOK;
  Unlock();
  held_ = false;
  return ResultOf(params_.procs->ReleaseFrame(params_.instance, cookie_));
}

ZKPluginResult KeyedPixelPass(const ZKProcs& procs, const KeyedPass& pass) {
  const PassRange range = RangeFor(pass.threshold, pass.sense);
  if (range.Empty() || pass.width <= 0 || pass.height <= 0) return kPluginOK;
  const auto* base = reinterpret_cast<const unsigned char*>(GetPixBaseAddr(pass.key->handle));
  const intptr_t rowBytes = GetPixRowBytes(pass.key->handle);
  PixMapPtr src = *pass.source->handle;
  PixMapPtr dst = *pass.destination->handle;
  const auto blit = procs.Blit;
  const unsigned lo = static_cast<unsigned>(range.lo);
  const unsigned span = static_cast<unsigned>(range.hi - range.lo);
  // Brightness in [lo, lo + span]: one unsigned compare, below lo wraps high.
  auto passes = [lo, span](uint32_t pixel) { return Brightness(pixel) - lo <= span; };

  ZKPluginResult result = kPluginOK;
  Rect srcRect, dstRect;
  auto copy = [&](int16_t c) {
    srcRect.left = c;
    srcRect.right = int16_t(c + 1);
    dstRect.left = int16_t(pass.originLeft + c);
    dstRect.right = int16_t(pass.originLeft + c + 1);
    const ZKPluginResult copied = ResultOf(blit(src, dst, &srcRect, &dstRect, 255));
    if (result == kPluginOK) result = copied;
  };
  // Keys are tested a block at a time without branches, then one host
  // call per set bit.
  const int16_t width = pass.width;
  const int16_t blockEnd = int16_t(width - width % kBlock);
  for (int16_t r = 0; r < pass.height; ++r) {
    srcRect.top = r;
    srcRect.bottom = int16_t(r + 1);
    dstRect.top = int16_t(pass.originTop + r);
    dstRect.bottom = int16_t(pass.originTop + r + 1);
    const auto* row = reinterpret_cast<const uint32_t*>(base + r * rowBytes);
    for (int16_t c = 0; c < blockEnd; c = int16_t(c + kBlock)) {
      uint32_t mask = BlockMask(row + c, range.lo, range.hi);
      while (mask != 0) {
        copy(int16_t(c + __builtin_ctz(mask)));
        mask &= mask - 1;
      }
    }
    for (int16_t c = blockEnd; c < width; ++c) {
      if (passes(row[c])) copy(c);
    }
  }
  return result;
}

}  // namespace zk
