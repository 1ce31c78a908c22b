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

// Keys are tested, and rectangles built, a block of columns at a time.
constexpr int kBlock = 32;
constexpr uint64_t kWholeBlock = (uint64_t(1) << kBlock) - 1;

// A pass range is one-sided (RangeFor gives [lo, 765] or [0, hi]), so a
// block is tested with one compare per pixel: brightness > lo - 1, or
// -brightness > -(hi + 1).
struct BlockTest {
  int sign;   // +1 or -1: the brightness's sign in the compare
  int floor;  // the signed brightness must exceed this
};

BlockTest TestFor(const PassRange& range) {
  if (range.lo > 0) return {1, range.lo - 1};
  return {-1, -(range.hi + 1)};
}

// Bit i set when pixel i of the block passes.
#if defined(__SSE2__)
// The test's terms in every 16-bit lane.  Every vector register is lost to
// each host call, so these are read from memory once per block.
struct BlockKeys {
  __m128i sign, floor;
  explicit BlockKeys(const BlockTest& t)
      : sign(_mm_set1_epi16(int16_t(t.sign))), floor(_mm_set1_epi16(int16_t(t.floor))) {}
};

// Each pixel's 16-bit lanes (blue + green, red) are summed and signed by one
// multiply-add; sixteen results are packed to bytes for one compare.
inline __m128i SignedBrightness(const uint32_t* pixels, __m128i sign) {
  const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
  const __m128i halves = _mm_add_epi16(_mm_and_si128(p, _mm_set1_epi32(0x00FF00FF)),
                                       _mm_and_si128(_mm_srli_epi32(p, 8), _mm_set1_epi32(0xFF)));
  return _mm_madd_epi16(halves, sign);
}

inline uint32_t SixteenMask(const uint32_t* pixels, __m128i sign, __m128i floor) {
  // Brightness is at most 765 in magnitude: the packs saturate nothing.
  const __m128i low = _mm_packs_epi32(SignedBrightness(pixels, sign), SignedBrightness(pixels + 4, sign));
  const __m128i high =
      _mm_packs_epi32(SignedBrightness(pixels + 8, sign), SignedBrightness(pixels + 12, sign));
  const __m128i in = _mm_packs_epi16(_mm_cmpgt_epi16(low, floor), _mm_cmpgt_epi16(high, floor));
  return uint32_t(_mm_movemask_epi8(in));
}

inline uint32_t BlockMask(const uint32_t* pixels, const BlockKeys& keys) {
  const __m128i sign = keys.sign, floor = keys.floor;
  uint32_t mask = 0;
  for (int i = 0; i < kBlock; i += 16) mask |= SixteenMask(pixels + i, sign, floor) << i;
  return mask;
}
#else
using BlockKeys = BlockTest;

inline uint32_t BlockMask(const uint32_t* pixels, const BlockKeys& test) {
  uint32_t mask = 0;
  for (int i = 0; i < kBlock; ++i) {
    mask |= uint32_t(test.sign * int(Brightness(pixels[i])) > test.floor) << i;
  }
  return mask;
}
#endif

// The 1 x 1 rectangles of a block's columns in one row, in 16-bit
// arithmetic.  Built before the block's copies, two to a store, so a copy
// stores nothing of its own, and the host's load of a whole rectangle is
// served by one store that covers it, never pieced together from the
// 16-bit stores of its fields.
struct alignas(16) BlockRects {
  Rect at[kBlock];
#if defined(__SSE2__)
  __m128i firstPair;   // the row's rectangles of columns 0 and 1
  __m128i twoColumns;  // a constant, kept here so the pairs are summed, not each loaded

  void StartRow(int16_t top, int16_t left) {
    const int16_t bottom = int16_t(top + 1);
    firstPair = _mm_setr_epi16(top, left, bottom, int16_t(left + 1), top, int16_t(left + 1), bottom,
                               int16_t(left + 2));
    twoColumns = _mm_set1_epi32(2 << 16);
  }

