// Sun & Abraham's interaction-weighted event study: a two-way fixed-effects regression on the
// fully saturated cohort x relative-period indicators (never-treated units as the reference
// group, the period before adoption as the reference period), whose coefficients are averaged
// over cohorts with cohort-share weights, with a unit-clustered sandwich covariance.
#pragma once

#include <vector>

#include "estimators/did/effect.hpp"
#include "estimators/panel.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::did::sunab {

struct SaResult {
  std::vector<AggEffect> event;  // one per relative period, ascending; influence left empty
  double att = 0.0;              // cohort-share average over the post-treatment interactions
  double se = 0.0;
  Mat event_vcov;                // covariance of the event entries, in their order
};

// The event study of a panel with at least one never-treated unit (units treated from period
// 0 are dropped first). The covariance is A meat A with A = (X'X + 1e-10 I)^-1 and unit
// clusters, no small-sample factor, cohort shares taken as fixed.
SaResult fit(const Panel& panel);

}  // namespace tessarix::did::sunab
