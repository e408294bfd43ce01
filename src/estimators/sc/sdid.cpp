#include "estimators/sc/sdid.hpp"

#include <algorithm>
#include <cmath>

#include "estimators/sc/common.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::sc::sdid {
namespace {

// sqrt(sum (x - mean)^2 / n): the spread around the mean, 0 when empty.
double rms_around_mean(std::span<const double> x) {
  if (x.empty()) return 0.0;
  return std::sqrt(sum_sq_dev(x) / static_cast<double>(x.size()));
}

struct Blocks {
  std::vector<std::size_t> treated;
  std::vector<std::size_t> donors;
  Mat x0;  // t0 x J
  Mat x1;  // T_post x J
  std::vector<double> ybar;
};

Blocks blocks(const Panel& panel, std::size_t t0) {
  Blocks b;
  b.treated = panel.treated_units();
  b.donors = panel.never_treated_units();
  if (b.treated.empty()) invariant_failure("no treated units");
  if (b.donors.empty()) invariant_failure("no control units");
  if (t0 == 0 || t0 >= panel.n_periods()) {
    invariant_failure("SDID needs at least one pre- and one post-period (t0 in 1..n_periods)");
  }
  b.ybar = panel.unit_mean(b.treated);
  b.x0 = std::move(panel.donor_pre(t0).mat);
  b.x1 = std::move(panel.donor_post(t0).mat);
  return b;
}

// Each donor's post-period mean q_j.
std::vector<double> post_means(const Mat& x1) {
  std::vector<double> q(x1.cols());
  const double n = static_cast<double>(x1.rows());
  for (std::size_t j = 0; j < x1.cols(); ++j) q[j] = linalg::sum(x1.col(j)) / n;
  return q;
}

// Time weights: pre-periods weighted so that, across donors and up to a common shift, they
// reproduce the donors' post-period means. No ridge, no bounds.
std::vector<double> time_weights(const Mat& x0, std::span<const double> q, const Mat* gram);

// Sample standard deviation of the donors' first differences (donor-major order).
double noise_level(const Mat& x0) {
  const std::size_t t0 = x0.rows();
  if (t0 < 2) return 0.0;
  std::vector<double> diffs;
  diffs.reserve((t0 - 1) * x0.cols());
  for (std::size_t j = 0; j < x0.cols(); ++j) {
    const std::span<const double> c = x0.col(j);
    for (std::size_t t = 1; t < t0; ++t) diffs.push_back(c[t] - c[t - 1]);
  }
  if (diffs.size() < 2) return 0.0;
  return std::sqrt(sum_sq_dev(diffs) / static_cast<double>(diffs.size() - 1));
}

}  // namespace

namespace {

// Each column of a minus its mean (a copy of a when it has no rows).
Mat centred_columns(const Mat& a) {
  const std::size_t n = a.rows();
  const double dn = static_cast<double>(n);
  Mat ac = a;
  for (std::size_t j = 0; j < a.cols(); ++j) {
    const double mean = n > 0 ? linalg::sum(a.col(j)) / dn : 0.0;
    for (double& v : ac.col(j)) v -= mean;
  }
  return ac;
}

// The weights of simplex_with_intercept from the centred columns ac and their Gram g.
std::vector<double> solve_centred(const Mat& ac, const Mat& g, std::span<const double> b, double ridge,
                                  double min_weight, double max_weight) {
  const std::size_t n = ac.rows();
  const double b_mean = n > 0 ? linalg::sum(b) / static_cast<double>(n) : 0.0;
  std::vector<double> bc(b.begin(), b.end());
  for (double& v : bc) v -= b_mean;
  std::vector<double> rhs(ac.cols());
  linalg::gemv_t(ac, bc, rhs, 1.0, 0.0);
  const bool bounded = min_weight > 0.0 || max_weight < 1.0;
  const std::size_t cap = bounded ? 20000 : 10000;
  const double tol = bounded ? 1e-12 : 1e-11;
  return linalg::solve_bounded(g, rhs, cap, ridge, min_weight, max_weight, tol).weights;
}

// simplex_with_intercept with the Gram of the centred columns given (or formed when null).
std::vector<double> simplex_with_intercept_from(const Mat& a, const Mat* gram, std::span<const double> b,
                                                double ridge, double min_weight, double max_weight) {
  if (a.cols() == 0) return {};
  const Mat ac = centred_columns(a);
  if (gram != nullptr) {
    require_eq(gram->rows(), a.cols(), "SDID: Gram size != number of weights");
    return solve_centred(ac, *gram, b, ridge, min_weight, max_weight);
  }
  return solve_centred(ac, linalg::syrk_ata(ac), b, ridge, min_weight, max_weight);
}

// The leading k x k block of g.
Mat leading_block(const Mat& g, std::size_t k) {
  if (g.rows() < k || g.cols() < k) invariant_failure("SDID: time Gram smaller than the pre-period");
  Mat out(k, k);
  for (std::size_t c = 0; c < k; ++c) {
    const double* src = g.col(c).data();
    std::copy(src, src + k, out.col(c).begin());
  }
  return out;
}

}  // namespace

