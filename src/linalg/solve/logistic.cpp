#include "linalg/solve/logistic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "linalg/factor/cholesky.hpp"
#include "linalg/lanes.hpp"
#include "linalg/ops/matmul.hpp"

namespace tessarix::linalg {
namespace {

// Newton's method on the concave logit log-likelihood converges quadratically once close and
// takes well under 30 steps from zero on any design that has a maximum; under separation the
// coefficients grow by about one logit unit a step, so a fitted probability rounds to exactly
// 1 (a logit beyond 37) well within this limit, and one drifting towards 0 does not converge.
constexpr std::size_t kMaxIterations = 100;

// Converged when the last step moved every coefficient by at most this much relative to
// 1 + its size: with quadratic convergence the coefficients are then exact to about the
// square of it, far below the rounding noise of the sums they come from.
constexpr double kStepTolerance = 1e-10;

// A step that lowers the log-likelihood is halved, at most this many times (2^-30 of a
// Newton step is below any useful move).
constexpr std::size_t kMaxHalvings = 30;

// A step counts as no worse when the log-likelihood falls by at most this much relative to
// 1 + its size: rounding of a sum over the rows, not a real decrease.
constexpr double kLikelihoodRounding = 1e-13;

// The working state of one Newton iterate.
struct Iterate {
  std::vector<double> beta;
  std::vector<double> eta;  // x_i' beta
  std::vector<double> p;    // fitted probabilities
  double loglik = 0.0;
};

// eta = X beta, column by column.
void linear_predictor(const Mat& x, std::span<const double> beta, std::vector<double>& eta) {
  std::fill(eta.begin(), eta.end(), 0.0);
  for (std::size_t k = 0; k < x.cols(); ++k) {
    const std::span<const double> col = x.col(k);
    const double b = beta[k];
    for (std::size_t i = 0; i < eta.size(); ++i) eta[i] += col[i] * b;
  }
}

// The log-likelihood only decides whether a step is taken, so its sum of log(1 + e_i) is
// formed as the logarithm of products of this many factors 1 + e_i (each in [1, 2], so no
// product overflows): one logarithm per run instead of one per row, off by a few hundred
// roundings per run, far inside kLikelihoodRounding.
constexpr std::size_t kProductRun = 512;

// The log-likelihood sum_i d_i eta_i - log(1 + exp(eta_i)) and the probabilities
// p_i = 1 / (1 + exp(-eta_i)), both from e = exp(-|eta_i|), which cannot overflow.
double log_likelihood(std::span<const double> eta, std::span<const double> d, std::vector<double>& p) {
  double s = 0.0;
  for (std::size_t i0 = 0; i0 < eta.size(); i0 += kProductRun) {
    const std::size_t end = std::min(eta.size(), i0 + kProductRun);
    double product = 1.0;
    for (std::size_t i = i0; i < end; ++i) {
      const double e = std::exp(-std::fabs(eta[i]));
      const bool positive = eta[i] >= 0.0;
      p[i] = positive ? 1.0 / (1.0 + e) : e / (1.0 + e);
      s += d[i] * eta[i] - (positive ? eta[i] : 0.0);
      product *= 1.0 + e;
    }
    s -= std::log(product);
  }
  return s;
}

// Whether every probability lies strictly between 0 and 1.
bool interior(std::span<const double> p) {
  return std::all_of(p.begin(), p.end(), [](double v) { return v > 0.0 && v < 1.0; });
}

// The starting point: every coefficient 0 except that of the first constant column (the
// intercept), which gives every row the overall share of ones; a model with an intercept
// alone then starts at its maximum.
std::vector<double> start(const Mat& x, std::span<const double> d) {
  std::vector<double> beta(x.cols(), 0.0);
  for (std::size_t k = 0; k < x.cols(); ++k) {
    const std::span<const double> col = x.col(k);
    const bool constant = col[0] != 0.0 && std::all_of(col.begin(), col.end(), [&](double v) { return v == col[0]; });
    if (!constant) continue;
    double ones = 0.0;
    for (double v : d) ones += v;
    const double share = ones / static_cast<double>(d.size());
    beta[k] = std::log(share / (1.0 - share)) / col[0];
    break;
  }
  return beta;
}

// The score X'(d - p) and the information X' diag(p (1 - p)) X (both triangles), with `wx`
// as scratch for the residuals and then one weighted column at a time.
void score_and_information_by_columns(const Mat& x, std::span<const double> d, std::span<const double> p,
                                      std::vector<double>& score, Mat& info, std::vector<double>& wx) {
  const std::size_t n = x.rows(), k = x.cols();
  std::vector<const double*> cols(k);
  for (std::size_t j = 0; j < k; ++j) cols[j] = x.col(j).data();
  for (std::size_t i = 0; i < n; ++i) wx[i] = d[i] - p[i];
  dots(n, wx.data(), cols, score.data());
  std::vector<double> h(k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::span<const double> xj = x.col(j);
    for (std::size_t i = 0; i < n; ++i) wx[i] = p[i] * (1.0 - p[i]) * xj[i];
    dots(n, wx.data(), std::span(cols).subspan(j), h.data());
    for (std::size_t l = j; l < k; ++l) {
      info(l, j) = h[l - j];
      info(j, l) = h[l - j];
    }
  }
}

// Designs of at most this many columns (one four-lane vector) have their score and information
// summed in one pass over the rows.
constexpr std::size_t kOnePassColumns = 4;

// The score and information as score_and_information_by_columns gives them, K columns, in one
// pass: each of the K + K (K + 1) / 2 sums still adds its terms in row order, from the same
// products ((d_i - p_i) x_ij, and (p_i (1 - p_i) x_ij) x_il), so it has the same bits; the
// sums are independent, so they advance together, four to a vector: lane l of `info[j]` sums
// the products with column l (lanes l < j, which the other triangle holds, and lanes past K
// are summed and dropped).
template <std::size_t K>
void score_and_information_one_pass(const Mat& x, std::span<const double> d, std::span<const double> p,
                                    std::vector<double>& score, Mat& info) {
  std::array<const double*, K> cols;
  for (std::size_t j = 0; j < K; ++j) cols[j] = x.col(j).data();
  V4 s{};
  std::array<V4, K> h{};
  for (std::size_t i = 0; i < x.rows(); ++i) {
    const double r = d[i] - p[i];
    const double w = p[i] * (1.0 - p[i]);
    V4 row{};
    for (std::size_t j = 0; j < K; ++j) row[j] = cols[j][i];
    s += r * row;
    for (std::size_t j = 0; j < K; ++j) h[j] += (w * cols[j][i]) * row;
  }
  for (std::size_t j = 0; j < K; ++j) {
    score[j] = s[j];
    for (std::size_t l = j; l < K; ++l) {
      info(l, j) = h[j][l];
      info(j, l) = h[j][l];
    }
  }
}

// The one-pass sums compiled for AVX2 as well where the CPU has it: lanes are different sums,
// so the wider registers change no result.
#define TESSARIX_ONE_PASS(K)                                                                          \
  __attribute__((target_clones("avx2", "default"), flatten)) void score_and_information_##K(          \
      const Mat& x, std::span<const double> d, std::span<const double> p, std::vector<double>& score, \
      Mat& info) {                                                                                    \
    score_and_information_one_pass<K>(x, d, p, score, info);                                          \
  }
TESSARIX_ONE_PASS(1)
TESSARIX_ONE_PASS(2)
TESSARIX_ONE_PASS(3)
TESSARIX_ONE_PASS(4)
#undef TESSARIX_ONE_PASS

// The score and information, in one pass over the rows for narrow designs.
void score_and_information(const Mat& x, std::span<const double> d, std::span<const double> p,
                           std::vector<double>& score, Mat& info, std::vector<double>& wx) {
  static_assert(kOnePassColumns == 4, "one case per width below");
  switch (x.cols()) {
    case 1: score_and_information_1(x, d, p, score, info); return;
    case 2: score_and_information_2(x, d, p, score, info); return;
    case 3: score_and_information_3(x, d, p, score, info); return;
    case 4: score_and_information_4(x, d, p, score, info); return;
    default: score_and_information_by_columns(x, d, p, score, info, wx); return;
  }
}

// Whether every coefficient moved by at most kStepTolerance relative to 1 + its size.
bool small_step(std::span<const double> step, std::span<const double> beta) {
  for (std::size_t k = 0; k < step.size(); ++k) {
    if (!(std::fabs(step[k]) <= kStepTolerance * (1.0 + std::fabs(beta[k])))) return false;
  }
  return true;
}

// Moves `at` along the Newton direction, halving the step while the log-likelihood falls;
// the step taken is left in `step`. False when no halving helps.
bool line_search(const Mat& x, std::span<const double> d, std::vector<double>& step, Iterate& at,
                 Iterate& trial) {
  const double floor = at.loglik - kLikelihoodRounding * (1.0 + std::fabs(at.loglik));
  for (std::size_t h = 0; h <= kMaxHalvings; ++h) {
    for (std::size_t k = 0; k < step.size(); ++k) trial.beta[k] = at.beta[k] + step[k];
    linear_predictor(x, trial.beta, trial.eta);
    trial.loglik = log_likelihood(trial.eta, d, trial.p);
    if (trial.loglik >= floor) {
      std::swap(at, trial);
      return true;
    }
    for (double& s : step) s *= 0.5;
  }
  return false;
}

// n (X' W X)^-1 from the factor of X' W X, one column per unit vector.
Mat scaled_inverse(const Cholesky& chol, std::size_t n) {
  const std::size_t k = chol.l().rows();
  Mat out(k, k);
  std::vector<double> e(k, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    e[j] = 1.0;
    const std::vector<double> col = chol.solve_vec(e);
    for (std::size_t i = 0; i < k; ++i) out(i, j) = static_cast<double>(n) * col[i];
    e[j] = 0.0;
  }
  return out;
}

bool degenerate(const Mat& x, std::span<const double> d) {
  if (x.rows() == 0 || x.cols() == 0) return true;
  const bool any_one = std::any_of(d.begin(), d.end(), [](double v) { return v == 1.0; });
  const bool any_zero = std::any_of(d.begin(), d.end(), [](double v) { return v == 0.0; });
  return !(any_one && any_zero);
}

}  // namespace

