#include "estimators/sc/demeaned.hpp"

#include "estimators/sc/common.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::sc::demeaned {

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const FpOptions& options) {
  const std::size_t t0 = x0.rows();
  const std::size_t j_count = x0.cols();
  const double e = t0 > 0 ? 1.0 / static_cast<double>(t0) : 0.0;
  std::vector<double> m(j_count);
  Mat xd = x0;
  for (std::size_t j = 0; j < j_count; ++j) {
    double s = 0.0;
    for (double v : x0.col(j)) s += v;
    m[j] = e * s;
    for (double& v : xd.col(j)) v -= m[j];
  }
  double s = 0.0;
  for (double v : y_pre) s += v;
  const double ybar = e * s;
  std::vector<double> yd(y_pre.begin(), y_pre.end());
  for (double& v : yd) v -= ybar;

  std::vector<double> w =
      linalg::sc_weights_bounded(xd, yd, options.ridge, options.min_weight, options.max_weight).weights;
  std::vector<double> r = residual(yd, xd, w);

  std::vector<double> counterfactual(x1.rows());
  for (std::size_t p = 0; p < x1.rows(); ++p) {
    double dev = 0.0;
    for (std::size_t j = 0; j < j_count; ++j) dev += w[j] * (x1(p, j) - m[j]);
    counterfactual[p] = ybar + dev;
  }
  return assemble(y_post, std::move(counterfactual), std::move(r), std::move(w),
                  std::move(donor_ids));
}

ScFit fit_at(const Panel& panel, std::size_t t0, const FpOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int e) {
    FpOptions at_scale = options;
    at_scale.ridge = rescaled_sq(options.ridge, e);
    ScInputs in = prepare(p, t0, "no donor (never-treated) units");
    return fit_series(in.y_pre, in.y_post, in.x0, in.x1, std::move(in.donor_ids), at_scale);
  });
}

}  // namespace tessarix::sc::demeaned
