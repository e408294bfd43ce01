// Smoothness: the optimal fixed-length confidence interval over Delta^SD(M).
//
// An affine estimator v'betahat with v = (v_pre, l) has finite worst-case bias over
// Delta^SD(M) only when it is blind to linear trends, sum_t v_t t = 0 (t = -num_pre..-1 and
// 1..num_post). Writing delta through its second differences, anchored at delta_0 = 0, the
// bias is then sum_s g_s Delta2_s, so the worst case is M (||g||_1 + C): the post-period part
// C = sum_{s=0}^{T-1} |sum_{t>s} l_t (t - s)| is fixed by l, and the pre-period coefficients
// g_s = sum_{t<s} v_t (s - t), s = -num_pre+1..-1, are free. v_pre is the second difference
// of (0, 0, g, sum_t t l_t), so g parametrises every trend-blind estimator, and
//   the worst-case bias is M (||g||_1 + C) and the variance q(g) = v(g)' Sigma v(g).
// For each standard deviation h the least-biased estimator minimises ||g||_1 subject to
// q(g) <= h^2: a point of the lasso path of min 1/2 g'Qg + r'g + lambda ||g||_1, which the
// homotopy gives exactly (linalg/opt/l1_path), h running from the unconstrained minimum
// (lambda = 0) to sqrt(q(0)) (the estimator that extrapolates the last pre-period's trend).
// The half-length h cv_alpha(M b(h) / h) is then minimised over that range.
#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "inference/honest.hpp"
#include "inference/honest_dist.hpp"
#include "linalg/error.hpp"
#include "linalg/opt/l1_path.hpp"
#include "runtime/interrupt.hpp"

namespace tessarix::inference {
namespace {

// The half-length is scanned at this many standard deviations before the golden-section
// search refines the best bracket.
constexpr std::size_t kScanPoints = 64;
// The golden-section search stops when its bracket is this small relative to sqrt(q(0)):
// the estimate moves by |v'betahat|-scale times this, far below the 1e-9 the intervals need.
constexpr double kSearchTol = 1e-14;
constexpr double kInvPhi = 0.61803398874989484820;
// A variance within this relative distance of the smallest one is the smallest one: a few
// roundings of sqrt and its square.
constexpr double kMinVarianceTol = 1e-14;

struct SdProblem {
  Mat f;                   // (num_pre + num_post) x (num_pre - 1): v = f g + v0
  std::vector<double> v0;
  Mat q;                   // f' Sigma f
  std::vector<double> r;   // f' Sigma v0
  double q0 = 0.0;         // v0' Sigma v0
  double post_bias = 0.0;  // C
  linalg::L1Path path;
  std::vector<double> knot_var;  // q at each knot
};

double quad(const SdProblem& p, std::span<const double> g) {
  double v = p.q0;
  for (std::size_t i = 0; i < g.size(); ++i) {
    double row = 0.0;
    for (std::size_t j = 0; j < g.size(); ++j) row += p.q(i, j) * g[j];
    v += g[i] * row + 2.0 * p.r[i] * g[i];
  }
  return v;
}

SdProblem make_problem(const EventStudy& es) {
  const std::size_t pre = es.num_pre, post = es.num_post, n = pre + post, k = pre - 1;
  SdProblem p;
  double trend = 0.0;  // sum_t t l_t
  for (std::size_t t = 0; t < post; ++t) trend += double(t + 1) * es.l[t];
  p.f = Mat(n, k);
  for (std::size_t i = 0; i < k; ++i) {
    p.f(i, i) = 1.0;
    if (i + 1 < pre) p.f(i + 1, i) = -2.0;
    if (i + 2 < pre) p.f(i + 2, i) = 1.0;
  }
  p.v0.assign(n, 0.0);
  p.v0[pre - 1] = trend;
  for (std::size_t t = 0; t < post; ++t) p.v0[pre + t] = es.l[t];
  for (std::size_t s = 0; s < post; ++s) {
    double w = 0.0;
    for (std::size_t t = s; t < post; ++t) w += es.l[t] * double(t + 1 - s);
    p.post_bias += std::fabs(w);
  }
  // Sigma f and Sigma v0, then the quadratic's blocks.
  Mat sf(n, k);
  std::vector<double> sv(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      sv[i] += es.sigma(i, j) * p.v0[j];
      for (std::size_t c = 0; c < k; ++c) sf(i, c) += es.sigma(i, j) * p.f(j, c);
    }
  }
  p.q = Mat(k, k);
  p.r.assign(k, 0.0);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t i = 0; i < n; ++i) {
      p.r[a] += p.f(i, a) * sv[i];
      for (std::size_t b = 0; b < k; ++b) p.q(a, b) += p.f(i, a) * sf(i, b);
    }
  }
  for (std::size_t i = 0; i < n; ++i) p.q0 += p.v0[i] * sv[i];
  p.path = linalg::l1_path(p.q, p.r);
  for (const auto& g : p.path.points) p.knot_var.push_back(quad(p, g));
  return p;
}

