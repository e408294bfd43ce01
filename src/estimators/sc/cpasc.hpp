// The CP-ASC family: every treated unit is fitted on its own by augmented synthetic control
// against the common donor pool, the per-unit effects are pooled with unit weights (inverse
// pre-period error, stratified by outcome level, or proportional to the level), and the pooled
// effect is tested by a conformal block-permutation test on residuals refitted under the null.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/sc/augmented.hpp"

namespace tessarix::sc::cpasc {

// Unit weighting: inverse pre-period error ("mspe"), the same within strata of outcome level
// ("stratified"), or proportional to the absolute outcome level ("cumulative").
struct Mspe {};
struct Stratified {
  std::size_t n_strata = 3;  // 0 counts as 1
};
struct Cumulative {};
using CpascMode = std::variant<Mspe, Stratified, Cumulative>;

struct CpascOptions {
  augmented::AscOptions asc;             // every per-unit fit; sc_ridge also drives the null refits
  std::optional<std::size_t> block_len;  // permutation block; absent = the number of post-periods
  CpascMode mode = Mspe{};
};

struct UnitFit {
  std::size_t unit = 0;
  double att = 0.0;               // the unit's own effect (0 for a null refit)
  double mspe = 0.0;              // mean squared fit error over the fitted window
  double weight = 0.0;            // pooling weight, set by assign_weights
  double level = 0.0;             // mean outcome over the fitted window
  std::vector<double> residual;   // one entry per period
};

struct CpascFit {
  std::vector<UnitFit> units;           // main per-unit fits, ascending unit order
  std::vector<double> pooled_residual;  // sum of weight x residual over the main fits
  std::vector<double> null_residual;    // the same over the null refits
  double att = 0.0;                     // sum of weight x att
  double p_value = 0.0;                 // conformal block-permutation p-value
  std::size_t t0 = 0;
};

// The pooled fit at treatment time t0. Invariant failures: "no treated units", "no donor
// units", a panel without periods.
CpascFit fit_at(const Panel& panel, std::size_t t0, const CpascOptions& options);

// Sets the pooling weight of every unit in place (an empty list is left as is).
void assign_weights(std::span<UnitFit> units, const CpascMode& mode);

// The median of a non-empty list (mean of the two middle values for an even count).
double median(std::span<const double> values);

// The share of the T cyclic windows of length block_len (absent: T - t0) whose mean absolute
// residual is at least that of the window starting at t0; a multiple of 1/T, at least 1/T.
double block_permutation_p(std::span<const double> z, std::size_t t0,
                           std::optional<std::size_t> block_len);

}  // namespace tessarix::sc::cpasc