std::vector<double> simplex_with_intercept(const Mat& a, std::span<const double> b, double ridge,
                                           double min_weight, double max_weight) {
  return simplex_with_intercept_from(a, nullptr, b, ridge, min_weight, max_weight);
}

namespace {

// Declared above for the helpers' order; the time Gram, when given, may be larger than t0.
std::vector<double> time_weights(const Mat& x0, std::span<const double> q, const Mat* gram) {
  if (gram == nullptr || gram->rows() == x0.rows()) {
    return simplex_with_intercept_from(x0.transpose(), gram, q, 0.0, 0.0, 1.0);
  }
  const Mat block = leading_block(*gram, x0.rows());
  return simplex_with_intercept_from(x0.transpose(), &block, q, 0.0, 0.0, 1.0);
}

SdidFit fit_in_range(const Panel& panel, std::size_t t0, const SdidOptions& options,
                     const SdidGrams& grams = {}) {
  Blocks in = blocks(panel, t0);
  const std::size_t t_post = panel.n_periods() - t0;
  const std::size_t j_count = in.donors.size();
  const std::span<const double> y_pre(in.ybar.data(), t0);

  const double sigma = noise_level(in.x0);
  const double zeta =
      sigma * std::pow(static_cast<double>(in.treated.size() * t_post), 0.25) * options.zeta_scale;
  const std::vector<double> omega =
      simplex_with_intercept_from(in.x0, grams.unit, y_pre, zeta * zeta * static_cast<double>(t0),
                                  options.min_weight, options.max_weight);
  const std::vector<double> q = post_means(in.x1);
  const std::vector<double> lambda = time_weights(in.x0, q, grams.time);

  const double u = linalg::dot(lambda, y_pre);
  std::vector<double> a(j_count);
  linalg::gemv_t(in.x0, lambda, a, 1.0, 0.0);

  ScFit fit;
  double post_total = 0.0;
  for (std::size_t k = 0; k < t_post; ++k) post_total += in.ybar[t0 + k];
  double shift = 0.0;
  for (std::size_t j = 0; j < j_count; ++j) shift += omega[j] * (q[j] - a[j]);
  fit.att = post_total / static_cast<double>(t_post) - u - shift;

  fit.counterfactual.resize(t_post);
  fit.att_path.resize(t_post);
  for (std::size_t k = 0; k < t_post; ++k) {
    double dev = 0.0;
    for (std::size_t j = 0; j < j_count; ++j) dev += omega[j] * (in.x1(k, j) - a[j]);
    fit.counterfactual[k] = u + dev;
    fit.att_path[k] = in.ybar[t0 + k] - fit.counterfactual[k];
  }
  fit.treated_post.assign(in.ybar.begin() + static_cast<std::ptrdiff_t>(t0), in.ybar.end());

  std::vector<double> r = residual(y_pre, in.x0, omega);
  fit.pre_rmspe = rms_around_mean(r);
  fit.post_rmspe = rms_around_mean(fit.att_path);
  // The level the unit weights leave between the treated and the weighted donors, measured
  // at the time weights; every pre-period gap is taken against it.
  const double intercept = u - linalg::dot(omega, a);
  for (double& v : r) v -= intercept;
  fit.pre_gap = std::move(r);
  fit.weights = omega;
  fit.donor_ids = std::move(in.donors);
  return {std::move(fit), lambda, intercept};
}

}  // namespace

