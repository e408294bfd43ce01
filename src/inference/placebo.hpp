// In-space placebo inference for the synthetic-control family: refit the estimator once per
// never-treated unit as if it were treated, and compare the real fit's test statistic with
// the placebo statistics.
#pragma once

#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "inference/method.hpp"

namespace tessarix::inference {

struct PlaceboResult {
  std::vector<double> att_path;       // the real fit's gaps
  std::vector<double> placebo_stats;  // placebo statistics in donor order, NaN removed
  std::vector<double> placebo_atts;   // the matching placebo ATTs
  double att = 0.0;                   // the real fit's ATT
  double stat = 0.0;                  // the real fit's statistic
  double p_value = 1.0;               // (#{placebo >= stat} + 1) / (#placebos + 1)
};

// Placebo test on a single-cohort panel; the refits run in parallel and the result does not
// depend on the number of workers.
PlaceboResult sc_placebo_method(const Panel& panel, const ScMethod& method);

// The same, given the real fit (method.fit_at on the panel at its treatment time) that the
// caller already has.
PlaceboResult sc_placebo_method(const Panel& panel, const ScMethod& method, ScFit real);

// The real fit and its placebo test, the real fit running on the pool beside the refits.
struct FitWithPlacebo {
  ScFit fit;
  PlaceboResult placebo;
};
FitWithPlacebo fit_with_placebo(const Panel& panel, const ScMethod& method);

}  // namespace tessarix::inference
