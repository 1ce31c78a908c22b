#include "progress.h"

#include <cmath>

namespace zk::frei0r {

TransitionFrame FrameForProgress(double p) {
  if (!(p > 0.0)) return {-1, 1};  // also NaN
  if (p >= 1.0) return {0, 1};
  // Interpolated keyframes land within a few ulps of the fraction they
  // stand for; two fractions of denominators up to 2^20 lie at least 2^-40
  // (9e-13) apart, so a match within 1e-13 is the only one.
  constexpr double kTolerance = 1e-13;
  int64_t hPrev = 0, kPrev = 1, h = 1, k = 0;
  double x = p;
  for (int i = 0; i < 64; ++i) {
    const double a = std::floor(x);
    const int64_t ai = int64_t(a);
    const int64_t hNext = ai * h + hPrev, kNext = ai * k + kPrev;
    if (kNext > kMaxFrameCount) break;
    hPrev = h, kPrev = k, h = hNext, k = kNext;
    if (std::fabs(p - double(h) / double(k)) <= kTolerance) break;
    const double frac = x - a;
    if (frac <= 0.0) break;
    x = 1.0 / frac;
  }
  if (k == 0) return {-1, 1};
  return {int32_t(h - 1), int32_t(k)};
}

}  // namespace zk::frei0r
