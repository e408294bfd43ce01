// Borusyak, Jaravel & Spiess's imputation estimator for staggered adoption: unit and period
// fixed effects fitted by least squares on the untreated cells only, the untreated outcome
// imputed for every treated cell, and the cell effects averaged by event horizon, by cohort and
// overall, with the conservative unit-clustered variance of their Theorem 3. A pre-trend
// regression on the untreated cells (lead dummies beside the fixed effects) gives pre-period
// coefficients whose per-unit influence joins that of the post-period estimates in one
// covariance matrix.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "estimators/did/effect.hpp"
#include "estimators/panel.hpp"

namespace tessarix::did::imputation {

struct ImputationOptions {
  std::size_t anticipation = 0;     // periods before adoption that the treatment already affects
  std::optional<std::size_t> leads;  // pre-trend leads kept, nearest the reference; absent: all
};

struct ImputationResult {
  // The pre-trend leads (event times -2 - anticipation and earlier, ascending) then the
  // horizons -anticipation, 0, 1, ... that have an imputed cell; influence one value per unit.
  std::vector<AggEffect> event;
  std::vector<AggEffect> group;  // one per cohort with an imputed cell; key: its first treated period
  AggEffect overall;             // equal weights over every imputed cell
  Mat vcov;                      // covariance of `event` then `overall`, (event.size() + 1) square
  Mat effects;                   // N x T: Y minus imputed Y(0) on imputed cells, NaN elsewhere
  std::size_t n_leads = 0;       // how many entries of `event` are pre-trend leads
  std::size_t n_untreated = 0;   // cells in the fixed-effects fit
  std::size_t n_imputed = 0;     // treated cells with an imputed effect
  std::size_t n_excluded = 0;    // treated cells whose unit or period has no untreated cell
};

// The imputation fit. A cell is untreated when its unit is never treated or the period lies
// before the unit's start minus the anticipation. A treated cell whose unit has no untreated
// cell (treated from the first period on, anticipation counted), or whose period has no
// untreated cell (every unit treated by then), has no imputed Y(0): it is left out of every
// estimate and counted in n_excluded. Leads exist only with never-treated units (without them
// the leads' linear trend is collinear with the fixed effects). Fails (invariant) when no
// treated cell can be imputed.
ImputationResult fit(const Panel& panel, const ImputationOptions& options);

// Whether some treated cell has an untreated cell in its unit and in its period.
bool has_imputable_cell(const Panel& panel, std::size_t anticipation);

}  // namespace tessarix::did::imputation
