// Python entry points of the geo-experiment design library: power analysis for one method or
// an ensemble, design diagnostics, and the search for treated-market sets.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/format.hpp"
#include "bindings/geo_entries.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "geo/diagnostics.hpp"
#include "geo/power.hpp"
#include "geo/selection.hpp"

namespace tessarix::bindings {
namespace {

// --- power analysis -------------------------------------------------------------------------

const EntryPoint<PowerArgs> geo_power_entry{
    "geo_power", "Power analysis for one method via historical placebo with injected lift.",
    power_params<PowerArgs>()};

PyObject* py_geo_power(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return run_geo_power(geo_power_entry.parse(args, kwargs), nullptr);
  });
}

const EntryPoint<EnsembleArgs> geo_power_ensemble_entry{
    "geo_power_ensemble",
    "Power analysis for a **weighted-average ensemble** of base methods.\n"
    "\n"
    "`members` names the estimators to blend (default SC + ASC + SDID); `weights`\n"
    "is one non-negative number per member, or `None` for data-driven\n"
    "inverse-variance weights from each method's historical-null spread. The\n"
    "members are combined per placebo window before power is computed.",
    ensemble_params<EnsembleArgs>()};

PyObject* py_geo_power_ensemble(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return run_geo_power_ensemble(geo_power_ensemble_entry.parse(args, kwargs), nullptr);
  });
}

// --- design diagnostics -------------------------------------------------------------------

struct GeoDiagnosticsArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t test_len = 0;
};

const EntryPoint<GeoDiagnosticsArgs> geo_diagnostics_entry{
    "geo_diagnostics", "Design diagnostics for a treated-market set.",
    {TX_PARAM(GeoDiagnosticsArgs, y, kPanel), TX_PARAM(GeoDiagnosticsArgs, treated, kIndexList),
     TX_PARAM(GeoDiagnosticsArgs, test_len, kCount)}};

// Diagnostics only need one pre-period, not a full power-analysis window.
Checked<void> check_diagnostics_test_len(std::uint64_t test_len, std::size_t n_periods) {
  if (test_len >= 1 && test_len < n_periods) return {};
  return std::unexpected("test_len must be in [1, " + std::to_string(n_periods) +
                         ") so at least one pre-period remains; got " + std::to_string(test_len));
}

PyGeoDiagnostics diagnostics_result(geo::Diagnostics&& d) {
  PyGeoDiagnostics r;
  r.holdout_pct = d.holdout_pct;
  r.pre_fit_rel = d.pre_fit_rel;
  r.improvement_vs_naive = d.improvement_vs_naive;
  r.seasonality_strength = d.seasonality_strength;
  r.stability_score = d.stability_score;
  r.confidence = d.confidence;
  r.warnings = std::move(d.warnings);
  return r;
}

// Computed with the interpreter lock held: one synthetic-control fit is quick.
PyObject* py_geo_diagnostics(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const GeoDiagnosticsArgs a = geo_diagnostics_entry.parse(args, kwargs);
    const auto [n, t] = unwrap(check_panel(a.y));
    unwrap(check_treated(a.treated, n));
    unwrap(check_diagnostics_test_len(a.test_len, t));
    const Mat y = mat_from_numpy(a.y);
    const std::vector<std::size_t> treated(a.treated.begin(), a.treated.end());
    return wrap(diagnostics_result(geo::diagnostics(y, treated, a.test_len)));
  });
}

// --- market selection -----------------------------------------------------------------------

const EntryPoint<SelectArgs> geo_select_entry{
    "geo_select",
    "Search and rank candidate treatment-market sets.",
    select_params<SelectArgs>()};

PyObject* py_geo_select(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_geo_select(geo_select_entry.parse(args, kwargs), nullptr); });
}

}  // namespace

std::vector<PyMethodDef> geo_functions() {
  return {method_def(geo_power_entry.signature(), py_geo_power),
          method_def(geo_power_ensemble_entry.signature(), py_geo_power_ensemble),
          method_def(geo_diagnostics_entry.signature(), py_geo_diagnostics),
          method_def(geo_select_entry.signature(), py_geo_select)};
}

}  // namespace tessarix::bindings
