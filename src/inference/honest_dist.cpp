#include "inference/honest_dist.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "inference/ci.hpp"

namespace tessarix::inference {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSqrt2 = 1.4142135623730950488;
constexpr double kLogSqrt2Pi = 0.91893853320467274178;
// Above this the upper tail comes from the continued fraction of Mills' ratio instead of
// erfc, whose result underflows near 37.5; at 30 the fraction converges in a few dozen terms.
constexpr double kTailSwitch = 30.0;
constexpr int kMillsTerms = 60;
// Newton steps of the quantile searches: each converges quadratically from its bracket, so
// this cap is reached only by a bisection fallback on a pathological interval.
constexpr int kMaxSteps = 200;
constexpr double kStepTol = 4.0 * std::numeric_limits<double>::epsilon();

// log P(Z > x).
double log_upper_tail(double x) {
  if (x < kTailSwitch) return std::log(0.5 * std::erfc(x / kSqrt2));
  double frac = 0.0;  // Mills' ratio R(x) = 1 / (x + 1 / (x + 2 / (x + 3 / ...)))
  for (int k = kMillsTerms; k >= 1; --k) frac = double(k) / (x + frac);
  return -0.5 * x * x - kLogSqrt2Pi - std::log(x + frac);
}

// d/dx log P(Z > x) = -phi(x) / P(Z > x).
double log_upper_tail_slope(double x, double log_tail) {
  return -std::exp(-0.5 * x * x - kLogSqrt2Pi - log_tail);
}

// The x in [lo, hi] (lo >= 0) with log P(Z > x) = target: Newton on the log tail, which is
// concave and decreasing, kept inside a shrinking bracket.
double solve_log_tail(double target, double lo, double hi) {
  double a = lo, b = hi;
  if (!std::isfinite(b)) {
    b = std::max(lo, 1.0);
    while (log_upper_tail(b) > target) b *= 2.0;
  }
  double x = std::clamp(std::sqrt(std::max(-2.0 * target, 0.0)), a, b);
  for (int i = 0; i < kMaxSteps; ++i) {
    const double f = log_upper_tail(x) - target;
    if (f > 0.0) a = x; else b = x;
    const double step = f / log_upper_tail_slope(x, f + target);
    double next = x - step;
    if (!(next > a && next < b)) next = 0.5 * (a + b);
    if (std::fabs(next - x) <= kStepTol * std::max(1.0, std::fabs(x)) || b - a <= kStepTol * std::max(1.0, std::fabs(a))) return next;
    x = next;
  }
  return x;
}

// P(X <= c) - p for X = |N(mu, 1)|, and its derivative in c.
double folded_gap(double c, double mu, double p) {
  return 0.5 * std::erfc(-(c - mu) / kSqrt2) - 0.5 * std::erfc((c + mu) / kSqrt2) - p;
}

}  // namespace

double normal_cdf(double x) { return 0.5 * std::erfc(-x / kSqrt2); }

double normal_quantile_exact(double p) {
  if (p <= 0.0) return -kInf;
  if (p >= 1.0) return kInf;
  double x = normal_quantile(p);
  // Halley's step on the error of the tail that holds the digits.
  const double e = p < 0.5 ? normal_cdf(x) - p : (1.0 - p) - 0.5 * std::erfc(x / kSqrt2);
  const double u = e * std::exp(0.5 * x * x + kLogSqrt2Pi);
  x -= u / (1.0 + 0.5 * x * u);
  return x;
}

double truncated_normal_quantile(double p, double lo, double hi) {
  if (!(hi > lo)) return lo;
  if (hi <= 0.0) return -truncated_normal_quantile(1.0 - p, -hi, -lo);
  if (lo >= 0.0) {
    // Upper tail at the quantile: (1 - p) P(Z > lo) + p P(Z > hi), in logs.
    const double tl = log_upper_tail(lo);
    const double th = std::isfinite(hi) ? log_upper_tail(hi) : -kInf;
    const double target = tl + std::log((1.0 - p) + p * std::exp(th - tl));
    return std::clamp(solve_log_tail(target, lo, hi), lo, hi);
  }
  // lo < 0 < hi: the mass near zero keeps its digits; invert on the smaller side.
  const double cdf_lo = normal_cdf(lo), cdf_hi = normal_cdf(hi);
  const double below = cdf_lo + p * (cdf_hi - cdf_lo);
  const double x = below <= 0.5 ? normal_quantile_exact(below)
                                : -normal_quantile_exact((1.0 - p) * (1.0 - cdf_lo) + p * normal_cdf(-hi));
  return std::clamp(x, lo, hi);
}

double folded_normal_quantile(double p, double mu) {
  mu = std::fabs(mu);
  if (!std::isfinite(mu)) return kInf;
  // Bracket [max(0, mu + z_p - 1), mu + z_{(1+p)/2}]: the quantile lies between that of
  // N(mu, 1) alone and the one that ignores the mirrored tail's help.
  double a = std::max(0.0, mu + normal_quantile_exact(p) - 1.0);
  double b = mu + normal_quantile_exact(0.5 * (1.0 + p)) + 1.0;
  double c = std::clamp(mu + normal_quantile_exact(p), a, b);
  for (int i = 0; i < kMaxSteps; ++i) {
    const double f = folded_gap(c, mu, p);
    if (f < 0.0) a = c; else b = c;
    const double slope = std::exp(-0.5 * (c - mu) * (c - mu) - kLogSqrt2Pi) +
                         std::exp(-0.5 * (c + mu) * (c + mu) - kLogSqrt2Pi);
    double next = c - f / slope;
    if (!(next > a && next < b)) next = 0.5 * (a + b);
    if (std::fabs(next - c) <= kStepTol * std::max(1.0, c)) return next;
    c = next;
  }
  return c;
}

}  // namespace tessarix::inference
