#include "linalg/ops/norms.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "linalg/error.hpp"

namespace tessarix::linalg {

double sum(std::span<const double> x) {
  double s = 0.0;
  for (double v : x) s += v;
  return s;
}

double dot(std::span<const double> a, std::span<const double> b) {
  if (b.size() < a.size()) [[unlikely]] {
    invariant_failure("dot: second operand shorter than the first (left: " +
                      std::to_string(a.size()) + ", right: " + std::to_string(b.size()) + ")");
  }
  const std::size_t n = a.size();
  const double* pa = a.data();
  const double* pb = b.data();
  double s = 0.0;
  std::size_t i = 0;
  // Four products per iteration, still added one after another in index order.
  for (; i + 4 <= n; i += 4) {
    s += pa[i] * pb[i];
    s += pa[i + 1] * pb[i + 1];
    s += pa[i + 2] * pb[i + 2];
    s += pa[i + 3] * pb[i + 3];
  }
  for (; i < n; ++i) s += pa[i] * pb[i];
  return s;
}

double scaled_norm(std::span<const double> x) {
  double scale = 0.0;
  double sum = 1.0;
  for (double v : x) {
    if (v == 0.0) continue;
    const double a = std::fabs(v);
    if (scale < a) {
      const double r = scale / a;
      sum = 1.0 + sum * (r * r);
      scale = a;
    } else {
      const double r = a / scale;
      sum = sum + r * r;
    }
  }
  return scale * std::sqrt(sum);
}

void scale_by_pow2(std::span<double> x, int e) {
  if (e == 0) return;
  if (e >= std::numeric_limits<double>::min_exponent - 1 &&
      e <= std::numeric_limits<double>::max_exponent - 1) {
    const double factor = std::ldexp(1.0, e);
    for (double& v : x) v *= factor;
  } else {
    for (double& v : x) v = std::ldexp(v, e);
  }
}

}  // namespace tessarix::linalg
