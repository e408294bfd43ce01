#include "estimators/did/sunab.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "estimators/fe/within.hpp"
#include "estimators/scale.hpp"
#include "linalg/factor/cholesky.hpp"
#include "linalg/ops/matmul.hpp"

// The design X has one column per (cohort g, relative period e) pair: the two-way within
// transform W of the indicator D of "unit in cohort g, period g + e". Its N T rows are never
// formed. W is an orthogonal projector and every indicator column has a closed-form within
// transform, so
//   X'X[j, k] = n_g (delta_gh - n_h / N) (delta_sr - 1 / T)   (pair j = (g, s), k = (h, r),
//                                                               s, r calendar periods)
//   X'v[j]    = sum over the units of g of v[u, s]            (v already within-transformed)
//   X beta    = W(B), B[u, t] = the coefficient of u's cohort at t (0 elsewhere),
// and unit u's score X_u' eps is (delta_{g,cohort(u)} - n_g / N) (eps[u, s] - mean_t eps[u, t]).
// The least-squares solve runs on X'X with iterative refinement against the residual of the
// full panel, which brings it to the accuracy of a QR solve of the dense design at O(N T)
// cost per step.

namespace tessarix::did::sunab {
namespace {

using linalg::Cholesky;

// Solve plus refinement steps of the normal equations: each step divides the error by about
// 1 / (cond(X)^2 eps), so two refinements reach the dense-QR answer for any design the
// normal equations can factor at all.
constexpr int kRefinementSteps = 2;
// Ridge added to X'X for the bread of the sandwich.
constexpr double kBreadRidge = 1e-10;

struct Pair {
  std::size_t cohort_index = 0;  // into Sample::cohorts
  std::size_t period = 0;        // calendar period g + e
  std::int64_t rel = 0;          // relative period e
};

// The estimation sample (units not treated from period 0) and its interaction set.
struct Sample {
  Mat y;
  std::vector<std::size_t> cohorts;     // adoption periods, ascending
  std::vector<double> size;             // n_g per cohort
  std::vector<std::size_t> unit_class;  // cohort index per unit; cohorts.size() = never treated
  std::vector<Pair> pairs;              // by cohort, then relative period; e = -1 left out
};

Sample build_sample(const Panel& panel) {
  const auto& starts = panel.treat_start();
  std::vector<std::size_t> keep;
  for (std::size_t u = 0; u < panel.n_units(); ++u) {
    if (starts[u] != std::size_t{0}) keep.push_back(u);
  }
  Sample s;
  const std::size_t t_count = panel.n_periods();
  s.y = Mat(keep.size(), t_count);
  for (std::size_t t = 0; t < t_count; ++t) {
    const std::span<const double> src = panel.y().col(t);
    const std::span<double> dst = s.y.col(t);
    for (std::size_t i = 0; i < keep.size(); ++i) dst[i] = src[keep[i]];
  }
  for (std::size_t c : panel.cohorts()) {
    if (c != 0) s.cohorts.push_back(c);
  }
  s.size.assign(s.cohorts.size(), 0.0);
  s.unit_class.assign(keep.size(), s.cohorts.size());
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (!starts[keep[i]]) continue;
    const auto it = std::lower_bound(s.cohorts.begin(), s.cohorts.end(), *starts[keep[i]]);
    s.unit_class[i] = static_cast<std::size_t>(it - s.cohorts.begin());
    s.size[s.unit_class[i]] += 1.0;
  }
  if (std::count(s.unit_class.begin(), s.unit_class.end(), s.cohorts.size()) == 0) {
    invariant_failure("Sun\u2013Abraham (this variant) uses never-treated units as the reference");
  }
  for (std::size_t c = 0; c < s.cohorts.size(); ++c) {
    const auto g = static_cast<std::int64_t>(s.cohorts[c]);
    for (std::int64_t e = -g; e < static_cast<std::int64_t>(t_count) - g; ++e) {
      if (e != -1) s.pairs.push_back({c, static_cast<std::size_t>(g + e), e});
    }
  }
  return s;
}

// X'X from the closed form above.
Mat gram(const Sample& s) {
  const std::size_t p = s.pairs.size();
  const double n = static_cast<double>(s.y.rows());
  const double inv_t = 1.0 / static_cast<double>(s.y.cols());
  Mat g(p, p);
  for (std::size_t k = 0; k < p; ++k) {
    const Pair& b = s.pairs[k];
    for (std::size_t j = 0; j < p; ++j) {
      const Pair& a = s.pairs[j];
      const double unit_part = (a.cohort_index == b.cohort_index ? 1.0 : 0.0) - s.size[b.cohort_index] / n;
      const double time_part = (a.period == b.period ? 1.0 : 0.0) - inv_t;
      g(j, k) = s.size[a.cohort_index] * unit_part * time_part;
    }
  }
  return g;
}

// X'v for a within-transformed v: per pair, the sum of v over its cohort's units at its period.
std::vector<double> cross(const Sample& s, const Mat& v) {
  const std::size_t n_class = s.cohorts.size() + 1;
  std::vector<double> sums(n_class * v.cols(), 0.0);  // (class, period) sums, class-major
  for (std::size_t t = 0; t < v.cols(); ++t) {
    const std::span<const double> col = v.col(t);
    for (std::size_t u = 0; u < v.rows(); ++u) sums[s.unit_class[u] * v.cols() + t] += col[u];
  }
  std::vector<double> out(s.pairs.size());
  for (std::size_t j = 0; j < s.pairs.size(); ++j) {
    out[j] = sums[s.pairs[j].cohort_index * v.cols() + s.pairs[j].period];
  }
  return out;
}

// eps = W(y - B(beta)) = y_within - X beta.
Mat residual(const Sample& s, std::span<const double> beta) {
  Mat fitted = s.y;
  for (std::size_t j = 0; j < s.pairs.size(); ++j) {
    const std::span<double> col = fitted.col(s.pairs[j].period);
    for (std::size_t u = 0; u < col.size(); ++u) {
      if (s.unit_class[u] == s.pairs[j].cohort_index) col[u] -= beta[j];
    }
  }
  return fe::two_way_within(fitted);
}

struct Coefficients {
  std::vector<double> beta;
  Mat eps;  // residual at beta
};

Coefficients least_squares(const Sample& s, const Mat& xtx) {
  auto chol = Cholesky::make(xtx);
  if (!chol) invariant_failure("SA design QR: " + chol.error().debug());
  Coefficients c{std::vector<double>(s.pairs.size(), 0.0), Mat()};
  for (int step = 0;; ++step) {
    c.eps = residual(s, c.beta);
    if (step > kRefinementSteps) return c;
    const std::vector<double> delta = chol->solve_vec(cross(s, c.eps));
    for (std::size_t j = 0; j < delta.size(); ++j) c.beta[j] += delta[j];
  }
}

// (X'X + ridge I)^-1, column by column.
Mat bread(const Mat& xtx) {
  auto chol = Cholesky::make_ridge(xtx, kBreadRidge);
  if (!chol) invariant_failure("XtX SPD: " + chol.error().debug());
  const std::size_t p = xtx.rows();
  Mat a(p, p);
  std::vector<double> unit(p, 0.0);
  for (std::size_t k = 0; k < p; ++k) {
    unit[k] = 1.0;
    const std::vector<double> col = chol->solve_vec(unit);
    std::copy(col.begin(), col.end(), a.col(k).begin());
    unit[k] = 0.0;
  }
  return a;
}

// Sum over units of the score outer products. With e[u, s] = eps[u, s] - mean_t eps[u, t],
// the score of u at pair j = (g, s) is c(u, g) e[u, s], c(u, g) = delta_{g,cohort(u)} - n_g / N,
// so the meat needs only each unit class's T x T cross-products of e.
Mat meat(const Sample& s, const Mat& eps) {
  const std::size_t n = eps.rows();
  const std::size_t t_count = eps.cols();
  const std::vector<double> row_mean = fe::unit_means(eps);
  Mat e(n, t_count);
  for (std::size_t t = 0; t < t_count; ++t) {
    for (std::size_t u = 0; u < n; ++u) e(u, t) = eps(u, t) - row_mean[u];
  }
  const std::size_t n_class = s.cohorts.size() + 1;
  std::vector<Mat> cp(n_class, Mat(t_count, t_count));
  for (std::size_t a = 0; a < t_count; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      const std::span<const double> ea = e.col(a);
      const std::span<const double> eb = e.col(b);
      for (std::size_t u = 0; u < n; ++u) cp[s.unit_class[u]](a, b) += ea[u] * eb[u];
    }
  }
  for (Mat& m : cp) {
    for (std::size_t a = 0; a < t_count; ++a)
      for (std::size_t b = 0; b < a; ++b) m(b, a) = m(a, b);
  }
  const double nd = static_cast<double>(n);
  const std::size_t p = s.pairs.size();
  Mat out(p, p);
  for (std::size_t k = 0; k < p; ++k) {
    for (std::size_t j = 0; j < p; ++j) {
      const Pair& pj = s.pairs[j];
      const Pair& pk = s.pairs[k];
      double v = 0.0;
      for (std::size_t h = 0; h < n_class; ++h) {
        const double cj = (h == pj.cohort_index ? 1.0 : 0.0) - s.size[pj.cohort_index] / nd;
        const double ck = (h == pk.cohort_index ? 1.0 : 0.0) - s.size[pk.cohort_index] / nd;
        v += cj * ck * cp[h](pj.period, pk.period);
      }
      out(j, k) = v;
    }
  }
  return out;
}