// The least-biased g with variance h^2: on the path segment where the variance crosses h^2,
// the root of the quadratic q(g_lo + t (g_hi - g_lo)) = h^2 in t in [0, 1].
std::vector<double> g_at_sd(const SdProblem& p, double h) {
  const double target = h * h;
  const auto& pts = p.path.points;
  if (target >= p.knot_var.front()) return pts.front();
  // The smallest variance, up to the rounding of h = sqrt(variance) squared again: the path's
  // end. (Solving the last segment there would turn a rounding error e of the variance into a
  // step of sqrt(e) along the segment, which is flat at its end.)
  if (target <= p.knot_var.back() * (1.0 + kMinVarianceTol)) return pts.back();
  for (std::size_t i = 1; i < pts.size(); ++i) {
    if (target < p.knot_var[i]) continue;
    const std::vector<double>& lo = pts[i];
    std::vector<double> dg(lo.size());
    for (std::size_t j = 0; j < dg.size(); ++j) dg[j] = pts[i - 1][j] - lo[j];
    double qa = 0.0, qb = 0.0;
    for (std::size_t a = 0; a < dg.size(); ++a) {
      double qd = 0.0, ql = 0.0;
      for (std::size_t b = 0; b < dg.size(); ++b) {
        qd += p.q(a, b) * dg[b];
        ql += p.q(a, b) * lo[b];
      }
      qa += dg[a] * qd;
      qb += 2.0 * (dg[a] * ql + p.r[a] * dg[a]);
    }
    const double qc = p.knot_var[i] - target;  // <= 0
    const double disc = std::sqrt(std::fmax(qb * qb - 4.0 * qa * qc, 0.0));
    // At the segment's low end already (the variance's minimum, where the slope qb vanishes
    // too, when h is the smallest standard deviation): t = 0. Otherwise qc < 0 keeps every
    // denominator away from zero.
    double t = 0.0;
    if (qc >= 0.0) t = 0.0;
    else if (qa > 0.0) t = qb >= 0.0 ? (-2.0 * qc) / (qb + disc) : (-qb + disc) / (2.0 * qa);
    else if (qb > 0.0) t = -qc / qb;
    t = std::clamp(t, 0.0, 1.0);
    std::vector<double> g(lo.size());
    for (std::size_t j = 0; j < g.size(); ++j) g[j] = lo[j] + t * dg[j];
    return g;
  }
  return pts.back();
}

double l1_norm(std::span<const double> g) {
  double s = 0.0;
  for (double v : g) s += std::fabs(v);
  return s;
}

// Half-length at standard deviation h, and the worst-case bias there.
std::pair<double, double> half_length(const SdProblem& p, double m, double alpha, double h) {
  const double bias = m * (l1_norm(g_at_sd(p, h)) + p.post_bias);
  if (h <= 0.0) return {bias, bias};
  return {h * folded_normal_quantile(1.0 - alpha, bias / h), bias};
}

