#include "conform/world_kernel.h"

#include <algorithm>
#include <cmath>

namespace zk::video {
namespace {

// ---- Context ----------------------------------------------------------------

// Coefficients into the world, as swscale's accurate path holds them: luma
// in 1/512 levels times 13-bit factors, sums in 1/2^22 levels.
enum { kYOffset, kYCoeff, kV2R, kV2G, kU2G, kU2B };
// Coefficients out of the world, 16-bit fixed point, and the offsets with
// rounding.
enum { kRY, kGY, kBY, kRU, kGU, kBU, kRV, kGV, kBV, kYAdd, kCAdd };

constexpr int kHorizontalOne = 1 << 14;  // swscale's horizontal filter weights sum to this
constexpr int kVerticalOne = 1 << 12;    // and its vertical ones to this

// The row loops are plain C++ the compiler vectorises; on x86-64 a second
// copy for AVX2 is picked at load time, where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__ELF__) && !defined(__SANITIZE_ADDRESS__)
#define ZK_ROW_LOOP __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define ZK_ROW_LOOP
#endif

// ---- Kernel -----------------------------------------------------------------

// One chroma row widened to the picture's width in 1/128 levels, as swscale's
// horizontal pass leaves it: floor of the weighted pair.
ZK_ROW_LOOP void Widen(const uint8_t* in, const std::vector<WorldKernel::Tap>& taps, int16_t* out) {
  const int n = int(taps.size());
  for (int x = 0; x < n; ++x) {
    const WorldKernel::Tap t = taps[size_t(x)];
    out[x] = int16_t((in[t.first] * (kHorizontalOne - t.weight) + in[t.first + 1] * t.weight) >> 7);
  }
}

// The same for an even width, where the taps are fixed: each output lies a
// quarter of a sample from its nearest chroma sample.
ZK_ROW_LOOP void WidenEven(const uint8_t* __restrict in, int n, int16_t* __restrict out) {
  out[0] = int16_t(in[0] << 7);
  for (int i = 1; i < n; ++i) {
    out[2 * i - 1] = int16_t((3 * in[i - 1] + in[i]) << 5);
    out[2 * i] = int16_t((in[i - 1] + 3 * in[i]) << 5);
  }
  out[2 * n - 1] = int16_t(in[n - 1] << 7);
}

// A level from a sum in 1/2^22 levels.  The sums run from about -1.4 x 2^30
// to 2.2 x 2^30 and are taken modulo 2^32: from 2.5 x 2^30 up they are
// below zero.  swscale reads them as signed and so turns white with too
// much blue (limited-range luma 255 and Cb 255) into no blue at all; here
// they saturate.
inline uint32_t Clip22(unsigned v) { return v >= 0xA0000000u ? 0 : std::min(v, (1u << 30) - 1) >> 22; }

// One world row from a luma row and two widened chroma rows of each plane.
// Down the picture the weights are 1 and 0 or a half each (see Taps), so
// the second row is the first again where it weighs nothing, and the sum
// of the two, less the offset, is the chroma value in 1/256 levels: what
// swscale holds in 1/512 levels, halved to stay in 16 bits.
ZK_ROW_LOOP void WorldRow(const uint8_t* __restrict luma, const int16_t* __restrict u0, const int16_t* __restrict u1,
                          const int16_t* __restrict v0, const int16_t* __restrict v1, const int32_t* c,
                          uint32_t* __restrict out, int width) {
  const int16_t yCoeff = int16_t(c[kYCoeff]), v2r = int16_t(c[kV2R]), v2g = int16_t(c[kV2G]),
                u2g = int16_t(c[kU2G]), u2b = int16_t(c[kU2B]);
  const int yAdd = (1 << 21) - c[kYOffset] * c[kYCoeff];
  for (int x = 0; x < width; ++x) {
    const int16_t u = int16_t(u0[x] + u1[x] - 32768), v = int16_t(v0[x] + v1[x] - 32768);
    const unsigned y = unsigned(luma[x] * yCoeff) * 512u + unsigned(yAdd);
    const unsigned r = y + unsigned(v * v2r) * 2u;
    const unsigned g = y + unsigned(v * v2g + u * u2g) * 2u;
    const unsigned b = y + unsigned(u * u2b) * 2u;
    out[x] = 0xFF000000u | Clip22(r) << 16 | Clip22(g) << 8 | Clip22(b);
  }
}

inline int R(uint32_t p) { return int(p >> 16 & 0xFF); }
inline int G(uint32_t p) { return int(p >> 8 & 0xFF); }
inline int B(uint32_t p) { return int(p & 0xFF); }
inline uint8_t Level(int v) { return uint8_t(std::clamp(v >> 16, 0, 255)); }

ZK_ROW_LOOP void LumaRow(const uint32_t* __restrict in, const int32_t* c, uint8_t* __restrict out, int width) {
  for (int x = 0; x < width; ++x) {
    const uint32_t p = in[x];
    out[x] = Level(c[kRY] * R(p) + c[kGY] * G(p) + c[kBY] * B(p) + c[kYAdd]);
  }
}

// Chroma of a 2-row band from four world rows weighted 1, 3, 3, 1 (the
// bilinear halving swscale does down the picture) and pixel pairs summed
// across it: each sum weighs 16 pixel values.
ZK_ROW_LOOP void ChromaRow(const uint32_t* const rows[4], const int32_t* c, int16_t* sums, uint8_t* __restrict u,
               uint8_t* __restrict v, int width) {
  int16_t* __restrict rs = sums;
  int16_t* __restrict gs = sums + width;
  int16_t* __restrict bs = sums + 2 * width;
  for (int x = 0; x < width; ++x) {
    const uint32_t a = rows[0][x], b = rows[1][x], d = rows[2][x], e = rows[3][x];
    rs[x] = int16_t(R(a) + 3 * (R(b) + R(d)) + R(e));
    gs[x] = int16_t(G(a) + 3 * (G(b) + G(d)) + G(e));
    bs[x] = int16_t(B(a) + 3 * (B(b) + B(d)) + B(e));
  }
  for (int x = 0; x < width / 2; ++x) {
    const int r = rs[2 * x] + rs[2 * x + 1], g = gs[2 * x] + gs[2 * x + 1], b = bs[2 * x] + bs[2 * x + 1];
    u[x] = Level(c[kRU] * r + c[kGU] * g + c[kBU] * b + c[kCAdd]);
    v[x] = Level(c[kRV] * r + c[kGV] * g + c[kBV] * b + c[kCAdd]);
  }
}

// ---- Set-up -----------------------------------------------------------------

// swscale's bilinear taps from n chroma samples to `length` picture
// samples, both sited at their centres: output i lies at (i + 0.5) * inc
// - 0.5 in the input, inc rounded to 1/65536 as swscale rounds it, the
// weights rounded to 1/16384 across and 1/4096 down.  Down the picture
// swscale then takes (as measured) the upper row alone where the lower
// weighs less than half, else the mean of the two: rows of a 4:2:0 picture
// alternate between one chroma row and the mean of two.
std::vector<WorldKernel::Tap> Taps(int n, int length, bool vertical) {
  const int one = vertical ? kVerticalOne : kHorizontalOne;
  const int64_t inc = ((int64_t(n) << 16) + length / 2) / length;
  std::vector<WorldKernel::Tap> taps(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) {
    const int64_t at = inc - 65536 + 2 * i * inc;  // in 1/131072 samples
    int64_t first = at >= 0 ? at / 131072 : -((-at + 131071) / 131072);
    const int64_t frac = at - first * 131072;
    int weight = one - int(((131072 - frac) * one + 65536) >> 17);
    if (first < 0) {
      first = 0;
      weight = 0;
    } else if (first >= n - 1) {
      first = n - 2;
      weight = one;
    }
    if (vertical) weight = weight < one / 2 ? 0 : one / 2;
    taps[size_t(i)] = {int(first), weight};
  }
  return taps;
}

// The matrix into the world from swscale's table for the space, rounded
// at the steps swscale rounds it.
void IntoWorld(int space, bool full, int32_t* c) {
  const int* t = sws_getCoefficients(space);
  int64_t crv = t[0], cbu = t[1], cgu = -t[2], cgv = -t[3], cy = 1 << 16, oy = 0;
  if (!full) {
    cy = cy * 255 / 219;
    oy = 16 << 16;
  } else {
    crv = crv * 224 / 255;
    cbu = cbu * 224 / 255;
    cgu = cgu * 224 / 255;
    cgv = cgv * 224 / 255;
  }
  auto round13 = [](int64_t f) { return int32_t((f * (1 << 13) + (1 << 15)) >> 16); };
  c[kYOffset] = int32_t(oy >> 7);  // 16 in 1/512 levels
  c[kYCoeff] = round13(cy);
  c[kV2R] = round13(crv);
  c[kV2G] = round13(cgv);
  c[kU2G] = round13(cgu);
  c[kU2B] = round13(cbu);
}

// The matrix out of the world: Kr and Kb from the same table, luma scaled
// to its range, chroma ones for sums of 16 values.
void OutOfWorld(int space, bool full, int32_t* c) {
  const int* t = sws_getCoefficients(space);
  const double kr = 1 - t[0] * 224.0 / (255.0 * 131072.0);
  const double kb = 1 - t[1] * 224.0 / (255.0 * 131072.0);
  const double ys = full ? 1.0 : 219.0 / 255.0, cs = full ? 1.0 : 224.0 / 255.0;
  const double one = 65536.0;
  c[kRY] = int32_t(std::lround(kr * ys * one));
  c[kGY] = int32_t(std::lround((1 - kr - kb) * ys * one));
  c[kBY] = int32_t(std::lround(kb * ys * one));
  const double cu = cs / (2 * (1 - kb)) / 16, cv = cs / (2 * (1 - kr)) / 16;
  c[kRU] = int32_t(std::lround(-kr * cu * one));
  c[kGU] = int32_t(std::lround(-(1 - kr - kb) * cu * one));
  c[kBU] = int32_t(std::lround((1 - kb) * cu * one));
  c[kRV] = int32_t(std::lround((1 - kr) * cv * one));
  c[kGV] = int32_t(std::lround(-(1 - kr - kb) * cv * one));
  c[kBV] = int32_t(std::lround(-kb * cv * one));
  c[kYAdd] = (full ? 0 : 16 << 16) + (1 << 15);
  c[kCAdd] = (128 << 16) + (1 << 15);
}

bool Is420(AVPixelFormat f) { return f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P; }

}  // namespace

// The smallest side the taps above describe: swscale shortens its filters
// for chroma planes of fewer than four samples.
constexpr int kSmallest = 8;

std::unique_ptr<WorldKernel> WorldKernel::For(int w, int h, AVPixelFormat from, AVPixelFormat to, int space,
                                              bool full) {
  if (w < kSmallest || h < kSmallest) return nullptr;
  std::unique_ptr<WorldKernel> k(new WorldKernel);
  k->width_ = w;
  k->height_ = h;
  if (Is420(from) && to == AV_PIX_FMT_RGB32) {
    k->toWorld_ = true;
    IntoWorld(space, full, k->c_);
    k->across_ = Taps((w + 1) / 2, w, false);
    k->down_ = Taps((h + 1) / 2, h, true);
    k->rows_.resize(size_t(4) * w);
    return k;
  }
  // Odd sizes out of the world take swscale's other chroma path.
  if (from == AV_PIX_FMT_RGB32 && Is420(to) && w % 2 == 0 && h % 2 == 0) {
    k->toWorld_ = false;
    OutOfWorld(space, full, k->c_);
    k->rows_.resize(size_t(3) * w);
    return k;
  }
  return nullptr;
}

// ---- Entry ------------------------------------------------------------------

void WorldKernel::ToWorld(const uint8_t* const src[], const int srcStride[], uint8_t* dst, int dstStride) {
  // Two widened chroma rows of each plane, kept while the rows use them.
  int16_t* wide[2][2] = {{rows_.data(), rows_.data() + width_}, {rows_.data() + 2 * width_, rows_.data() + 3 * width_}};
  int held[2] = {-1, -1};
  auto row = [&](int r) -> int {
    for (int s = 0; s < 2; ++s) {
      if (held[s] == r) return s;
    }
    const int s = held[0] == r - 1 ? 1 : 0;  // keep the row above
    for (int p = 0; p < 2; ++p) {
      const uint8_t* in = src[1 + p] + intptr_t(r) * srcStride[1 + p];
      if (width_ % 2 == 0) {
        WidenEven(in, width_ / 2, wide[s][p]);
      } else {
        Widen(in, across_, wide[s][p]);
      }
    }
    held[s] = r;
    return s;
  };
  for (int y = 0; y < height_; ++y) {
    const Tap t = down_[size_t(y)];
    const int a = row(t.first);
    const int b = t.weight == 0 ? a : row(t.first + 1);
    WorldRow(src[0] + intptr_t(y) * srcStride[0], wide[a][0], wide[b][0], wide[a][1], wide[b][1], c_,
             reinterpret_cast<uint32_t*>(dst + intptr_t(y) * dstStride), width_);
  }
}

void WorldKernel::FromWorld(const uint8_t* src, int srcStride, uint8_t* const dst[], const int dstStride[]) {
  auto at = [&](int y) {
    return reinterpret_cast<const uint32_t*>(src + intptr_t(std::clamp(y, 0, height_ - 1)) * srcStride);
  };
  for (int y = 0; y < height_; ++y) LumaRow(at(y), c_, dst[0] + intptr_t(y) * dstStride[0], width_);
  for (int j = 0; j < height_ / 2; ++j) {
    const uint32_t* rows[4] = {at(2 * j - 1), at(2 * j), at(2 * j + 1), at(2 * j + 2)};
    ChromaRow(rows, c_, rows_.data(), dst[1] + intptr_t(j) * dstStride[1], dst[2] + intptr_t(j) * dstStride[2],
              width_);
  }
}

void WorldKernel::Convert(const uint8_t* const src[], const int srcStride[], uint8_t* const dst[],
                          const int dstStride[]) {
  if (toWorld_) {
    ToWorld(src, srcStride, dst[0], dstStride[0]);
  } else {
    FromWorld(src[0], srcStride[0], dst, dstStride);
  }
}

}  // namespace zk::video
