#include "estimators/result.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/ops/norms.hpp"

namespace tessarix {

double mean(std::span<const double> x) {
  if (x.empty()) return 0.0;
  double s = 0.0;
  for (double v : x) s += v;
  return s / static_cast<double>(x.size());
}

double sum_sq_dev(std::span<const double> x) {
  const double m = mean(x);
  double ss = 0.0;
  for (double v : x) ss += (v - m) * (v - m);
  return ss;
}

double rms(std::span<const double> x) {
  const double n = static_cast<double>(std::max<std::size_t>(x.size(), 1));
  return linalg::scaled_norm(x) / std::sqrt(n);
}

int binade_shift(std::span<const double> x, int lo, int hi) {
  double big = 0.0;
  for (double v : x) big = std::fmax(big, std::fabs(v));
  if (big == 0.0 || !std::isfinite(big)) return 0;
  int k = 0;
  std::frexp(big, &k);
  return k > lo && k <= hi ? 0 : 1 - k;
}

int square_safe_exponent(std::span<const double> x) {
  // Squares of values in [2^-200, 2^200) and their sums stay far inside the normal range.
  constexpr int kSafeExp = 200;
  return binade_shift(x, -kSafeExp, kSafeExp);
}

}  // namespace tessarix
