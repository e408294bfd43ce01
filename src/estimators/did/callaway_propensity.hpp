// The propensity-score cells of Callaway & Sant'Anna: ATT(g, t) by the doubly robust DiD of
// Sant'Anna & Zhao (2020) or the normalised inverse-probability-weighted DiD of Abadie (2005),
// each with its influence function, which carries the estimation effects of the logit
// propensity score and (doubly robust) of the controls' outcome regression.
#pragma once

#include <cstddef>
#include <span>

#include "estimators/did/callaway.hpp"
#include "estimators/did/callaway_options.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::did::callaway {

// The outcome change of one cell: from base period `base` to period `period`.
struct CellPeriods {
  std::size_t period = 0;
  std::size_t base = 0;
};

// The cells of one cohort that share the controls `ctrl` (both lists in unit order), one per
// entry of `periods`, estimated by `method` (DoublyRobust or InverseProbability) on the unit
// covariates `x` (N x K; none: an intercept alone). The propensity score is fitted once for
// them all. Sets each out[k]'s effect and standard error, influence vectors (scaled to the
// panel's `n_units` units as the outcome-regression cells are), dropped covariates, or fault.
void propensity_cells(const Mat& y, const Mat* x, std::span<const std::size_t> treated,
                      std::span<const std::size_t> ctrl, std::span<const CellPeriods> periods,
                      EstMethod method, std::size_t n_units, std::span<CellFit> out);

}  // namespace tessarix::did::callaway