Mat sandwich(const Mat& a, const Mat& m) {
  Mat am(a.rows(), m.cols());
  linalg::gemm(a, m, am, 1.0, 0.0);
  Mat v(a.rows(), a.cols());
  linalg::gemm(am, a, v, 1.0, 0.0);
  return v;
}

// w'beta and sqrt(max(w'Vw, 0)) over the pairs listed with their weights; a NaN variance
// gives 0.
struct Combination {
  double att = 0.0;
  double se = 0.0;
};

Combination combine(std::span<const std::size_t> idx, std::span<const double> w,
                    std::span<const double> beta, const Mat& v) {
  Combination c;
  double var = 0.0;
  for (std::size_t a = 0; a < idx.size(); ++a) {
    c.att += w[a] * beta[idx[a]];
    for (std::size_t b = 0; b < idx.size(); ++b) var += w[a] * v(idx[a], idx[b]) * w[b];
  }
  c.se = var > 0.0 ? std::sqrt(var) : 0.0;
  return c;
}

// The covariance of the combinations w_a'beta over their pairs idx_a: w_a' V_(idx_a, idx_b) w_b.
Mat combination_covariance(const std::vector<std::vector<std::size_t>>& idx,
                           const std::vector<std::vector<double>>& w, const Mat& v) {
  Mat out(idx.size(), idx.size());
  for (std::size_t a = 0; a < idx.size(); ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      double c = 0.0;
      for (std::size_t i = 0; i < idx[a].size(); ++i) {
        for (std::size_t j = 0; j < idx[b].size(); ++j) c += w[a][i] * v(idx[a][i], idx[b][j]) * w[b][j];
      }
      out(a, b) = out(b, a) = c;
    }
  }
  return out;
}

