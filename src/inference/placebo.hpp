// In-space placebo inference for the synthetic-control family: refit the estimator once per
// never-treated unit as if it were treated, and compare the real fit's test statistic with
// the placebo statistics.
#pragma once

#include <variant>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"

namespace tessarix::inference {

// Which estimator a placebo refit uses, with that estimator's own options.
struct ScMethod {
  std::variant<sc::synthetic::ScOptions, sc::augmented::AscOptions, sc::sdid::SdidOptions,
               sc::demeaned::FpOptions, sc::robust::RscOptions>
      options;

  // The estimator's fit at treatment time t0.
  ScFit fit_at(const Panel& panel, std::size_t t0) const;
  // The placebo test statistic of a fit: |att| for SDID and demeaned SC, otherwise the RMSPE
  // ratio post / pre (+inf when the pre-period fit is perfect or undefined).
  double statistic(const ScFit& fit) const;
};

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

}  // namespace tessarix::inference
