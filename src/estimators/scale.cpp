#include "estimators/scale.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "estimators/result.hpp"

namespace tessarix {

int rescale_exponent(const Mat& y) { return binade_shift(y.data(), 0, kMaxOrdinaryExp); }

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
