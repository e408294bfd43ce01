// Synthetic control matched on predictors (Abadie, Diamond & Hainmueller 2010): donor weights
// that reproduce the treated unit's predictors (covariates aggregated over chosen periods,
// chosen lags of the outcome) under a diagonal importance matrix V, with V either given or
// chosen so that the weights it yields fit the treated pre-period outcomes best (the nested
// problem). The predictor matrix is the panel's covariates, one row per unit, so that any
// panel built from its rows (a placebo panel) carries each unit's own predictors.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::predictors {

struct PredictorOptions {
  // Importance of each predictor (k values, non-negative, not all zero; only their ratios
  // matter), or empty for V chosen by the nested fit.
  std::vector<double> v;
  // Pre-periods whose outcome fit chooses V, ascending, each below t0; empty for all of them.
  std::vector<std::size_t> loss_periods;
};

// The matching problem at t0: standardised predictors and the outcomes of the loss periods.
// Each predictor is divided by its standard deviation across the donors and the (averaged)
// treated unit; a predictor without spread is all zero and weighs nothing.
struct Problem {
  Mat x0;                   // k x J: donors' standardised predictors
  std::vector<double> x1;   // k: the treated units' averaged standardised predictors
  Mat z0;                   // L x J: donors' outcomes over the loss periods
  std::vector<double> z1;   // L: the treated mean outcome over the loss periods
  Mat zz;                   // J x J: Z0' Z0 / L, the outcome loss's quadratic term
  std::vector<double> zy;   // J: Z0' z1 / L, its linear term
};

Problem problem_at(const Panel& panel, std::size_t t0, const PredictorOptions& options);

// W*(V): the simplex weights minimising (x1 - X0 w)' diag(v) (x1 - X0 w). When the treated
// predictors lie in the donors' hull that minimum (zero) is attained on a whole face, and the
// weights are then the member of that face that fits the loss-period outcomes best (the
// outcome loss added with a weight far below the predictor loss's, so that it only breaks the
// tie).
std::vector<double> inner_weights(const Problem& problem, std::span<const double> v);

// The mean squared outcome gap over the loss periods of weights w.
double outcome_loss(const Problem& problem, std::span<const double> w);

// The starts of the outer search, each normalised to sum 1: equal importances, then the
// regression-based importances (squared coefficients of the loss-period outcomes regressed on
// the standardised predictors across units, summed over periods) when that regression has
// more units than terms and gives some importance, then (with two predictors or more) the
// best few of a deterministic scan of the simplex.
std::vector<std::vector<double>> starting_importances(const Problem& problem);

// The outcome of the nested search: the best V found (sum 1) by the searches from every start
// and among the corners (a single predictor's V), its weights and loss, and the loss each
// start's search reached on its own. When the treated predictors lie in the donors' hull every
// V without zeros gives the same exact matches: the equal and regression-based starts are
// then only evaluated, beside the corners.
struct NestedSolution {
  std::vector<double> v;
  std::vector<double> weights;
  double loss = 0.0;
  std::vector<double> start_losses;
};
NestedSolution solve_nested(const Problem& problem);

// A fit with the importances it used.
struct PredictorFit {
  ScFit fit;
  std::vector<double> v;  // sum 1
  double loss = 0.0;      // mean squared outcome gap over the loss periods, outcome units squared
};

PredictorFit fit_nested(const Panel& panel, std::size_t t0, const PredictorOptions& options);

// The fit alone: what the placebo test and the batches refit.
ScFit fit_at(const Panel& panel, std::size_t t0, const PredictorOptions& options);

}  // namespace tessarix::sc::predictors