std::string_view describe(LogitFailure failure) {
  switch (failure) {
    case LogitFailure::Separation: return "a fitted probability of exactly 0 or 1 (separation)";
    case LogitFailure::NotConverged: return "no convergence (the coefficients diverge)";
    case LogitFailure::Singular: return "a singular information matrix (collinear covariates)";
    case LogitFailure::Empty: return "no variation in the outcome";
  }
  return "an unknown failure";
}

std::expected<LogitFit, LogitFailure> logit(const Mat& x, std::span<const double> d) {
  require_eq(d.size(), x.rows(), "logit: one outcome per design row");
  if (degenerate(x, d)) return std::unexpected(LogitFailure::Empty);
  const std::size_t n = x.rows(), k = x.cols();
  Iterate at{start(x, d), std::vector<double>(n), std::vector<double>(n), 0.0};
  linear_predictor(x, at.beta, at.eta);
  at.loglik = log_likelihood(at.eta, d, at.p);
  Iterate trial{std::vector<double>(k), std::vector<double>(n), std::vector<double>(n), 0.0};
  std::vector<double> score(k), wx(n);
  Mat info(k, k);
  LogitFit out;
  for (bool converged = false; !converged;) {
    if (out.iterations == kMaxIterations) return std::unexpected(LogitFailure::NotConverged);
    score_and_information(x, d, at.p, score, info, wx);
    auto chol = Cholesky::make(info);
    if (!chol) return std::unexpected(LogitFailure::Singular);
    std::vector<double> step = chol->solve_vec(score);
    const bool tiny = small_step(step, at.beta);
    if (!line_search(x, d, step, at, trial)) {
      if (!tiny) return std::unexpected(LogitFailure::NotConverged);
      break;  // already at the maximum up to rounding
    }
    ++out.iterations;
    if (!interior(at.p)) return std::unexpected(LogitFailure::Separation);
    converged = small_step(step, at.beta);
  }
  score_and_information(x, d, at.p, score, info, wx);
  auto chol = Cholesky::make(info);
  if (!chol) return std::unexpected(LogitFailure::Singular);
  out.inverse_information = scaled_inverse(*chol, n);
  out.beta = std::move(at.beta);
  out.fitted = std::move(at.p);
  return out;
}

}  // namespace tessarix::linalg
