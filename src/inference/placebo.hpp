// In-space placebo inference for the synthetic-control family: refit the estimator once per
// never-treated unit as if it were treated, and compare the real fit's test statistic with
// the placebo statistics.
#pragma once

#include <cstddef>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/fit_inference.hpp"

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
PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method);

// The same, given the real fit (method.fit_at on the panel at its treatment time) that the
// caller already has.
PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method, ScFit real);

// The real fit and its placebo test, the real fit running on the pool beside the refits.
struct FitWithPlacebo {
  ScFit fit;
  PlaceboResult placebo;
};
FitWithPlacebo fit_with_placebo(const Panel& panel, const sc::Method& method);

// The inference of a placebo test: nothing when no placebo survived; otherwise its p-value,
// the placebo statistics as the null distribution, the placebo ATTs, and their sample spread
// and percentile interval at `level` shifted by the real ATT (the ATTs, not the statistics,
// are on the outcome scale).
FitInference placebo_inference(const PlaceboResult& placebo, double level);

// The real fit with the inference of its placebo test, as placebo_inference gives it.
InferredFit fit_with_placebo_inference(const Panel& panel, const sc::Method& method, double level);

// One placebo refit's full gap: treated minus synthetic over every period of the placebo
// panel, the refit's pre_gap followed by its att_path.
struct PlaceboPath {
  std::size_t unit = 0;     // the pseudo-treated donor's unit index in the panel
  std::vector<double> gap;  // one entry per period

  friend bool operator==(const PlaceboPath&, const PlaceboPath&) = default;
};

// The gap paths of the refits the placebo test keeps: the same placebo panels and donor order,
// the refits whose statistic is NaN dropped, so that entry i belongs to placebo_atts[i]. On
// the pool, independent of the number of workers.
std::vector<PlaceboPath> placebo_paths(const Panel& panel, const sc::Method& method);

// The real fit and the placebo gap paths, the real fit running on the pool beside the refits.
struct FitWithPlaceboPaths {
  ScFit fit;
  std::vector<PlaceboPath> placebo;
};
FitWithPlaceboPaths fit_with_placebo_paths(const Panel& panel, const sc::Method& method);

}  // namespace tessarix::inference
