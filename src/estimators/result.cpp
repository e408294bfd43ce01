#include "estimators/result.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "linalg/lanes.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix {

double mean(std::span<const double> x) {
  if (x.empty()) return 0.0;
  return linalg::sum(x) / static_cast<double>(x.size());
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

namespace {

using linalg::V4;

// The largest |x[k]|, NaN entries passed over (they never win a comparison). Four running
// maxima in vector lanes, so the scan pipelines and vectorises instead of waiting on one
// comparison chain; the maximum does not depend on the order of the comparisons.
__attribute__((target_clones("avx2", "default"))) double max_magnitude(const double* x,
                                                                      std::size_t n) {
  V4 m = {0.0, 0.0, 0.0, 0.0};
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    V4 v;
    std::memcpy(&v, x + k, sizeof v);
    const V4 a = v < 0.0 ? -v : v;
    m = a > m ? a : m;
  }
  double big = std::fmax(std::fmax(m[0], m[1]), std::fmax(m[2], m[3]));
  for (; k < n; ++k) {
    const double a = std::fabs(x[k]);
    big = a > big ? a : big;
  }
  return big;
}

}  // namespace

int binade_shift(std::span<const double> x, int lo, int hi) {
  const double big = max_magnitude(x.data(), x.size());
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