// The h in [lo, hi] with the shortest half-length: the best of an even scan, refined by a
// golden-section search in the scan's bracket around it.
double best_sd(const SdProblem& p, double m, double alpha, double lo, double hi) {
  if (m == 0.0 || hi <= lo) return lo;  // no bias: the smallest variance wins
  const auto f = [&](double h) { return half_length(p, m, alpha, h).first; };
  std::size_t best = 0;
  double best_val = f(lo);
  const double step = (hi - lo) / double(kScanPoints - 1);
  for (std::size_t i = 1; i < kScanPoints; ++i) {
    const double v = f(i + 1 == kScanPoints ? hi : lo + double(i) * step);
    if (v < best_val) {
      best_val = v;
      best = i;
    }
  }
  double a = best == 0 ? lo : lo + double(best - 1) * step;
  double b = best + 1 >= kScanPoints ? hi : lo + double(best + 1) * step;
  double x1 = b - kInvPhi * (b - a), x2 = a + kInvPhi * (b - a);
  double f1 = f(x1), f2 = f(x2);
  while (b - a > kSearchTol * hi) {
    if (f1 <= f2) {
      b = x2; x2 = x1; f2 = f1;
      x1 = b - kInvPhi * (b - a); f1 = f(x1);
    } else {
      a = x1; x1 = x2; f1 = f2;
      x2 = a + kInvPhi * (b - a); f2 = f(x2);
    }
  }
  const double mid = 0.5 * (a + b);
  // The ends of the range are candidates too (the optimum may sit on either).
  double h = mid, val = f(mid);
  for (double end : {lo, hi}) {
    const double v = f(end);
    if (v < val) { val = v; h = end; }
  }
  return h;
}

}  // namespace

std::vector<Flci> sd_flci(const EventStudy& es, std::span<const double> m, double alpha) {
  if (es.num_pre < 2) invariant_failure("sd_flci needs at least two pre-periods");
  const SdProblem p = make_problem(es);
  const double h_min = std::sqrt(std::fmax(p.knot_var.back(), 0.0));
  const double h_max = std::sqrt(std::fmax(p.q0, 0.0));
  std::vector<Flci> out;
  for (double bound : m) {
    runtime::interruption_point();
    const double h = best_sd(p, bound, alpha, h_min, h_max);
    const std::vector<double> g = g_at_sd(p, h);
    Flci r;
    r.bound = bound;
    r.sd = h;
    std::tie(r.half_length, r.worst_bias) = half_length(p, bound, alpha, h);
    r.weights = p.v0;
    for (std::size_t i = 0; i < r.weights.size(); ++i) {
      for (std::size_t c = 0; c < g.size(); ++c) r.weights[i] += p.f(i, c) * g[c];
    }
    double est = 0.0;
    for (std::size_t i = 0; i < r.weights.size(); ++i) est += r.weights[i] * es.betahat[i];
    r.lower = est - r.half_length;
    r.upper = est + r.half_length;
    out.push_back(std::move(r));
  }
  return out;
}

double sd_default_m_max(const EventStudy& es, double alpha) {
  const std::size_t pre = es.num_pre;
  const double z = normal_quantile_exact(1.0 - alpha);
  double best = -std::numeric_limits<double>::infinity();
  // Second differences of (b_pre, 0): row r spans positions r, r+1, r+2.
  for (std::size_t r = 0; r + 1 < pre; ++r) {
    double w[3] = {1.0, -2.0, 1.0};
    double diff = 0.0, var = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t a = r + i;
      if (a < pre) diff += w[i] * es.betahat[a];
      for (std::size_t j = 0; j < 3; ++j) {
        const std::size_t b = r + j;
        if (a < pre && b < pre) var += w[i] * es.sigma(a, b) * w[j];
      }
    }
    const double se = std::sqrt(std::fmax(var, 0.0));
    best = std::fmax(best, std::fmax(diff, -diff) + z * se);
  }
  return best;
}

}  // namespace tessarix::inference
