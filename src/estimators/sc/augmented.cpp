#include "estimators/sc/augmented.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "estimators/sc/common.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/opt/simplex.hpp"
#include "linalg/solve/lstsq.hpp"

namespace tessarix::sc::augmented {
namespace {

// Bound on the rounding errors that centring leaves in xc, as a spectral norm: each entry is
// off by at most about 2 epsilon max |x0| (the donors' mean and the difference), so the errors
// are at most 2 epsilon max |x0| sqrt(t0 J) in norm; doubled for margin. Directions of xc below
// it, the exactly cancelled donor average among them, are indistinguishable from zero.
constexpr double kCentringErrorFactor = 4.0;

double centring_noise(const Mat& x0) {
  double big = 0.0;
  for (double v : x0.data()) big = std::fmax(big, std::fabs(v));
  return kCentringErrorFactor * std::numeric_limits<double>::epsilon() * big *
         std::sqrt(static_cast<double>(x0.rows() * x0.cols()));
}

}  // namespace

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
  double lambda = 0.0;
  if (options.aug_lambda) {
    lambda = *options.aug_lambda;
  } else if (t0 > 0) {
    // 0.1 * trace(K) / t0 for the centred Gram K = xc xc^T in period space, its diagonal
    // summed period by period.
    double trace = 0.0;
    for (std::size_t t = 0; t < t0; ++t) {
      double k_tt = 0.0;
      for (std::size_t j = 0; j < j_count; ++j) k_tt += xc(t, j) * xc(t, j);
      trace += k_tt;
    }
    lambda = 0.1 * trace / static_cast<double>(t0);
  }
  // The prediction at r of the ridge regression of the donors' period-p outcomes on their
  // centred pre-period paths, r^T (K + lambda I)^-1 xc x1_p, equals x1_p^T c with
  // c = (xc^T xc + lambda I)^-1 xc^T r: the ridge coefficients of r on the centred donor
  // columns, one solve for every post-period.
  std::vector<double> c;
  if (lambda > 0.0) c = linalg::ridge(xc, r, lambda, centring_noise(x0));

  const std::size_t n_post = x1.rows();
  std::vector<double> counterfactual(n_post);
  std::vector<double> row(j_count);
  for (std::size_t p = 0; p < n_post; ++p) {
    for (std::size_t j = 0; j < j_count; ++j) row[j] = x1(p, j);
    double value = linalg::dot(row, w);
    if (!c.empty()) value += linalg::dot(row, c);
    counterfactual[p] = value;
  }
  return assemble(y_post, std::move(counterfactual), r,
                  std::move(w), std::move(donor_ids));
}

ScFit fit_at(const Panel& panel, std::size_t t0, const AscOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int e) {
    AscOptions at_scale = options;
    at_scale.sc_ridge = rescaled_sq(options.sc_ridge, e);
    if (options.aug_lambda) at_scale.aug_lambda = rescaled_sq(*options.aug_lambda, e);
    ScInputs in = prepare(p, t0, "no donor units");
    return fit_series(in.y_pre, in.y_post, in.x0, in.x1, std::move(in.donor_ids), at_scale);
  });
}

}  // namespace tessarix::sc::augmented
