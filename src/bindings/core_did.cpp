// The Callaway-Sant'Anna fit of tessarix._tessarix for tessarix._core, reporting the progress
// of its band bootstrap.
#include "bindings/core_api.hpp"
#include "bindings/did_entries.hpp"
#include "bindings/results.hpp"
#include "estimators/did/sunab.hpp"

namespace tessarix::bindings {
namespace {

struct CallawayProgressArgs : CallawayArgs {
  PyObject* progress = nullptr;
  bool event_vcov = false;
  PyObject* on_dropped = nullptr;
};

// on_dropped: None, or a callable(covariate, cohort, periods) told of each covariate left out
// of some cells instead of a warning (the front end names columns and time values with it).
Param<CallawayProgressArgs> on_dropped_param() {
  return {"on_dropped", "None", [](CallawayProgressArgs& r, PyObject* obj) {
            if (obj != nullptr && obj != Py_None && !PyCallable_Check(obj)) {
              PyErr_SetString(PyExc_TypeError,
                              "argument 'on_dropped': expected a callable(covariate, cohort, periods) or None");
              throw PyErrorSet{};
            }
            r.on_dropped = obj == Py_None ? nullptr : obj;
          }};
}

const EntryPoint<CallawayProgressArgs> core_callaway_entry{
    "fit_callaway_py",
    "`tessarix.fit_callaway_py` (same arguments, checks and result), reporting the progress\n"
    "of its cells and band bootstrap to `progress(done, total)`. With `event_vcov`, returns\n"
    "`(result, vcov)`: `vcov` is the covariance of the event-study estimates (in the order of\n"
    "`result.event_time`) from their influence functions, sum_u psi_i psi_j / N^2.\n"
    "`est_method` is \"reg\" (outcome regression, as `tessarix.fit_callaway_py`), \"dr\"\n"
    "(doubly robust) or \"ipw\" (normalised inverse probability weighting); the last two fit a\n"
    "logit propensity score of each cohort against each cell's controls on an intercept and\n"
    "the covariates. A covariate constant over a cohort and its controls is left out of those\n"
    "cells with a UserWarning, or reported to `on_dropped(covariate, cohort, periods)` when\n"
    "given; separation or collinearity raises ValueError.",
    join<CallawayProgressArgs>({callaway_params<CallawayProgressArgs>(), {progress_param<CallawayProgressArgs>()},
                                {TX_PARAM(CallawayProgressArgs, event_vcov, kFlag, false),
                                 est_method_param<CallawayProgressArgs>(), on_dropped_param()}})};

PyObject* py_core_callaway(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const CallawayProgressArgs a = core_callaway_entry.parse(args, kwargs);
    return run_fit_callaway(a, a.progress, a.event_vcov, a.on_dropped);
  });
}

// --- Sun & Abraham with its event-study covariance -----------------------------------------

struct SunabArgs {
  ArrayView2 y;
  std::vector<std::int64_t> cohorts;
};

const EntryPoint<SunabArgs> core_sunab_entry{
    "fit_sunab_py",
    "`tessarix.fit_sunab_py` (same arguments, checks and result) with the covariance of its\n"
    "event-study estimates: returns `(result, vcov)`, `vcov` in the order of\n"
    "`result.event_time` (cohort shares taken as fixed, as in the standard errors).",
    {TX_PARAM(SunabArgs, y, kPanel), TX_PARAM(SunabArgs, cohorts, kCohortList)}};

PyObject* py_core_sunab(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const SunabArgs a = core_sunab_entry.parse(args, kwargs);
    const did::sunab::SaResult fit = run_sunab(a.y, a.cohorts);
    return with_event_vcov(wrap(sunab_result(fit)), fit.event_vcov);
  });
}

}  // namespace

std::vector<PyMethodDef> core_did_functions() {
  return {method_def(core_callaway_entry.signature(), py_core_callaway),
          method_def(core_sunab_entry.signature(), py_core_sunab)};
}

}  // namespace tessarix::bindings