// Found by the canonical-scale wrapper through argument-dependent lookup.
SdidFit unscaled(SdidFit full, int e) {
  full.fit = sc::unscaled(std::move(full.fit), e);
  full.intercept = std::ldexp(full.intercept, -e);
  return full;
}

SdidFit fit_with_time_weights(const Panel& panel, std::size_t t0, const SdidOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int) { return fit_in_range(p, t0, options); });
}

ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options) {
  return fit_with_time_weights(panel, t0, options).fit;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options, const SdidGrams& grams) {
  return at_canonical_scale(panel, [&](const Panel& p, int) { return fit_in_range(p, t0, options, grams); }).fit;
}

Mat time_gram(const Panel& panel, std::size_t t_end) {
  const std::vector<std::size_t> donors = panel.never_treated_units();
  const int e = rescale_exponent(panel.y());
  // J x t_end, entry (d, t) = y(donor d, t): the transposed pre-period block of a fit.
  Mat a(donors.size(), t_end);
  for (std::size_t t = 0; t < t_end; ++t) {
    const std::span<const double> src = panel.y().col(t);
    const std::span<double> dst = a.col(t);
    for (std::size_t d = 0; d < donors.size(); ++d) dst[d] = std::ldexp(src[donors[d]], e);
  }
  return linalg::syrk_ata(centred_columns(a));
}

Mat unit_gram(const Mat& y, std::size_t t0) {
  // t0 x N, column u = unit u's first t0 values: the pre-period block of a fit with every unit.
  Mat a(t0, y.rows());
  for (std::size_t t = 0; t < t0; ++t) {
    const std::span<const double> src = y.col(t);
    for (std::size_t u = 0; u < y.rows(); ++u) a(t, u) = src[u];
  }
  return linalg::syrk_ata(centred_columns(a));
}

namespace {

void require_time_weights(std::size_t t0, std::size_t n_lambda, std::size_t t_count) {
  if (t0 == 0 || n_lambda != t0 || t0 >= t_count) {
    invariant_failure("att_given_weights: needs 1 <= t0 < n_periods and one time weight per pre-period");
  }
}

// Post-period mean minus the time-weighted pre-period level of one path.
double contrast(std::span<const double> path, std::size_t t0, std::span<const double> lambda) {
  const std::size_t t_count = path.size();
  double post = 0.0;
  for (std::size_t t = t0; t < t_count; ++t) post += path[t];
  double pre = 0.0;
  for (std::size_t t = 0; t < t0; ++t) pre += lambda[t] * path[t];
  return post / static_cast<double>(t_count - t0) - pre;
}

// The contrast of every donor's path, the same sums in the same order as `contrast`, all
// donors at once, reading the panel column by column.
std::vector<double> donor_contrasts(const Panel& panel, std::size_t t0, std::span<const std::size_t> donors,
                                    std::span<const double> lambda) {
  const std::size_t t_count = panel.n_periods();
  const std::size_t j_count = donors.size();
  std::vector<double> pre(j_count, 0.0), post(j_count, 0.0);
  for (std::size_t t = 0; t < t_count; ++t) {
    const std::span<const double> col = panel.y().col(t);
    if (t < t0) {
      for (std::size_t i = 0; i < j_count; ++i) pre[i] += lambda[t] * col[donors[i]];
    } else {
      for (std::size_t i = 0; i < j_count; ++i) post[i] += col[donors[i]];
    }
  }
  const double t_post = static_cast<double>(t_count - t0);
  for (std::size_t i = 0; i < j_count; ++i) post[i] = post[i] / t_post - pre[i];
  return post;
}

}  // namespace

