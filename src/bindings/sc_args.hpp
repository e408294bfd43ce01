// The argument records, parameter lists, checks and option records that the synthetic-control
// entry points of both compiled modules share: tessarix._tessarix fits a panel, tessarix._core
// returns the same fit's full paths, and both must read and validate their arguments alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/array_view.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/progress.hpp"
#include "estimators/mcnnm/softimpute.hpp"
#include "estimators/panel.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"

namespace tessarix::bindings {

// The arguments every synthetic-control entry point starts with.
struct BlockArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t treat_time = 0;

  std::vector<std::size_t> treated_units() const { return {treated.begin(), treated.end()}; }
};

// Per-donor bounds of the simplex weights.
struct WeightBoundArgs {
  double min_weight = 0.0;
  double max_weight = 1.0;
};

// Each estimator's own options, as Python passes them.
struct ScOptionArgs {
  double ridge = 0.0;
  double penalty = 0.0;
};
struct AscOptionArgs {
  double sc_ridge = 0.0;
  std::optional<double> aug_lambda;
};
struct FpOptionArgs {
  double ridge = 0.0;
};
struct RscOptionArgs {
  std::optional<std::uint64_t> rank;
  double energy = 0.999;
  double ridge = 0.0;
};
struct SdidOptionArgs {
  double zeta_scale = 1.0;
};

// Matrix completion takes the same arguments in both modules.
struct McnnmArgs : BlockArgs {
  std::optional<double> lambda_;
  std::uint64_t max_iter = 200;
  double tol = 1e-5;
  std::uint64_t seed = 0;
  std::optional<std::uint64_t> max_rank;
};

template <class R>
std::vector<Param<R>> block_params() {
  return {TX_PARAM(R, y, kPanel), TX_PARAM(R, treated, kIndexList), TX_PARAM(R, treat_time, kCount)};
}

template <class R>
std::vector<Param<R>> weight_bound_params() {
  return {TX_PARAM(R, min_weight, kReal, 0.0), TX_PARAM(R, max_weight, kReal, 1.0)};
}

template <class R>
std::vector<Param<R>> rsc_option_params() {
  return {TX_PARAM(R, rank, kCount, kNone), TX_PARAM(R, energy, kReal, 0.999), TX_PARAM(R, ridge, kReal, 0.0)};
}

inline std::vector<Param<McnnmArgs>> mcnnm_params() {
  using R = McnnmArgs;
  return join<R>({block_params<R>(),
                  {TX_PARAM(R, lambda_, kReal, kNone), TX_PARAM(R, max_iter, kCount, 200), TX_PARAM(R, tol, kReal, 1e-5),
                   TX_PARAM(R, seed, kCount, 0), TX_PARAM(R, max_rank, kCount, kNone)}});
}

// Shape and finiteness, treated indices, treatment time, in that order; the number of
// donors (units left untreated).
std::size_t validate_block(const BlockArgs& a);
void validate_bounds(std::size_t n_donors, const WeightBoundArgs& a);

// Each estimator's own checks, in the order both modules make them.
void validate_sc_options(const ScOptionArgs& a);    // ridge, penalty
void validate_asc_options(const AscOptionArgs& a);  // sc_ridge, aug_lambda
void validate_fp_options(const FpOptionArgs& a);    // ridge
void validate_sdid_options(const SdidOptionArgs& a);  // zeta_scale
// The robust fit's ridge and energy, then (after fit_rsc's level) its rank.
void validate_rsc_ridge_energy(const RscOptionArgs& a);
void validate_rsc_rank(const RscOptionArgs& a);
// The panel and every option of matrix completion.
void validate_mcnnm(const McnnmArgs& a);

sc::synthetic::ScOptions sc_options(const ScOptionArgs& a, const WeightBoundArgs& b);
sc::augmented::AscOptions asc_options(const AscOptionArgs& a, const WeightBoundArgs& b);
sc::demeaned::FpOptions fp_options(const FpOptionArgs& a, const WeightBoundArgs& b);
sc::robust::RscOptions rsc_options(const RscOptionArgs& a);
sc::sdid::SdidOptions sdid_options(const SdidOptionArgs& a, const WeightBoundArgs& b);
mcnnm::McnnmOptions mcnnm_options(const McnnmArgs& a);

// Copies y, then with the interpreter lock released builds the block-design panel and returns
// estimate(panel), computed on owned data only, reporting progress to `progress` (null: none).
template <class Estimate>
auto on_block_panel(const BlockArgs& a, Estimate estimate, PyObject* progress = nullptr) {
  Mat y = mat_from_numpy(a.y);
  const std::vector<std::size_t> treated = a.treated_units();
  ReleaseGil unlocked;
  ProgressReport report(progress, unlocked.state());
  const Panel panel = Panel::block(std::move(y), treated, a.treat_time);
  return estimate(panel);
}

}  // namespace tessarix::bindings
