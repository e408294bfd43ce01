// Design diagnostics of a proposed geo test: each score is computed from the treated markets'
// average series over the pre-period (the volume share alone uses every period), then the
// scores are blended into a 0-100 confidence and the weak points are spelled out as warnings.
#include "geo/diagnostics.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/scale.hpp"
#include "estimators/sc/synthetic.hpp"
#include "inference/ci.hpp"
#include "linalg/error.hpp"

namespace tessarix::geo {
namespace {

// Floor under every denominator, so that a flat or empty series never divides by zero. The
// scores are taken at the canonical scale, where the largest outcome is at least 1, so the
// floor lies far below the spread of any series that is not flat, whatever the panel's units.
constexpr double kFloor = 1e-12;

// Seasonality needs a pre-period long enough for a few cycles of changes, and looks at lags
// from 2 (lag 1 is ordinary momentum, not a cycle) up to half the changes, at most 60.
constexpr std::size_t kMinSeasonalPre = 6;
constexpr std::size_t kMinSeasonalChanges = 4;
constexpr std::size_t kMinLag = 2;
constexpr std::size_t kMaxLag = 60;

// Volatility of 1/8 of the level halves the stability score.
constexpr double kVolatilityScale = 8.0;

// Treated shares of volume inside this band are comfortable: large enough to detect a lift,
// small enough to leave a donor pool. Outside it the volume score falls off linearly.
constexpr double kVolumeLow = 0.03;
constexpr double kVolumeHigh = 0.35;

// Weights of the confidence score (they sum to 1): the pre-period fit matters most.
constexpr double kWeightImprovement = 0.2;
constexpr double kWeightStability = 0.25;
constexpr double kWeightFit = 0.4;
constexpr double kWeightVolume = 0.15;
constexpr double kConfidenceScale = 100.0;

// Warning thresholds.
constexpr double kWeakFit = 0.5;           // RMSPE above half the treated series' spread
constexpr double kVolatile = 0.25;         // swings above a quarter of the level
constexpr double kSeasonal = 0.3;          // autocorrelation of changes at the cycle lag
constexpr double kLargeHoldout = 0.45;     // share of volume
constexpr double kSmallHoldout = 0.02;     // share of volume
constexpr std::size_t kMinDonors = 5;      // a stable synthetic control needs a few donors
constexpr std::size_t kPreToTestRatio = 2; // history wanted per test period

double clamp_unit(double x) { return std::clamp(x, 0.0, 1.0); }

// x with exactly `digits` decimals, rounded from its exact binary value (ties to even).
std::string fixed(double x, int digits) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[400];  // enough for the largest double with a few decimals
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, digits);
  return {buf, r.ptr};
}

// Period-to-period changes of a series: n - 1 values.
std::vector<double> changes(std::span<const double> x) {
  std::vector<double> c;
  for (std::size_t i = 1; i < x.size(); ++i) c.push_back(x[i] - x[i - 1]);
  return c;
}

// The markets outside the treated list, ascending.
std::vector<std::size_t> donors_of(std::size_t n_markets, std::span<const std::size_t> treated) {
  std::vector<bool> is_treated(n_markets, false);
  for (std::size_t u : treated) is_treated[u] = true;
  std::vector<std::size_t> donors;
  for (std::size_t u = 0; u < n_markets; ++u) {
    if (!is_treated[u]) donors.push_back(u);
  }
  return donors;
}

// Treated share of the total volume over all periods; 0 when the total is not positive.
double holdout_share(const Mat& y, std::span<const std::size_t> treated) {
  double total = 0.0;
  for (double v : y.data()) total += v;
  double held = 0.0;
  for (std::size_t u : treated) {
    for (std::size_t t = 0; t < y.cols(); ++t) held += y(u, t);
  }
  return total > 0.0 ? held / total : 0.0;
}

// RMS gap of the naive predictor: the donors' average shifted to the treated pre-period level.
double naive_rmspe(std::span<const double> x_pre, std::span<const double> z_pre) {
  const double shift = mean(x_pre) - mean(z_pre);
  double ss = 0.0;
  for (std::size_t t = 0; t < x_pre.size(); ++t) {
    const double gap = x_pre[t] - (z_pre[t] + shift);
    ss += gap * gap;
  }
  return std::max(std::sqrt(ss / static_cast<double>(x_pre.size())), kFloor);
}

struct Seasonality {
  double strength = 0.0;
  std::size_t period = 0;
};

// The strongest positive autocorrelation of the changes at lags >= 2; ties keep the shorter lag.
Seasonality seasonality(std::span<const double> c) {
  const std::size_t n = c.size();
  const double mu = mean(c);
  const double spread = sum_sq_dev(c);
  if (spread <= 0.0 || n < kMinSeasonalChanges) return {};
  const std::size_t max_lag = std::min(n / 2, kMaxLag);
  Seasonality best;
  for (std::size_t k = kMinLag; k <= max_lag; ++k) {
    double cov = 0.0;
    for (std::size_t i = k; i < n; ++i) cov += (c[i] - mu) * (c[i - k] - mu);
    const double r = cov / spread;
    if (r > best.strength) best = {r, k};
  }
  best.strength = clamp_unit(best.strength);
  return best;
}

// Full marks inside the comfortable band, falling linearly to 0 at no volume and at 70 %.
double volume_score(double share) {
  if (share < kVolumeLow) return clamp_unit(share / kVolumeLow);
  if (share > kVolumeHigh) return clamp_unit(1.0 - (share - kVolumeHigh) / kVolumeHigh);
  return 1.0;
}