// Cohort-share weights over the selected pairs: n_g / sum of n_g, each pair counted once.
// Empty when the shares sum to nothing.
std::vector<double> shares(const Sample& s, std::span<const std::size_t> idx) {
  double total = 0.0;
  for (std::size_t j : idx) total += s.size[s.pairs[j].cohort_index];
  if (!(total > 0.0)) return {};
  std::vector<double> w;
  for (std::size_t j : idx) w.push_back(s.size[s.pairs[j].cohort_index] / total);
  return w;
}

SaResult fit_in_range(const Panel& panel) {
  const Sample s = build_sample(panel);
  SaResult out;
  if (s.pairs.empty()) return out;
  const Mat xtx = gram(s);
  const Coefficients c = least_squares(s, xtx);
  const Mat v = sandwich(bread(xtx), meat(s, c.eps));

  std::vector<std::int64_t> rels;
  for (const Pair& p : s.pairs) rels.push_back(p.rel);
  std::sort(rels.begin(), rels.end());
  rels.erase(std::unique(rels.begin(), rels.end()), rels.end());
  std::vector<std::vector<std::size_t>> event_idx;
  std::vector<std::vector<double>> event_w;
  for (std::int64_t e : rels) {
    std::vector<std::size_t> idx;
    for (std::size_t j = 0; j < s.pairs.size(); ++j) {
      if (s.pairs[j].rel == e) idx.push_back(j);
    }
    std::vector<double> w = shares(s, idx);
    if (w.empty()) continue;
    const Combination k = combine(idx, w, c.beta, v);
    out.event.push_back({{}, e, k.att, k.se});
    event_idx.push_back(std::move(idx));
    event_w.push_back(std::move(w));
  }
  out.event_vcov = combination_covariance(event_idx, event_w, v);
  std::vector<std::size_t> post;
  for (std::size_t j = 0; j < s.pairs.size(); ++j) {
    if (s.pairs[j].rel >= 0) post.push_back(j);
  }
  const std::vector<double> w = shares(s, post);
  if (!w.empty()) {
    const Combination k = combine(post, w, c.beta, v);
    out.att = k.att;
    out.se = k.se;
  }
  return out;
}

}  // namespace

SaResult fit(const Panel& panel) {
  // Coefficients and standard errors are linear in the outcomes; squares of residuals
  // overflow or vanish outside the ordinary range of magnitudes.
  return linear_fit_at_canonical_scale(panel, fit_in_range, [](SaResult& r, int e) {
    for (AggEffect& k : r.event) {
      k.att = std::ldexp(k.att, e);
      k.se = std::ldexp(k.se, e);
    }
    r.att = std::ldexp(r.att, e);
    r.se = std::ldexp(r.se, e);
    for (double& c : r.event_vcov.data()) c = std::ldexp(c, 2 * e);
  });
}

}  // namespace tessarix::did::sunab
