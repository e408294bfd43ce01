// The choices of a Callaway & Sant'Anna fit: which units serve as controls, how many periods
// of anticipation precede adoption, and how each group-time effect is estimated. Unit
// covariates are data, not a choice: they travel on the panel.
#pragma once

#include <cstddef>

#include "estimators/panel.hpp"

namespace tessarix::did::callaway {

// The controls of cell (g, t) with base period b.
enum class ControlGroup {
  NeverTreated,   // the never-treated units
  NotYetTreated,  // the never-treated and every other cohort not yet treated by max(t, b)
};

// How ATT(g, t) is formed from the outcome changes since the base period.
enum class EstMethod {
  // Difference of the treated and control mean changes, each net of an OLS fit of the
  // controls' changes on the unit covariates when the panel carries them.
  OutcomeRegression,
  // Sant'Anna & Zhao's locally efficient doubly robust DiD: the controls' changes net of that
  // outcome regression, reweighted by the odds p(x) / (1 - p(x)) of a logit propensity score of
  // belonging to the cohort rather than to the controls (fitted on both, intercept plus
  // covariates), against the treated's mean net change.
  DoublyRobust,
  // Abadie's inverse-probability-weighted DiD with normalised (Hajek) weights: the treated's
  // mean change minus the odds-weighted mean change of the controls.
  InverseProbability,
};

struct CsOptions {
  ControlGroup control = ControlGroup::NeverTreated;
  std::size_t anticipation = 0;  // periods before adoption in which units may already react
  EstMethod est_method = EstMethod::OutcomeRegression;
};

// Whether the panel has the units the control group is drawn from: never-treated controls
// need a never-treated unit, whereas not-yet-treated ones can do without (a cell left without
// a control is not estimated).
bool has_control_units(const Panel& panel, const CsOptions& options);

}  // namespace tessarix::did::callaway
