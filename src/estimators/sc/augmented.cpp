#include "estimators/sc/augmented.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "estimators/sc/common.hpp"
#include "linalg/factor/cholesky.hpp"
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

// The normal equations (K + lambda I) v = xc x1_p are solved by Cholesky when that is accurate
// to about 1e-10 relative: lambda at least kMinRelativeRidge trace(K), which bounds the
// condition number by about 1e6, and at least kNoiseMargin times the centring noise times
// sqrt(trace(K)), so that noise along the directions centring cancels, divided by lambda,
// stays that small against the correction. The default strength, a tenth of the mean
// diagonal of K, passes whenever the donors spread by more than a small fraction of their
// level; anything else goes through the SVD.
constexpr double kMinRelativeRidge = 1e-6;
constexpr double kNoiseMargin = 1e10;

double centring_noise(const Mat& x0) {
  double big = 0.0;
  for (double v : x0.data()) big = std::fmax(big, std::fabs(v));
  return kCentringErrorFactor * std::numeric_limits<double>::epsilon() * big *
         std::sqrt(static_cast<double>(x0.rows() * x0.cols()));
}

// Donor paths centred across donors, period by period.
Mat centred(const Mat& x0) {
  const std::size_t t0 = x0.rows();
  const std::size_t j_count = x0.cols();
  Mat xc = x0;
  const double denom = static_cast<double>(std::max<std::size_t>(j_count, 1));
  for (std::size_t t = 0; t < t0; ++t) {
    double s = 0.0;
    for (std::size_t j = 0; j < j_count; ++j) s += x0(t, j);
    const double m = s / denom;
    for (std::size_t j = 0; j < j_count; ++j) xc(t, j) = x0(t, j) - m;
  }
  return xc;
}

// trace(K) for the centred Gram K = xc xc^T in period space, its diagonal summed period by
// period.
double gram_trace(const Mat& xc) {
  double trace = 0.0;
  for (std::size_t t = 0; t < xc.rows(); ++t) {
    double k_tt = 0.0;
    for (std::size_t j = 0; j < xc.cols(); ++j) k_tt += xc(t, j) * xc(t, j);
    trace += k_tt;
  }
  return trace;
}

// The ridge adjustment of the plain synthetic-control fit at the imbalance r: the correction
// of every post-period p, r^T (K + lambda I)^-1 xc x1_p, the prediction of the ridge
// regression of the donors' period-p outcomes on their centred pre-period paths; and the
// pre-period gap the adjusted fit leaves. Applied to a pre-period the same correction is the
// t-th entry of K (K + lambda I)^-1 r (the centred rows sum to zero across donors, so
// xc x0_t = K e_t), which leaves the gap r - K (K + lambda I)^-1 r = lambda (K + lambda I)^-1 r.
struct Adjustment {
  std::vector<double> post;     // one correction per post-period
  std::vector<double> pre_gap;  // one per pre-period
};

// The adjustment by Cholesky on K; none when the factorisation fails.
std::optional<Adjustment> adjustment_by_cholesky(const Mat& xc, const Mat& x1t,
                                                 std::span<const double> r, double lambda) {
  auto chol = linalg::Cholesky::make_ridge(linalg::syrk_ata(xc.transpose()), lambda);
  if (!chol) return std::nullopt;
  Adjustment out;
  out.post.resize(x1t.cols());
  for (std::size_t p = 0; p < out.post.size(); ++p) {
    out.post[p] = linalg::dot(r, chol->solve_vec(linalg::matvec(xc, x1t.col(p))));
  }
  out.pre_gap = chol->solve_vec(r);
  for (double& v : out.pre_gap) v *= lambda;
  return out;
}

// The same adjustment through c = (xc^T xc + lambda I)^-1 xc^T r, the ridge coefficients of r
// on the centred donor columns by the SVD: sound for every lambda > 0. The corrections are
// x1_p^T c and the gap r - xc c.
Adjustment adjustment_by_svd(const Mat& xc, const Mat& x1t, std::span<const double> r,
                             double lambda, double noise) {
  const std::vector<double> c = linalg::ridge(xc, r, lambda, noise);
  Adjustment out;
  out.post.resize(x1t.cols());
  for (std::size_t p = 0; p < out.post.size(); ++p) out.post[p] = linalg::dot(x1t.col(p), c);
  out.pre_gap = residual(r, xc, c);
  return out;
}

}  // namespace

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const AscOptions& options) {
  const std::size_t t0 = x0.rows();
  std::vector<double> w =
      linalg::sc_weights_bounded(x0, y_pre, options.sc_ridge, options.min_weight, options.max_weight)
          .weights;
  std::vector<double> r = residual(y_pre, x0, w);

  const Mat xc = centred(x0);
  const double trace = gram_trace(xc);
  double lambda = 0.0;
  if (options.aug_lambda) {
    lambda = *options.aug_lambda;
  } else if (t0 > 0) {
    lambda = 0.1 * trace / static_cast<double>(t0);
  }
  // No adjustment without a positive ridge.
  const Mat x1t = x1.transpose();  // one column of donor outcomes per post-period
  std::optional<Adjustment> adjustment;
  if (lambda > 0.0) {
    const double noise = centring_noise(x0);
    if (lambda >= kMinRelativeRidge * trace && lambda >= kNoiseMargin * noise * std::sqrt(trace)) {
      adjustment = adjustment_by_cholesky(xc, x1t, r, lambda);
    }
    if (!adjustment) adjustment = adjustment_by_svd(xc, x1t, r, lambda, noise);
  }

  std::vector<double> counterfactual(x1t.cols());
  for (std::size_t p = 0; p < counterfactual.size(); ++p) {
    const double base = linalg::dot(x1t.col(p), w);
    counterfactual[p] = adjustment ? base + adjustment->post[p] : base;
  }
  // pre_rmspe stays the plain fit's (of r); the gap is the adjusted fit's.
  ScFit fit = assemble(y_post, std::move(counterfactual), std::move(r), std::move(w),
                       std::move(donor_ids));
  if (adjustment) fit.pre_gap = std::move(adjustment->pre_gap);
  return fit;
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
