#include "linalg/ops/transform.hpp"

#include <cmath>

#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {

Householder Householder::make(std::span<const double> x) {
  Householder h;
  if (x.empty()) return h;
  const double alpha = x[0];
  const double sigma = scaled_norm(x.subspan(1));
  h.v.assign(x.begin(), x.end());
  h.v[0] = 1.0;
  if (alpha >= 0.0 && sigma == 0.0) {
    h.beta = alpha;  // already on the axis: no reflection
    return h;
  }
  const double r = std::hypot(alpha, sigma);
  const double beta = alpha <= 0.0 ? r : -r;
  const double scale = 1.0 / (alpha - beta);
  double ss = 0.0;
  for (std::size_t i = 1; i < h.v.size(); ++i) {
    h.v[i] = x[i] * scale;
    ss += h.v[i] * h.v[i];
  }
  h.tau = 2.0 / (1.0 + ss);
  h.beta = beta;
  return h;
}

}  // namespace tessarix::linalg
