// Python entry points for geo-experiment design: they validate the panel and the design,
// copy the outcome matrix and map the geo library's records onto the result classes.
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "bindings/api.hpp"
#include "bindings/array_view.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "geo/diagnostics.hpp"

namespace tessarix::bindings {
namespace {

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

}  // namespace

std::vector<PyMethodDef> geo_functions() {
  return {
      method_def(geo_diagnostics_entry.signature(), py_geo_diagnostics),
  };
}

}  // namespace tessarix::bindings