// 1 - relative RMSPE, in [0, 1]; an undefined fit scores 0.
double fit_score(double pre_fit_rel) {
  const double f = 1.0 - pre_fit_rel;
  return std::isnan(f) ? 0.0 : clamp_unit(f);
}

std::vector<std::string> warnings_for(const Diagnostics& d, double volatility,
                                      std::size_t period, std::size_t n_donors,
                                      std::size_t t0, std::size_t test_len) {
  std::vector<std::string> w;
  if (d.pre_fit_rel > kWeakFit) {
    w.push_back("Weak pre-period fit (relative RMSPE " + fixed(d.pre_fit_rel, 2) +
                "); the synthetic control tracks the treated markets poorly \u2014 treat results "
                "with caution.");
  }
  if (volatility > kVolatile) {
    w.push_back("Treated markets are volatile pre-period (period-to-period swings \u2248" +
                fixed(100.0 * volatility, 0) + "% of level); power may be unstable.");
  }
  if (d.seasonality_strength > kSeasonal) {
    w.push_back("Seasonality detected (\u2248" + std::to_string(period) +
                "-period cycle); ensure the test window spans comparable seasonal conditions.");
  }
  if (d.holdout_pct > kLargeHoldout) {
    w.push_back("Treated markets are " + fixed(100.0 * d.holdout_pct, 0) +
                "% of volume \u2014 a large holdout leaves a thin, possibly poor-matching donor "
                "pool.");
  }
  if (d.holdout_pct < kSmallHoldout) {
    w.push_back("Treated markets are only " + fixed(100.0 * d.holdout_pct, 1) +
                "% of volume \u2014 likely too small to detect realistic lifts.");
  }
  if (n_donors < kMinDonors) {
    w.push_back("Only " + std::to_string(n_donors) +
                " donor markets; synthetic control needs a richer donor pool for a stable "
                "counterfactual.");
  }
  if (t0 < kPreToTestRatio * test_len) {
    w.push_back("Short pre-period (" + std::to_string(t0) + " periods) relative to the " +
                std::to_string(test_len) + "-period test; more history improves the fit.");
  }
  return w;
}

}  // namespace

std::vector<double> unit_avg(const Mat& y, std::span<const std::size_t> markets) {
  std::vector<double> avg(y.cols(), 0.0);
  if (markets.empty()) return avg;
  const double count = static_cast<double>(markets.size());
  for (std::size_t t = 0; t < y.cols(); ++t) {
    double s = 0.0;
    for (std::size_t u : markets) s += y(u, t);
    avg[t] = s / count;
  }
  return avg;
}

namespace {

// The diagnostics of y as it is (the caller has brought it to its canonical scale).
Diagnostics diagnostics_at(const Mat& y, std::span<const std::size_t> treated, std::size_t test_len) {
  const std::size_t t0 = y.cols() - test_len;

  const std::vector<double> x = unit_avg(y, treated);
  const std::vector<std::size_t> donors = donors_of(y.rows(), treated);
  const std::vector<double> z = unit_avg(y, donors);
  const std::span<const double> x_pre(x.data(), t0);
  const std::span<const double> z_pre(z.data(), t0);

  Diagnostics d;
  d.holdout_pct = holdout_share(y, treated);

  const Panel panel = Panel::block(y, treated, t0);
  const double rmspe = sc::synthetic::fit_at(panel, t0, sc::synthetic::ScOptions{}).pre_rmspe;
  d.pre_fit_rel = t0 < 2 ? rmspe / kFloor : rmspe / std::max(inference::sample_sd(x_pre), kFloor);
  d.improvement_vs_naive = clamp_unit(1.0 - rmspe / naive_rmspe(x_pre, z_pre));

  const std::vector<double> c = changes(x_pre);
  const Seasonality season = t0 >= kMinSeasonalPre ? seasonality(c) : Seasonality{};
  d.seasonality_strength = season.strength;

  const double level = std::max(std::fabs(mean(x_pre)), kFloor);
  const double volatility = inference::sample_sd(c) / level;
  d.stability_score = clamp_unit(1.0 / (kVolatilityScale * volatility + 1.0));

  const double blend = kWeightImprovement * d.improvement_vs_naive +
                       kWeightStability * d.stability_score +
                       kWeightFit * fit_score(d.pre_fit_rel) +
                       kWeightVolume * volume_score(d.holdout_pct);
  d.confidence = kConfidenceScale * clamp_unit(blend);

  d.warnings = warnings_for(d, volatility, season.period, donors.size(), t0, test_len);
  return d;
}

}  // namespace

Diagnostics diagnostics(const Mat& outcomes, std::span<const std::size_t> treated, std::size_t test_len) {
  const std::size_t n_periods = outcomes.cols();
  if (test_len < 1 || test_len >= n_periods) {
    invariant_failure("test_len must be in [1, n_periods); got " + std::to_string(test_len) +
                      " with " + std::to_string(n_periods) + " periods");
  }
  // Every score is scale-free: computed at the canonical scale, where neither the spread of
  // the treated series nor the floors under the denominators depend on the panel's units.
  return on_canonical_scale(outcomes, [&](const Mat& y, int) { return diagnostics_at(y, treated, test_len); });
}

}  // namespace tessarix::geo
