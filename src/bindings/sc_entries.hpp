// The synthetic-control entry points' arguments, parameter lists, checks and runs, shared by
// both compiled modules: tessarix._tessarix declares fit_sc, fit_asc, fit_sdid, fit_fp and
// fit_rsc as they are; tessarix._core declares the same with a progress callback for their
// placebo refits.
#pragma once

#include <string>
#include <vector>

#include "bindings/declare.hpp"
#include "bindings/sc_args.hpp"

namespace tessarix::bindings {

// Optional in-space placebo inference and its interval level.
struct PlaceboArgs {
  bool placebo = false;
  double level = 0.95;
};

template <class R>
std::vector<Param<R>> placebo_params() {
  return {TX_PARAM(R, placebo, kFlag, false), TX_PARAM(R, level, kReal, 0.95)};
}

struct FitScArgs : BlockArgs, PlaceboArgs, WeightBoundArgs, ScOptionArgs {};
struct FitAscArgs : BlockArgs, PlaceboArgs, WeightBoundArgs, AscOptionArgs {};
struct FitSdidArgs : BlockArgs, WeightBoundArgs, SdidOptionArgs {
  std::string inference;
  double level = 0.95;
};
struct FitFpArgs : BlockArgs, PlaceboArgs, WeightBoundArgs, FpOptionArgs {};
struct FitRscArgs : BlockArgs, PlaceboArgs, RscOptionArgs {};

template <class R>
std::vector<Param<R>> fit_sc_params() {
  return join<R>({block_params<R>(), {TX_PARAM(R, ridge, kReal, 0.0)}, placebo_params<R>(),
                  {TX_PARAM(R, penalty, kReal, 0.0)}, weight_bound_params<R>()});
}

template <class R>
std::vector<Param<R>> fit_asc_params() {
  return join<R>({block_params<R>(), {TX_PARAM(R, sc_ridge, kReal, 0.0), TX_PARAM(R, aug_lambda, kReal, kNone)},
                  placebo_params<R>(), weight_bound_params<R>()});
}

template <class R>
std::vector<Param<R>> fit_sdid_params() {
  return join<R>({block_params<R>(),
                  {TX_PARAM(R, zeta_scale, kReal, 1.0), TX_PARAM(R, inference, kChoice, "none"),
                   TX_PARAM(R, level, kReal, 0.95)},
                  weight_bound_params<R>()});
}

template <class R>
std::vector<Param<R>> fit_fp_params() {
  return join<R>({block_params<R>(), {TX_PARAM(R, ridge, kReal, 0.0)}, placebo_params<R>(), weight_bound_params<R>()});
}

template <class R>
std::vector<Param<R>> fit_rsc_params() {
  return join<R>({block_params<R>(), rsc_option_params<R>(), placebo_params<R>()});
}

// Each entry point's checks in its order, then its fit (and inference) with the interpreter
// lock released, progress reported to `progress` (null: none); an SCResult object.
PyObject* run_fit_sc(const FitScArgs& a, PyObject* progress);
PyObject* run_fit_asc(const FitAscArgs& a, PyObject* progress);
PyObject* run_fit_sdid(const FitSdidArgs& a, PyObject* progress);
PyObject* run_fit_fp(const FitFpArgs& a, PyObject* progress);
PyObject* run_fit_rsc(const FitRscArgs& a, PyObject* progress);

}  // namespace tessarix::bindings
