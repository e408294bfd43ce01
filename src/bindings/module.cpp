// Module initialisation: creates `_tessarix`, registers the functions (each docstring opens
// with its text signature so that inspect.signature works) and then the result classes.
#include "bindings/api.hpp"
#include "bindings/results.hpp"

namespace tessarix::bindings {
namespace {

// METH_VARARGS | METH_KEYWORDS functions take a third argument; CPython calls them through
// the two-argument PyCFunction type.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"version", py_version, METH_NOARGS,
     "version()\n--\n\n"
     "The tessarix version string."},
    {"fit_sc", with_keywords<py_fit_sc>(), kKw,
     "fit_sc(y, treated, treat_time, ridge=0.0, placebo=False, level=0.95, penalty=0.0, "
     "min_weight=0.0, max_weight=1.0)\n--\n\n"
     "Fit synthetic control.\n"
     "\n"
     "`y` is an `N×T` outcome array (rows = units, cols = periods). `treated` are\n"
     "the row indices of treated units; `treat_time` is the first post-period\n"
     "column index. If `placebo` is true, an in-space placebo test is run and the\n"
     "p-value / distribution are attached."},
    {"fit_asc", with_keywords<py_fit_asc>(), kKw,
     "fit_asc(y, treated, treat_time, sc_ridge=0.0, aug_lambda=None, placebo=False, level=0.95, "
     "min_weight=0.0, max_weight=1.0)\n--\n\n"
     "Fit Augmented Synthetic Control (Ben-Michael et al. 2021). If `placebo` is\n"
     "true, an in-space placebo test (refitting ASC per donor) attaches the\n"
     "p-value and ATT-scale SE / CI."},
    {"fit_sdid", with_keywords<py_fit_sdid>(), kKw,
     "fit_sdid(y, treated, treat_time, zeta_scale=1.0, inference=\"none\", level=0.95, "
     "min_weight=0.0, max_weight=1.0)\n--\n\n"
     "Fit Synthetic Difference-in-Differences (Arkhangelsky et al. 2021).\n"
     "\n"
     "`inference` is `\"none\"`, `\"placebo\"` (in-space placebo, refitting SDID per\n"
     "donor), or `\"jackknife\"` (the fixed-weights leave-one-unit-out jackknife of\n"
     "Arkhangelsky et al. / `synthdid`; needs ≥ 2 treated units)."},
    {"fit_fp", with_keywords<py_fit_fp>(), kKw,
     "fit_fp(y, treated, treat_time, ridge=0.0, placebo=False, level=0.95, min_weight=0.0, "
     "max_weight=1.0)\n--\n\n"
     "Fit the demeaned synthetic control (Ferman & Pinto 2021).\n"
     "\n"
     "SC on unit-demeaned data: each unit's pre-treatment mean is removed before\n"
     "the weights are solved, and the treated unit's level is added back to build\n"
     "the counterfactual. Robust to a treated level that no convex combination of\n"
     "donors can match. If `placebo` is true, an in-space placebo test attaches the\n"
     "p-value and ATT-scale SE / CI."},
    {"fit_rsc", with_keywords<py_fit_rsc>(), kKw,
     "fit_rsc(y, treated, treat_time, rank=None, energy=0.999, ridge=0.0, placebo=False, "
     "level=0.95)\n--\n\n"
     "Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen\n"
     "2018).\n"
     "\n"
     "Hard-thresholds the donor panel's spectrum and regresses the treated\n"
     "pre-period on the de-noised factors. `rank` pins the retained rank; `None`\n"
     "picks the smallest rank carrying `energy` of the squared spectrum. The\n"
     "weights this returns are unconstrained (they may be negative and need not sum\n"
     "to one), which is what lets it extrapolate beyond the donor hull."},
    {"fit_many", with_keywords<py_fit_many>(), kKw,
     "fit_many(y3, treated, treat_time, method=\"sc\", ridge=0.0, zeta_scale=1.0, "
     "min_weight=0.0, max_weight=1.0)\n--\n\n"
     "Batched, parallel fitting for Monte-Carlo / power-analysis / robustness runs.\n"
     "\n"
     "`y3` is a stack of panels `(R, N, T)` — replication `r` is an `N×T` panel\n"
     "sharing the same `treated`/`treat_time`. Returns an array of `R` ATTs, one\n"
     "per replication, computed in parallel in native code with the GIL released.\n"
     "\n"
     "`method` is \"sc\", \"asc\" or \"sdid\"."},
    {"fit_twfe_py", with_keywords<py_fit_twfe>(), kKw,
     "fit_twfe_py(y, cohorts)\n--\n\n"
     "Two-way fixed-effects DiD with cluster-robust SE."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessarix",
    "The compiled extension module `tessarix._tessarix`.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarix::bindings

PyMODINIT_FUNC PyInit__tessarix(void) {
  using namespace tessarix::bindings;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (add_result_classes(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
