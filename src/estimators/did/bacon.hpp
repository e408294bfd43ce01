// Goodman-Bacon decomposition: the static two-way fixed-effects DiD coefficient of a
// staggered-adoption panel as the variance-weighted average of every 2x2 DiD between adoption
// cohorts, and the share of weight on comparisons that use already-treated units as controls.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "estimators/panel.hpp"

namespace tessarix::did::bacon {

enum class BaconKind {
  TreatedVsUntreated,      // cohort k against the never-treated units
  EarlierVsLater,          // earlier cohort k against later cohort l before it adopts
  LaterVsEarlierForbidden  // later cohort l against earlier cohort k, already treated
};

struct Component {
  BaconKind kind = BaconKind::TreatedVsUntreated;
  std::size_t treated_cohort = 0;
  std::optional<std::size_t> comparison_cohort;  // absent for the never-treated group
  double weight = 0.0;                           // normalised: the weights sum to 1
  double estimate = 0.0;                         // the 2x2 DiD
};

struct BaconDecomposition {
  std::vector<Component> components;
  double twfe = 0.0;              // sum of weight * estimate: the TWFE coefficient
  double forbidden_weight = 0.0;  // total weight of the later-vs-earlier comparisons
};

// The decomposition over the timing groups (cohorts other than period 0, whose units take no
// part): treated-vs-never-treated rows when there are never-treated units, then for every
// cohort pair (k < l) its earlier-vs-later row and its later-vs-earlier row. Never fails.
BaconDecomposition decompose(const Panel& panel);

}  // namespace tessarix::did::bacon
