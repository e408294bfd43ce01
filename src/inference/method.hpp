// Which synthetic-control estimator a refit uses, with that estimator's own options: the
// placebo test, the batch fitter and (soon) the geo power loops all dispatch through it.
#pragma once

#include <variant>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"

namespace tessarix::inference {

struct ScMethod {
  std::variant<sc::synthetic::ScOptions, sc::augmented::AscOptions, sc::sdid::SdidOptions,
               sc::demeaned::FpOptions, sc::robust::RscOptions>
      options;

  // The estimator's fit at treatment time t0.
  ScFit fit_at(const Panel& panel, std::size_t t0) const;
  // The placebo test statistic of a fit: |att| for SDID and demeaned SC, otherwise the RMSPE
  // ratio post / pre (+inf when the pre-period fit is perfect or undefined).
  double statistic(const ScFit& fit) const;
  // True when the statistic is |att|, in outcome units; false for the scale-free ratio.
  bool statistic_is_absolute_att() const;
};

}  // namespace tessarix::inference
