#include "inference/ci.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "estimators/result.hpp"
#include "linalg/error.hpp"

namespace tessarix::inference {

namespace {

// Where the type-7 quantile at q of n >= 2 ordered values lies: between order statistics i and
// j = i or i + 1, at fraction frac of the way.
struct QuantilePosition {
  std::size_t i;
  std::size_t j;
  double frac;

  QuantilePosition(std::size_t n, double q) {
    const double h = std::clamp(q, 0.0, 1.0) * static_cast<double>(n - 1);
    const double lo = std::floor(h);
    i = static_cast<std::size_t>(lo);
    j = static_cast<std::size_t>(std::ceil(h));
    frac = h - lo;
  }

  double interpolate(double at_i, double at_j) const {
    return i == j ? at_i : (1.0 - frac) * at_i + frac * at_j;
  }
};

}  // namespace

double quantile_sorted(std::span<const double> sorted, double q) {
  const std::size_t n = sorted.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  if (n == 1) return sorted[0];
  const QuantilePosition at(n, q);
  return at.interpolate(sorted[at.i], sorted[at.j]);
}

double quantile_select(std::span<double> values, double q) {
  const std::size_t n = values.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  if (n == 1) return values[0];
  const QuantilePosition at(n, q);
  std::nth_element(values.begin(), values.begin() + at.i, values.end());
  if (at.i == at.j) return values[at.i];
  // Everything after position i is at least values[i]; the next order statistic is their least.
  return at.interpolate(values[at.i], *std::min_element(values.begin() + at.j, values.end()));
}

double sample_sd(std::span<const double> samples) {
  const std::size_t n = samples.size();
  if (n < 2) return 0.0;
  return scale_free(samples, [n](std::span<const double> x) {
    return std::sqrt(sum_sq_dev(x) / static_cast<double>(n - 1));
  });
}

PercentileCi percentile_ci(std::span<const double> samples, double estimate, double level) {
  if (!(level > 0.0 && level < 1.0)) invariant_failure("assertion failed: level > 0.0 && level < 1.0");
  std::vector<double> sorted(samples.begin(), samples.end());
  if (sorted.size() >= 2 && std::any_of(sorted.begin(), sorted.end(), [](double x) { return std::isnan(x); })) {
    invariant_failure("percentile_ci: a NaN sample has no place in the ordering");
  }
  std::stable_sort(sorted.begin(), sorted.end());
  const double alpha = (1.0 - level) * 0.5;
  PercentileCi ci;
  ci.estimate = estimate;
  ci.level = level;
  ci.lower = quantile_sorted(sorted, alpha);
  ci.upper = quantile_sorted(sorted, 1.0 - alpha);
  ci.se = sample_sd(samples);
  return ci;
}

double normal_quantile(double p) {
  if (!(p > 0.0 && p < 1.0)) invariant_failure("normal_quantile needs p in (0, 1)");
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                 -2.759285104469687e+02, 1.383577518672690e+02,
                                 -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                 -1.556989798598866e+02, 6.680131188771972e+01,
                                 -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                 -2.400758277161838e+00, -2.549732539343734e+00,
                                 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                 2.445134137142996e+00, 3.754408661907416e+00};
  constexpr double p_low = 0.02425;
  constexpr double p_high = 1.0 - p_low;
  const auto tail = [&](double q) {
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  };
  if (p < p_low) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p <= p_high) {
    const double q = p - 0.5;
    const double r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
  }
  return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
}

namespace {

// Slack for the rank arithmetic: (m + 1)(1 - a/2) is an integer for the usual levels and
// placebo counts (0.95 and 39), and a rounding error in the product must not push it over.
constexpr double kRankSlack = 1e-9;

// The ranks k_lo <= k_hi of the order statistics bounding the real error, 1-based; either may
// fall outside 1..m.
std::pair<double, double> bounding_ranks(std::size_t m, double level) {
  const double tail = (1.0 - level) / 2.0;
  const double count = static_cast<double>(m + 1);
  return {std::floor(count * tail + kRankSlack), std::ceil(count * (1.0 - tail) - kRankSlack)};
}

}  // namespace

RankInterval rank_interval(std::span<const double> placebo_estimates, double estimate, double level) {
  if (!(level > 0.0 && level < 1.0)) invariant_failure("assertion failed: level > 0.0 && level < 1.0");
  std::vector<double> sorted(placebo_estimates.begin(), placebo_estimates.end());
  if (std::any_of(sorted.begin(), sorted.end(), [](double x) { return std::isnan(x); })) {
    invariant_failure("rank_interval: a NaN placebo estimate has no rank");
  }
  std::sort(sorted.begin(), sorted.end());
  const auto [k_lo, k_hi] = bounding_ranks(sorted.size(), level);
  const double m = static_cast<double>(sorted.size());
  constexpr double kInf = std::numeric_limits<double>::infinity();
  RankInterval out;
  out.lower = k_hi <= m ? estimate - sorted[static_cast<std::size_t>(k_hi) - 1] : -kInf;
  out.upper = k_lo >= 1.0 ? estimate - sorted[static_cast<std::size_t>(k_lo) - 1] : kInf;
  return out;
}

NormalCi normal_ci(double estimate, double se, double level) {
  const double z = normal_quantile(1.0 - (1.0 - level) / 2.0);
  return {estimate - z * se, estimate + z * se};
}

}  // namespace tessarix::inference
