#include "estimators/sc/robust.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "estimators/sc/common.hpp"
#include "linalg/factor/svd.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/solve/lstsq.hpp"

namespace tessarix::sc::robust {

std::size_t retained_rank(std::span<const double> s, std::size_t t0, std::size_t n_donors,
                          const RscOptions& options) {
  const std::size_t l = std::min({t0, s.size(), n_donors});
  const std::size_t k_max = std::max<std::size_t>(l, 1);
  if (options.rank) return *options.rank == 0 ? 1 : std::min(*options.rank, k_max);
  double total = 0.0;
  for (double v : s) total += v * v;
  if (total <= 0.0) return k_max;
  const double target = std::clamp(options.energy, 0.0, 1.0) * total;
  double running = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i + 1 >= l) return std::min(k_max, i + 1);
    running += s[i] * s[i];
    if (running >= target) return std::min(k_max, i + 1);
  }
  return k_max;
}

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const RscOptions& options) {
  const std::size_t t0 = x0.rows();
  const std::size_t n_post = x1.rows();
  const std::size_t j_count = x0.cols();
  Mat m(t0 + n_post, j_count);
  for (std::size_t j = 0; j < j_count; ++j) {
    std::copy_n(x0.col(j).data(), t0, m.col(j).data());
    std::copy_n(x1.col(j).data(), n_post, m.col(j).data() + t0);
  }
  const linalg::Svd svd = linalg::Svd::make_tol(m, 60, 1e-15);
  const std::size_t k = retained_rank(svd.s, t0, j_count, options);

  Mat f_pre(t0, k), f_post(n_post, k);
  for (std::size_t c = 0; c < k; ++c) {
    const double sigma = svd.s[c];
    for (std::size_t t = 0; t < t0; ++t) f_pre(t, c) = svd.u(t, c) * sigma;
    for (std::size_t p = 0; p < n_post; ++p) f_post(p, c) = svd.u(t0 + p, c) * sigma;
  }
  std::vector<double> beta;
  if (options.ridge > 0.0) {
    beta = linalg::ridge(f_pre, y_pre, options.ridge);
  } else {
    // Least squares fails only without a pre-period (t0 = 0), which leaves no fit to make.
    auto solved = linalg::ols(f_pre, y_pre);
    beta = solved ? std::move(*solved) : std::vector<double>(k, 0.0);
  }

  const Mat v_k = svd.v.leading_cols(k);
  std::vector<double> w = linalg::matvec(v_k, beta);
  std::vector<double> r = residual(y_pre, f_pre, beta);
  std::vector<double> counterfactual = linalg::matvec(f_post, beta);
  return assemble(y_post, std::move(counterfactual), std::move(r), std::move(w),
                  std::move(donor_ids));
}

namespace {

// The e for which 2^e times the largest magnitude on the given rows (treated) or on the other
// rows (treated = false) of y lies in [1, 2); 0 when those rows are all zero.
int group_exponent(const Panel& panel, bool treated) {
  const Mat& y = panel.y();
  std::vector<double> values;
  for (std::size_t u = 0; u < panel.n_units(); ++u) {
    if (panel.treat_start()[u].has_value() != treated) continue;
    for (std::size_t t = 0; t < panel.n_periods(); ++t) values.push_back(y(u, t));
  }
  return binade_shift(values, 0, 1);
}

}  // namespace

// The fit is linear in the treated outcomes and, its weights unconstrained, invariant to the
// donors' scale: scaling the treated rows by 2^a and the donors by 2^b (the ridge by 2^2b)
// scales the counterfactual by 2^a and the weights by 2^(a - b), exactly. So the treated
// units and the donors are each fitted at their own canonical scale, where the spectrum, the
// regression and every path stay far inside the double range: a treated unit that dwarfs the
// donors (1e308 against 1e-12) no longer overflows the regression to infinities and NaN, and
// neither group is pushed into the subnormals by the other's magnitude. The weights come back
// times 2^(b - a), which is their true value, or +-inf where that lies beyond the doubles.
ScFit fit_at(const Panel& panel, std::size_t t0, const RscOptions& options) {
  const int a = group_exponent(panel, true);
  const int b = group_exponent(panel, false);
  Mat y = panel.y();
  for (std::size_t u = 0; u < panel.n_units(); ++u) {
    const int e = panel.treat_start()[u].has_value() ? a : b;
    if (e == 0) continue;
    for (std::size_t t = 0; t < panel.n_periods(); ++t) y(u, t) = std::ldexp(y(u, t), e);
  }
  const Panel scaled(std::move(y), panel.treat_start());
  RscOptions at_scale = options;
  at_scale.ridge = rescaled_sq(options.ridge, b);
  ScInputs in = prepare(scaled, t0, "no donor (never-treated) units");
  ScFit fit = unscaled(fit_series(in.y_pre, in.y_post, in.x0, in.x1, std::move(in.donor_ids), at_scale), a);
  for (double& w : fit.weights) w = std::ldexp(w, b - a);
  return fit;
}

}  // namespace tessarix::sc::robust
