#include "estimators/sc/synthetic.hpp"

#include <cmath>

#include "estimators/sc/common.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::sc::synthetic {

namespace {

// Largest binary exponent of the penalised linear term: far below overflow.
constexpr int kMaxPenaltyExp = 512;

// Each donor's squared distance to the treated pre-period path, sum_t (y_pre[t] - x0(t, j))^2.
std::vector<double> squared_distances(const Mat& x0, std::span<const double> y_pre) {
  std::vector<double> d(x0.cols());
  for (std::size_t j = 0; j < x0.cols(); ++j) {
    const std::span<const double> col = x0.col(j);
    double s = 0.0;
    for (std::size_t t = 0; t < col.size(); ++t) {
      const double e = y_pre[t] - col[t];
      s += e * e;
    }
    d[j] = s;
  }
  return d;
}

}  // namespace

std::vector<double> solve_weights(const Mat& x0, std::span<const double> y_pre,
                                  const ScOptions& options) {
  return solve_weights(x0, linalg::syrk_ata(x0), y_pre, options);
}

std::vector<double> solve_weights(const Mat& x0, Mat g, std::span<const double> y_pre,
                                  const ScOptions& options) {
  require_eq(g.rows(), x0.cols(), "SC: Gram size != donor count");
  std::vector<double> c(x0.cols());
  linalg::gemv_t(x0, y_pre, c, 1.0, 0.0);
  double ridge = options.ridge;
  if (options.penalty > 0.0) {
    // Abadie-L'Hour: + penalty/2 * sum_j w_j ||y_pre - x0_j||^2 enters the linear term.
    double half = options.penalty * 0.5;
    const std::vector<double> d = squared_distances(x0, y_pre);
    double d_max = 0.0;
    for (double v : d) d_max = std::fmax(d_max, v);
    if (d_max > 0.0 && !(half * d_max < std::ldexp(1.0, kMaxPenaltyExp))) {
      // A penalty this large against the data would overflow the linear term: the same
      // problem with the whole objective scaled down by a power of two (exact) has the same
      // minimiser, which the penalty pulls toward the donors closest to the treated path.
      int e_half = 0, e_d = 0;
      std::frexp(half, &e_half);
      std::frexp(d_max, &e_d);
      const int down = e_half + e_d - kMaxPenaltyExp;
      for (double& v : g.data()) v = std::ldexp(v, -down);
      for (double& v : c) v = std::ldexp(v, -down);
      ridge = std::ldexp(ridge, -down);
      half = std::ldexp(half, -down);
    }
    for (std::size_t j = 0; j < c.size(); ++j) c[j] = c[j] - half * d[j];
  }
  const bool bounded = options.min_weight > 0.0 || options.max_weight < 1.0;
  const std::size_t cap = bounded ? 20000 : 5000;
  const double tol = bounded ? 1e-12 : 1e-10;
  return linalg::solve_bounded(g, c, cap, ridge, options.min_weight, options.max_weight, tol).weights;
}

namespace {

// The fit at canonical scale e of the panel p, from the donors' Gram when given.
ScFit fit_in_range(const Panel& p, int e, std::size_t t0, const ScOptions& options, const Mat* gram) {
  ScOptions at_scale = options;
  at_scale.ridge = rescaled_sq(options.ridge, e);
  ScInputs in = prepare(p, t0, "no donor (never-treated) units");
  std::vector<double> w = gram != nullptr ? solve_weights(in.x0, *gram, in.y_pre, at_scale)
                                          : solve_weights(in.x0, in.y_pre, at_scale);
  std::vector<double> resid = residual(in.y_pre, in.x0, w);
  std::vector<double> counterfactual = linalg::matvec(in.x1, w);
  return assemble(in.y_post, std::move(counterfactual), std::move(resid), std::move(w),
                  std::move(in.donor_ids));
}

}  // namespace

ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int e) { return fit_in_range(p, e, t0, options, nullptr); });
}

ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options, const Mat& gram) {
  return at_canonical_scale(panel, [&](const Panel& p, int e) { return fit_in_range(p, e, t0, options, &gram); });
}

Mat gram_over(const Mat& y, std::size_t t0) {
  // t0 x N, column u = unit u's first t0 values: the pre-period block of a fit with every unit.
  Mat a(t0, y.rows());
  for (std::size_t t = 0; t < t0; ++t) {
    const std::span<const double> src = y.col(t);
    for (std::size_t u = 0; u < y.rows(); ++u) a(t, u) = src[u];
  }
  return linalg::syrk_ata(a);
}

}  // namespace tessarix::sc::synthetic
