// The records a power analysis of the geo-experiment design library returns. Which estimator
// an analysis fits is a member of the synthetic-control registry (estimators/sc/registry).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace tessarix::geo {

// The method name a blended power analysis reports.
inline constexpr std::string_view kEnsembleName = "ENSEMBLE";

// One lift on a power curve.
struct PowerPoint {
  double lift = 0.0;      // injected relative lift (0.1 = +10 %)
  double power = 0.0;     // detection rate over the placebo windows
  double est_mean = 0.0;  // mean estimated lift, as a fraction of the treated level
  double est_lo = 0.0;    // alpha / 2 quantile of the estimated lift over the windows
  double est_hi = 0.0;    // 1 - alpha / 2 quantile
};

struct PowerResult {
  std::optional<double> mde_pct;             // minimum detectable relative lift
  std::optional<double> mde_abs_per_period;  // in outcome units per period of the treated mean
  std::optional<double> mde_cumulative;      // summed over treated markets and test periods
  std::vector<PowerPoint> points;            // one per requested lift, in the caller's order
  double critical_value = 0.0;               // detection threshold on |ATT|
  double se_null = 0.0;                      // spread of the no-lift placebo ATTs
  std::size_t n_windows = 0;
  std::string_view method;  // the member's display name, or kEnsembleName
  std::optional<std::vector<double>> ensemble_weights;  // ensembles only, in member order
};

}  // namespace tessarix::geo
