// Static two-way fixed-effects DiD: the within-regression slope of the outcome on the
// staggered-adoption treatment indicator, with a unit-clustered standard error.
#pragma once

#include <cstddef>

#include "estimators/panel.hpp"

namespace tessarix::did::twfe {

struct TwfeFit {
  double att = 0.0;            // coefficient on the treatment indicator
  double se = 0.0;             // cluster-robust standard error, clusters = units
  std::size_t n_clusters = 0;  // N
};

// The 0/1 indicator matrix: row u is 1 from its treatment start on, 0 for never-treated units.
Mat treatment_matrix(const Panel& panel);

// TWFE coefficient and its unit-clustered SE with the G/(G-1) factor only. Never fails: a
// panel whose demeaned indicator is identically zero gives att = se = 0.
TwfeFit fit(const Panel& panel);

}  // namespace tessarix::did::twfe
