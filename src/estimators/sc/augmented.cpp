#include "estimators/sc/augmented.hpp"

#include <algorithm>
#include <optional>

#include "estimators/sc/common.hpp"
#include "linalg/factor/cholesky.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::sc::augmented {

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const AscOptions& options) {
  const std::size_t t0 = x0.rows();
  const std::size_t j_count = x0.cols();
  std::vector<double> w =
      linalg::sc_weights_bounded(x0, y_pre, options.sc_ridge, options.min_weight, options.max_weight)
          .weights;
  const std::vector<double> r = residual(y_pre, x0, w);

  // Donor paths centred across donors, period by period.
  Mat xc = x0;
  const double denom = static_cast<double>(std::max<std::size_t>(j_count, 1));
  for (std::size_t t = 0; t < t0; ++t) {
    double s = 0.0;
    for (std::size_t j = 0; j < j_count; ++j) s += x0(t, j);
    const double m = s / denom;
    for (std::size_t j = 0; j < j_count; ++j) xc(t, j) = x0(t, j) - m;
  }
  const Mat k = linalg::syrk_ata(xc.transpose());  // t0 x t0 Gram in period space
  double lambda = 0.0;
  if (options.aug_lambda) {
    lambda = *options.aug_lambda;
  } else if (t0 > 0) {
    double trace = 0.0;
    for (std::size_t t = 0; t < t0; ++t) trace += k(t, t);
    lambda = 0.1 * trace / static_cast<double>(t0);
  }
  std::optional<linalg::Cholesky> chol;
  if (lambda > 0.0) {
    auto c = linalg::Cholesky::make_ridge(k, lambda);
    if (!c) invariant_failure("centered Gram + λI is SPD for λ > 0");
    chol = std::move(*c);
  }

  const std::size_t n_post = x1.rows();
  std::vector<double> counterfactual(n_post);
  std::vector<double> row(j_count);
  for (std::size_t p = 0; p < n_post; ++p) {
    for (std::size_t j = 0; j < j_count; ++j) row[j] = x1(p, j);
    double value = linalg::dot(row, w);
    if (chol) {
      // Prediction at r of the ridge regression of the donors' period-p outcomes on their
      // centred pre-period paths.
      const std::vector<double> z = linalg::matvec(xc, row);
      const std::vector<double> v = chol->solve_vec(z);
      value += linalg::dot(r, v);
    }
    counterfactual[p] = value;
  }
  return assemble(y_post, std::move(counterfactual), r,
                  std::move(w), std::move(donor_ids));
}

ScFit fit_at(const Panel& panel, std::size_t t0, const AscOptions& options) {
  ScInputs in = prepare(panel, t0, "no donor units");
  return fit_series(in.y_pre, in.y_post, in.x0, in.x1, std::move(in.donor_ids), options);
}

}  // namespace tessarix::sc::augmented
