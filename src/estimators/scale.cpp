#include "estimators/scale.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace tessarix {

int rescale_exponent(const Mat& y) {
  double big = 0.0;
  for (double v : y.data()) big = std::fmax(big, std::fabs(v));
  if (big == 0.0 || !std::isfinite(big)) return 0;
  int k = 0;
  std::frexp(big, &k);  // big = m 2^k, m in [0.5, 1)
  return k >= 1 && k <= kMaxOrdinaryExp ? 0 : 1 - k;
}

Mat rescaled(Mat y, int e) {
  if (e != 0) {
    for (double& v : y.data()) v = std::ldexp(v, e);
  }
  return y;
}

Panel rescaled(const Panel& panel, int e) {
  Panel out(rescaled(panel.y(), e), panel.treat_start());
  if (panel.covariates()) return std::move(out).with_covariates(*panel.covariates());
  return out;
}

double rescaled_sq(double x, int e) {
  const double out = std::ldexp(x, 2 * e);
  // A positive penalty stays positive (the smallest one there is), so that "present, tiny"
  // keeps its meaning where it differs from "absent".
  return x > 0.0 && out == 0.0 ? std::numeric_limits<double>::denorm_min() : out;
}

}  // namespace tessarix