  // Two rectangles to a register; the lanes wrap as int16_t does.
  void Fill(int16_t column) {
    __m128i pair = _mm_add_epi16(firstPair, _mm_set1_epi32(int32_t(uint32_t(uint16_t(column)) << 16)));
    auto* out = reinterpret_cast<__m128i*>(at);
    for (int i = 0; i < kBlock / 2; ++i) {
      _mm_store_si128(out + i, pair);
      pair = _mm_add_epi16(pair, twoColumns);
    }
  }
#else
  int16_t top, left;

  void StartRow(int16_t t, int16_t l) { top = t, left = l; }

  void Fill(int16_t column) {
    for (int i = 0; i < kBlock; ++i) {
      const int16_t l = int16_t(left + column + i);
      at[i] = {top, l, int16_t(top + 1), int16_t(l + 1)};
    }
  }
#endif
};

// The pass over the rows: the key tested a block at a time without
// branches, then one host call per pixel that passes.  kShared: the output
// frame sits at (0, 0), so each pixel's two rectangles are equal and one
// serves as both.
template <bool kShared>
ZKPluginResult PassRows(const ZKProcs& procs, const KeyedPass& pass, const PassRange& range) {
  const auto* base = reinterpret_cast<const unsigned char*>(GetPixBaseAddr(pass.key->handle));
  const intptr_t rowBytes = GetPixRowBytes(pass.key->handle);
  PixMapPtr src = *pass.source->handle;
  PixMapPtr dst = *pass.destination->handle;
  const auto blit = procs.Blit;
  const BlockKeys keys(TestFor(range));
  const unsigned lo = static_cast<unsigned>(range.lo);
  const unsigned span = static_cast<unsigned>(range.hi - range.lo);
  // Brightness in [lo, lo + span]: one unsigned compare, below lo wraps high.
  auto passes = [lo, span](uint32_t pixel) { return Brightness(pixel) - lo <= span; };
  const int16_t width = pass.width;

  ZKPluginResult result = kPluginOK;
  BlockRects srcRects, dstRects;
  const Rect* const dstAt = kShared ? srcRects.at : dstRects.at;
  // One host call for each column of the block whose bit is set.
  auto copy = [&](size_t i) {
    const ZKPluginResult copied = ResultOf(blit(src, dst, &srcRects.at[i], &dstAt[i], 255));
    // The first failure is the pass's result; the pass goes on.
    if (copied != kPluginOK) [[unlikely]] {
      if (result == kPluginOK) result = copied;
    }
  };
  auto copyMarked = [&](uint64_t mask, int16_t c) {
    srcRects.Fill(c);
    if constexpr (!kShared) dstRects.Fill(c);
    // A block copied whole, as inside a bright or dark region, needs no
    // search for its bits.
    if (mask == kWholeBlock) {
      for (size_t i = 0; i < kBlock; ++i) copy(i);
      return;
    }
    do {
      copy(size_t(__builtin_ctzll(mask)));
      mask &= mask - 1;
    } while (mask != 0);
  };
  const int16_t blocksEnd = int16_t(width - width % kBlock);
  for (int16_t r = 0; r < pass.height; ++r) {
    srcRects.StartRow(r, 0);
    if constexpr (!kShared) dstRects.StartRow(int16_t(pass.originTop + r), pass.originLeft);
    const auto* row = reinterpret_cast<const uint32_t*>(base + r * rowBytes);
    int16_t c = 0;
    for (; c < blocksEnd; c = int16_t(c + kBlock)) {
      if (const uint64_t mask = BlockMask(row + c, keys)) copyMarked(mask, c);
    }
    uint64_t rest = 0;
    for (int i = 0; c + i < width; ++i) rest |= uint64_t(passes(row[c + i])) << i;
    if (rest != 0) copyMarked(rest, c);
  }
  return result;
}

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
  if (pass.originTop == 0 && pass.originLeft == 0) return PassRows<true>(procs, pass, range);
  return PassRows<false>(procs, pass, range);
}

}  // namespace zk
