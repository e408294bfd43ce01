// Interval construction shared by every inference path: percentile intervals with a
// standard error from resampled or placebo values, type-7 quantiles, and the standard-normal
// quantile.
#pragma once

#include <span>

namespace tessarix::inference {

struct PercentileCi {
  double estimate = 0.0;  // passed through
  double se = 0.0;        // sample standard deviation of the samples (n - 1 divisor)
  double lower = 0.0;     // quantile at (1 - level) / 2
  double upper = 0.0;     // quantile at 1 - (1 - level) / 2
  double level = 0.0;     // passed through
};

// Percentile bounds and spread of `samples`; level must lie in (0, 1) and the samples must
// not contain NaN (invariant failures otherwise).
PercentileCi percentile_ci(std::span<const double> samples, double estimate, double level);

// Linear interpolation between order statistics of an ascending list (type 7); q is clamped
// into [0, 1]; NaN for an empty list.
double quantile_sorted(std::span<const double> sorted, double q);

// The same quantile of `values` in any order, its order statistics found by selection in
// linear time instead of a sort; reorders `values`, which must not contain NaN. Equal values
// of different bits (+0 and -0) may stand in for one another.
double quantile_select(std::span<double> values, double q);

// Sample standard deviation (n - 1 divisor) from the mean and the squared deviations, computed
// where the squares neither overflow nor vanish; 0 with fewer than two samples.
double sample_sd(std::span<const double> samples);

// Inverse standard-normal distribution function (Acklam's rational approximation).
double normal_quantile(double p);

// An interval for an effect from m placebo estimates of a zero effect whose errors are
// exchangeable with the real estimate's. The real error's rank among the m + 1 is then
// uniform, so it lies at or below the k-th smallest placebo estimate with probability at
// least k / (m + 1). The bounds are estimate - e_(k_hi) and estimate - e_(k_lo), with
// k_hi = ceil((m + 1)(1 - a/2)) and k_lo = floor((m + 1) a/2) for a = 1 - level; a rank
// outside 1..m leaves its end open (infinite), since too few placebos support no finite bound
// with that coverage. The coverage is at least `level`. NaN estimates are invariant failures.
struct RankInterval {
  double lower = 0.0;
  double upper = 0.0;
};
RankInterval rank_interval(std::span<const double> placebo_estimates, double estimate, double level);

struct NormalCi {
  double lower = 0.0;
  double upper = 0.0;
};

// estimate -/+ z se with z the standard-normal quantile at 1 - (1 - level) / 2.
NormalCi normal_ci(double estimate, double se, double level);

}  // namespace tessarix::inference
