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
  // Four running maxima, so the scan pipelines (and vectorises) instead of waiting on one
  // comparison chain; NaN entries never win a comparison and are passed over.
  double m[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t k = 0;
  for (; k + 4 <= x.size(); k += 4) {
    for (std::size_t l = 0; l < 4; ++l) {
      const double a = std::fabs(x[k + l]);
      m[l] = a > m[l] ? a : m[l];
    }
  }
  for (; k < x.size(); ++k) {
    const double a = std::fabs(x[k]);
    m[0] = a > m[0] ? a : m[0];
  }
  const double big = std::fmax(std::fmax(m[0], m[1]), std::fmax(m[2], m[3]));
  if (big == 0.0 || !std::isfinite(big)) return 0;
  int e = 0;
  std::frexp(big, &e);
  return e > lo && e <= hi ? 0 : 1 - e;
}

int square_safe_exponent(std::span<const double> x) {
  // Squares of values in [2^-200, 2^200) and their sums stay far inside the normal range.
  constexpr int kSafeExp = 200;
  return binade_shift(x, -kSafeExp, kSafeExp);
}

}  // namespace tessarix