double att_given_weights(const Panel& panel, std::size_t t0, std::span<const std::size_t> treated,
                         std::span<const std::size_t> donors, std::span<const double> omega,
                         std::span<const double> lambda) {
  require_time_weights(t0, lambda.size(), panel.n_periods());
  require_eq(omega.size(), donors.size(), "att_given_weights: omega length != donor count");
  const std::vector<double> c = donor_contrasts(panel, t0, donors, lambda);
  return contrast(panel.unit_mean(treated), t0, lambda) - linalg::dot(omega, c);
}

Jackknife::Jackknife(const Panel& panel, std::size_t t0, const SdidFit& full)
    : treated_(panel.treated_units()), omega_(full.fit.weights), lambda_(full.time_weights), t0_(t0) {
  if (treated_.size() < 2) {
    invariant_failure("the SDID jackknife needs >= 2 treated units; use placebo inference otherwise");
  }
  require_time_weights(t0, lambda_.size(), panel.n_periods());
  contrasts_ = donor_contrasts(panel, t0, full.fit.donor_ids, lambda_);
  treated_contrast_ = contrast(panel.unit_mean(treated_), t0, lambda_);
  control_ = linalg::dot(omega_, contrasts_);
  for (std::size_t d = 0; d < omega_.size(); ++d) {
    if (omega_[d] < 0.999999999999) left_out_donors_.push_back(d);  // else it carries all the weight
  }
}

double Jackknife::loo_att(const Panel& panel, std::size_t k) const {
  if (k < treated_.size()) {
    std::vector<std::size_t> kept;
    kept.reserve(treated_.size() - 1);
    for (std::size_t i = 0; i < treated_.size(); ++i) {
      if (i != k) kept.push_back(treated_[i]);
    }
    return contrast(panel.unit_mean(kept), t0_, lambda_) - control_;
  }
  // Donor d left out: the other weights divided by 1 - omega_d, summed in donor order.
  const std::size_t d = left_out_donors_.at(k - treated_.size());
  const double scale = 1.0 - omega_[d];
  double control = 0.0;
  for (std::size_t i = 0; i < omega_.size(); ++i) {
    if (i != d) control += omega_[i] / scale * contrasts_[i];
  }
  return treated_contrast_ - control;
}

std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       const SdidOptions& options) {
  const Jackknife jk(panel, t0, fit_with_time_weights(panel, t0, options));
  std::vector<double> out(jk.size());
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = jk.loo_att(panel, k);
  return out;
}

namespace {

ScFit fit_all_in_range(const Panel& panel, std::size_t n_tested, const SdidOptions& options) {
  const std::size_t t_count = panel.n_periods();
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) invariant_failure("no treated units");
  if (t_count < 2 || n_tested == 0 || n_tested >= t_count) {
    invariant_failure("SDID on every period needs 1 <= n_tested < n_periods");
  }
  DonorBlock all = panel.donor_pre(t_count);
  if (all.ids.empty()) invariant_failure("no control units");
  const std::vector<double> ybar = panel.unit_mean(treated);

  const double sigma = noise_level(all.mat);
  const double zeta =
      sigma * std::pow(static_cast<double>(treated.size() * n_tested), 0.25) * options.zeta_scale;
  std::vector<double> omega = simplex_with_intercept(all.mat, ybar, zeta * zeta * static_cast<double>(t_count),
                                                     options.min_weight, options.max_weight);
  std::vector<double> r = residual(ybar, all.mat, omega);
  const double intercept = mean(r);
  for (double& v : r) v -= intercept;
  return assemble({}, {}, std::move(r), std::move(omega), std::move(all.ids));
}

}  // namespace

ScFit fit_all_periods(const Panel& panel, std::size_t n_tested, const SdidOptions& options) {
  return at_canonical_scale(panel, [&](const Panel& p, int) { return fit_all_in_range(p, n_tested, options); });
}

}  // namespace tessarix::sc::sdid
