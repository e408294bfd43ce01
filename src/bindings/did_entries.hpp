// The Callaway-Sant'Anna entry point's arguments, parameter list, checks and run, shared by
// both compiled modules: tessarix._tessarix declares fit_callaway_py as it is; tessarix._core
// declares the same with a progress callback for its band bootstrap.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/declare.hpp"
#include "bindings/results.hpp"
#include "estimators/did/effect.hpp"
#include "estimators/did/sunab.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::bindings {

struct CallawayArgs {
  ArrayView2 y;
  std::vector<std::int64_t> cohorts;
  std::string control;
  std::optional<ArrayView2> covariates;
  std::uint64_t anticipation = 0;
  bool bands = false;
  std::uint64_t n_reps = 999;
  std::uint64_t seed = 0;
  double level = 0.95;
  std::string est_method = "reg";  // declared by tessarix._core only
};

template <class R>
std::vector<Param<R>> callaway_params() {
  return {TX_PARAM(R, y, kPanel), TX_PARAM(R, cohorts, kCohortList), TX_PARAM(R, control, kChoice, "never"),
          TX_PARAM(R, covariates, kPanel, kNone), TX_PARAM(R, anticipation, kCount, 0),
          TX_PARAM(R, bands, kFlag, false), TX_PARAM(R, n_reps, kCount, 999), TX_PARAM(R, seed, kCount, 0),
          TX_PARAM(R, level, kReal, 0.95)};
}

// est_method of tessarix._core's fit_callaway_py, after the other parameters.
template <class R>
Param<R> est_method_param() {
  return TX_PARAM(R, est_method, kChoice, "reg");
}

// The event-study rows of an aggregated-effect list (keys, effects, standard errors).
void set_event_study(PyDidResult& r, const std::vector<did::AggEffect>& event);

// The docstring of fit_callaway_py.
extern const char* const kCallawayDoc;

// Every check of fit_callaway_py in its order, then the fit (and bands) with the interpreter
// lock released, progress reported to `progress` (null: none); a DiDResult object, or with
// `event_vcov` the pair (DiDResult, covariance of its event-study entries). Covariates left
// out of some cells (constant over a cohort and its controls) are reported as one UserWarning
// per cohort and covariate once the lock is back, or to `on_dropped(covariate, cohort,
// periods)` when it is given.
PyObject* run_fit_callaway(const CallawayArgs& a, PyObject* progress, bool event_vcov = false,
                           PyObject* on_dropped = nullptr);

// Every check of fit_sunab_py in its order, then the Sun-Abraham fit with the interpreter lock
// released.
did::sunab::SaResult run_sunab(const ArrayView2& y, std::span<const std::int64_t> cohorts);

// The result record of a Sun-Abraham fit: overall effect and event study.
PyDidResult sunab_result(const did::sunab::SaResult& fit);

// The pair (result, covariance matrix as a k x k float64 array); steals `result`.
PyObject* with_event_vcov(PyObject* result, const Mat& vcov);

}  // namespace tessarix::bindings
