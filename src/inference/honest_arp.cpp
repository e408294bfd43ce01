#include "inference/honest_arp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "inference/ci.hpp"
#include "inference/honest_dist.hpp"
#include "linalg/error.hpp"
#include "linalg/ops/norms.hpp"
#include "runtime/interrupt.hpp"

namespace tessarix::inference {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Below this standard deviation the statistic is a constant and the test rejects exactly when
// it is positive (as in ARP's implementation).
constexpr double kDegenerateSd = 1e-10;
// The line search for the truncation bounds starts from these distances (ARP's own): at
// least 100, or 20 standard deviations of the statistic away from its value. A bound beyond
// that start is infinite; the truncated normal has no mass out there anyway.
constexpr double kLineReach = 100.0;
constexpr double kLineReachSd = 20.0;
// eta(y(t)) - t below this (relative to max(1, |t|)) counts as zero: the vertex is optimal.
constexpr double kLineTol = 1e-10;
// Newton steps of the line search; each reaches a new vertex, so a handful suffice.
constexpr int kLineSteps = 100;

std::vector<double> mat_vec(const Mat& a, std::span<const double> x) {
  std::vector<double> out(a.rows(), 0.0);
  for (std::size_t j = 0; j < a.cols(); ++j) {
    const auto col = a.col(j);
    for (std::size_t i = 0; i < a.rows(); ++i) out[i] += col[i] * x[j];
  }
  return out;
}

Mat dual_constraints(const Mat& x, std::span<const double> sd) {
  const std::size_t m = x.rows(), k = x.cols();
  Mat w(k + 1, m);
  for (std::size_t i = 0; i < m; ++i) {
    w(0, i) = sd[i];
    for (std::size_t j = 0; j < k; ++j) w(j + 1, i) = x(i, j);
  }
  return w;
}

std::vector<double> diag_sqrt(const Mat& s) {
  std::vector<double> sd(s.rows());
  for (std::size_t i = 0; i < s.rows(); ++i) sd[i] = std::sqrt(s(i, i));
  return sd;
}

std::vector<double> unit_first(std::size_t k) {
  std::vector<double> b(k + 1, 0.0);
  b[0] = 1.0;
  return b;
}

// The conditional critical value: max(0, the 1 - size quantile of N(mu, sd^2) truncated to
// [lo, hi]).
double conditional_cv(double size, double lo, double hi, double mu, double sd) {
  const double z = truncated_normal_quantile(1.0 - size, (lo - mu) / sd, (hi - mu) / sd);
  return std::fmax(0.0, mu + z * sd);
}

double test_size(double alpha, const std::optional<LfStage>& lf) {
  return lf ? (alpha - lf->kappa) / (1.0 - lf->kappa) : alpha;
}

}  // namespace

double quantile_type7(std::vector<double>& values, double q) {
  std::sort(values.begin(), values.end());
  return quantile_sorted(values, q);
}

ArpNuisanceTest::ArpNuisanceTest(Mat x, Mat sigma)
    : sigma_(std::move(sigma)), sd_(diag_sqrt(sigma_)),
      lp_(dual_constraints(x, sd_), unit_first(x.cols())), cost_(x.rows()), point_(x.rows()) {}

double ArpNuisanceTest::eta(std::span<const double> y, std::vector<double>* gamma) {
  for (std::size_t i = 0; i < y.size(); ++i) cost_[i] = -y[i];
  const linalg::LpSolution sol = lp_.minimize(cost_);
  if (gamma) gamma->clear();
  if (sol.status == linalg::LpStatus::infeasible) return -kInf;
  if (sol.status != linalg::LpStatus::optimal) return kInf;
  if (gamma) *gamma = sol.x;
  return -sol.value;
}

double ArpNuisanceTest::least_favorable_cv(const Mat& draws, double kappa) {
  require_eq(draws.cols(), sd_.size(), "least_favorable_cv: one draw column per moment");
  std::vector<double> etas(draws.rows()), xi(draws.cols());
  for (std::size_t r = 0; r < draws.rows(); ++r) {
    runtime::interruption_point();
    for (std::size_t i = 0; i < xi.size(); ++i) xi[i] = draws(r, i);
    etas[r] = eta(xi);
  }
  return quantile_type7(etas, 1.0 - kappa);
}

double ArpNuisanceTest::line_value(std::span<const double> s, std::span<const double> c, double t,
                                   double& slope) {
  for (std::size_t i = 0; i < s.size(); ++i) point_[i] = s[i] + c[i] * t;
  const double v = eta(point_, &gamma_);
  slope = gamma_.empty() ? 0.0 : linalg::dot(gamma_, c);
  return v;
}

