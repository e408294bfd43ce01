#include "estimators/sc/robust.hpp"

#include <algorithm>

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

ScFit fit_at(const Panel& panel, std::size_t t0, const RscOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int e) {
    RscOptions at_scale = options;
    at_scale.ridge = rescaled_sq(options.ridge, e);
    ScInputs in = prepare(p, t0, "no donor (never-treated) units");
    return fit_series(in.y_pre, in.y_post, in.x0, in.x1, std::move(in.donor_ids), at_scale);
  });
}

}  // namespace tessarix::sc::robust
