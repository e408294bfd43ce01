// One aggregated DiD effect: an event-time or cohort coefficient, its standard error and the
// per-unit influence values it was built from. Shared by the staggered-adoption estimators.
#pragma once

#include <cstdint>
#include <vector>

namespace tessarix::did {

struct AggEffect {
  std::vector<double> influence;  // one value per unit of the panel; empty where not computed
  std::int64_t key = 0;           // event time, or cohort
  double att = 0.0;
  double se = 0.0;
};

}  // namespace tessarix::did