std::pair<double, double> ArpNuisanceTest::truncation(std::span<const double> s,
                                                      std::span<const double> c, double eta,
                                                      double sigma_b) {
  // Newton on the convex gap h(t) = eta(y(t)) - t from a start where it is positive: each step
  // goes to where the supporting line of the current vertex meets t, which never passes the
  // bound and reaches it after finitely many vertices.
  const auto search = [&](double start) {
    double t = start, slope = 0.0;
    double v = line_value(s, c, t, slope);
    if (v - t <= kLineTol * std::fmax(1.0, std::fabs(t))) return start > eta ? kInf : -kInf;
    for (int step = 0; step < kLineSteps; ++step) {
      if (std::fabs(1.0 - slope) <= std::numeric_limits<double>::epsilon()) break;
      t = (v - slope * t) / (1.0 - slope);
      v = line_value(s, c, t, slope);
      if (v - t <= kLineTol * std::fmax(1.0, std::fabs(t))) break;
    }
    return t;
  };
  const double high = std::fmax(kLineReach, eta + kLineReachSd * sigma_b);
  const double low = std::fmin(-kLineReach, eta - kLineReachSd * sigma_b);
  return {search(low), search(high)};
}

bool ArpNuisanceTest::reject(std::span<const double> y, double alpha, const std::optional<LfStage>& lf) {
  std::vector<double> gamma;
  const double stat = eta(y, &gamma);
  if (stat == kInf) return true;
  if (gamma.empty()) return false;
  if (lf && stat > lf->cv) return true;
  if (stat <= 0.0) return false;  // the critical value is never below zero
  const std::vector<double> sg = mat_vec(sigma_, gamma);
  const double var_b = linalg::dot(gamma, sg);
  const double sigma_b = std::sqrt(var_b);
  if (sigma_b < kDegenerateSd) return stat > 0.0;
  std::vector<double> c(y.size()), s(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    c[i] = sg[i] / var_b;
    s[i] = y[i] - c[i] * stat;
  }
  const auto [vlo, vup] = truncation(s, c, stat, sigma_b);
  const double zlo = vlo / sigma_b;
  const double zup = (lf ? std::fmin(vup, lf->cv) : vup) / sigma_b;
  const double maxstat = stat / sigma_b;
  if (!(zlo <= maxstat && maxstat <= zup)) return false;
  return maxstat > conditional_cv(test_size(alpha, lf), zlo, zup, 0.0, 1.0);
}

ArpPlainTest::ArpPlainTest(const Mat& a, std::span<const double> d, const Mat& sigma)
    : a_tilde_(a.rows(), a.cols()), d_tilde_(a.rows()), m_(a.rows(), a.rows()) {
  const std::size_t rows = a.rows(), n = a.cols();
  Mat as(rows, n);  // A Sigma
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double v = 0.0;
      for (std::size_t k = 0; k < n; ++k) v += a(i, k) * sigma(k, j);
      as(i, j) = v;
    }
  }
  std::vector<double> sd(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    double v = 0.0;
    for (std::size_t k = 0; k < n; ++k) v += as(i, k) * a(i, k);
    sd[i] = std::sqrt(v);
  }
  sd_ = sd;
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < n; ++j) a_tilde_(i, j) = a(i, j) / sd[i];
    d_tilde_[i] = d[i] / sd[i];
  }
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < rows; ++j) {
      double v = 0.0;
      for (std::size_t k = 0; k < n; ++k) v += as(i, k) * a(j, k);
      m_(i, j) = v / (sd[i] * sd[j]);
    }
  }
}

double ArpPlainTest::least_favorable_cv(const Mat& draws, double kappa) const {
  require_eq(draws.cols(), sd_.size(), "least_favorable_cv: one draw column per moment");
  std::vector<double> maxima(draws.rows());
  for (std::size_t r = 0; r < draws.rows(); ++r) {
    double best = -kInf;
    for (std::size_t i = 0; i < draws.cols(); ++i) best = std::fmax(best, draws(r, i) / sd_[i]);
    maxima[r] = best;
  }
  return quantile_type7(maxima, 1.0 - kappa);
}

bool ArpPlainTest::reject(std::span<const double> y, double alpha, const std::optional<LfStage>& lf) const {
  const std::size_t rows = a_tilde_.rows();
  const std::vector<double> ay = mat_vec(a_tilde_, y);
  std::size_t k = 0;
  for (std::size_t i = 1; i < rows; ++i) {
    if (ay[i] - d_tilde_[i] > ay[k] - d_tilde_[k]) k = i;
  }
  const double max_moment = ay[k] - d_tilde_[k];
  if (lf && max_moment > lf->cv) return true;
  // Condition on the location k of the largest moment: gamma = A~_k, and the other moments'
  // positions relative to it bound gamma'y to [vlo, vup].
  const double var_b = m_(k, k);
  double vlo = -kInf, vup = kInf;
  for (std::size_t i = 0; i < rows; ++i) {
    const double ac = (m_(i, k) - var_b) / var_b;
    if (ac == 0.0) continue;
    const double abar_z = (ay[i] - ay[k]) - ac * ay[k];
    const double bound = ((d_tilde_[i] - d_tilde_[k]) - abar_z) / ac;
    if (ac < 0.0) vlo = std::fmax(vlo, bound);
    else vup = std::fmin(vup, bound);
  }
  // The hybrid's second stage keeps the conditional truncation as it is here (the original
  // method's convention without nuisance parameters); only its size shrinks.
  const double cv = conditional_cv(test_size(alpha, lf), vlo, vup, d_tilde_[k], std::sqrt(var_b));
  return max_moment + d_tilde_[k] > cv;
}

}  // namespace tessarix::inference
