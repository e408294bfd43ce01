// Callaway & Sant'Anna group-time average treatment effects ATT(g, t) for staggered adoption,
// against never-treated or not-yet-treated controls, with an anticipation window and optional
// regression adjustment on unit covariates; each carries its influence function over all
// units, from which the event-study, per-cohort and overall aggregations (weights in
// proportion to cohort sizes, corrected for the estimated weights) and their standard errors
// are built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "estimators/did/effect.hpp"
#include "estimators/panel.hpp"

namespace tessarix::did::callaway {

// One (cohort, period) cell. Its influence function is folded into the aggregates as the cell
// is computed and not kept: over the cells of a large panel it would be the bulk of the memory.
struct GroupTimeAtt {
  std::size_t cohort = 0;         // g
  std::size_t period = 0;         // t
  std::int64_t event_time = 0;    // t - g
  double att = 0.0;
  double se = 0.0;                // sqrt(sum of squared influence values) / N
};

struct CsResult {
  std::vector<GroupTimeAtt> group_time;  // by cohort, then period
  std::vector<AggEffect> event;          // keyed by event time, ascending; influence kept on request
  std::vector<AggEffect> group;          // keyed by cohort, ascending
  std::vector<double> overall_influence; // empty when there is no post-treatment cell
  double att = 0.0;                      // overall post-treatment ATT
  double se = 0.0;
  double overall_group_att = 0.0;        // cohort-size-weighted average of the cohort effects
  double overall_group_se = 0.0;
};

// Group-time effects with a universal base period g - 1 - anticipation per cohort, and their
// aggregations. `not_yet` selects not-yet-treated controls (plus the never-treated), else the
// never-treated units, of which there must be at least one. Covariates attached to the panel
// switch on the regression adjustment. The event-study influence functions (N values per
// event time, for simultaneous bands) are kept only when `event_influence` is set.
CsResult fit_with_anticipation(const Panel& panel, bool not_yet, std::size_t anticipation,
                               bool event_influence = true);

}  // namespace tessarix::did::callaway
