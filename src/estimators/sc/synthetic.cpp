#include "estimators/sc/synthetic.hpp"

#include "estimators/sc/common.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::sc::synthetic {

std::vector<double> solve_weights(const Mat& x0, std::span<const double> y_pre,
                                  const ScOptions& options) {
  const Mat g = linalg::syrk_ata(x0);
  std::vector<double> c(x0.cols());
  linalg::gemv_t(x0, y_pre, c, 1.0, 0.0);
  if (options.penalty > 0.0) {
    // Abadie-L'Hour: + penalty/2 * sum_j w_j ||y_pre - x0_j||^2 enters the linear term.
    const double half = options.penalty * 0.5;
    for (std::size_t j = 0; j < x0.cols(); ++j) {
      const std::span<const double> col = x0.col(j);
      double d = 0.0;
      for (std::size_t t = 0; t < col.size(); ++t) {
        const double e = y_pre[t] - col[t];
        d += e * e;
      }
      c[j] = c[j] - half * d;
    }
  }
  const bool bounded = options.min_weight > 0.0 || options.max_weight < 1.0;
  const std::size_t cap = bounded ? 20000 : 5000;
  const double tol = bounded ? 1e-12 : 1e-10;
  return linalg::solve_bounded(g, c, cap, options.ridge, options.min_weight, options.max_weight, tol)
      .weights;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int e) {
    ScOptions at_scale = options;
    at_scale.ridge = rescaled_sq(options.ridge, e);
    ScInputs in = prepare(p, t0, "no donor (never-treated) units");
    std::vector<double> w = solve_weights(in.x0, in.y_pre, at_scale);
    const std::vector<double> resid = residual(in.y_pre, in.x0, w);
    std::vector<double> counterfactual = linalg::matvec(in.x1, w);
    return assemble(in.y_post, std::move(counterfactual), resid, std::move(w),
                    std::move(in.donor_ids));
  });
}

}  // namespace tessarix::sc::synthetic
