// Python entry points for staggered-adoption difference-in-differences.
#include <optional>
#include <string>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/did_entries.hpp"
#include "bindings/did_glue.hpp"
#include "bindings/results.hpp"
#include "estimators/did/bacon.hpp"
#include "estimators/did/callaway.hpp"
#include "estimators/did/sunab.hpp"
#include "estimators/did/twfe.hpp"
#include "inference/callaway.hpp"

namespace tessarix::bindings {
namespace {

// The outcome panel and one first-treated period per unit (negative or past the last period:
// never treated).
struct StaggeredArgs {
  ArrayView2 y;
  std::vector<std::int64_t> cohorts;
};

const std::vector<Param<StaggeredArgs>> kStaggeredParams{
    TX_PARAM(StaggeredArgs, y, kPanel), TX_PARAM(StaggeredArgs, cohorts, kCohortList)};

// --- two-way fixed effects ----------------------------------------------------------------

const EntryPoint<StaggeredArgs> fit_twfe_entry{
    "fit_twfe_py", "Two-way fixed-effects DiD with cluster-robust SE.", kStaggeredParams};

PyObject* py_fit_twfe(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const StaggeredArgs a = fit_twfe_entry.parse(args, kwargs);
    const Panel panel = unwrap(build_panel(a.y, a.cohorts));
    unwrap(require_estimable_cohort(panel, "TWFE"));
    unwrap(require_twfe_identified(panel, "TWFE"));
    const did::twfe::TwfeFit fit = did::twfe::fit(panel);
    PyDidResult result;
    result.att = fit.att;
    result.se = fit.se;
    return wrap(std::move(result));
  });
}

// --- Callaway & Sant'Anna (checks and run shared with tessarix._core) ----------------------

const EntryPoint<CallawayArgs> fit_callaway_entry{"fit_callaway_py", kCallawayDoc, callaway_params<CallawayArgs>()};

PyObject* py_fit_callaway(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_fit_callaway(fit_callaway_entry.parse(args, kwargs), nullptr); });
}

// --- Sun & Abraham --------------------------------------------------------------------------

const EntryPoint<StaggeredArgs> fit_sunab_entry{
    "fit_sunab_py", "Sun & Abraham interaction-weighted event study.", kStaggeredParams};

PyObject* py_fit_sunab(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const StaggeredArgs a = fit_sunab_entry.parse(args, kwargs);
    return wrap(sunab_result(run_sunab(a.y, a.cohorts)));
  });
}

// --- Goodman-Bacon --------------------------------------------------------------------------

const EntryPoint<StaggeredArgs> bacon_entry{
    "bacon_decompose_py",
    "Goodman-Bacon decomposition of the TWFE estimate into 2\u00d72 comparisons.",
    kStaggeredParams};

const char* kind_text(did::bacon::BaconKind kind) {
  switch (kind) {
    case did::bacon::BaconKind::TreatedVsUntreated: return "treated_vs_untreated";
    case did::bacon::BaconKind::EarlierVsLater: return "earlier_vs_later";
    case did::bacon::BaconKind::LaterVsEarlierForbidden: return "later_vs_earlier_forbidden";
  }
  return "";
}

PyObject* py_bacon_decompose(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const StaggeredArgs a = bacon_entry.parse(args, kwargs);
    const Panel panel = unwrap(build_panel(a.y, a.cohorts));
    unwrap(require_estimable_cohort(panel, "Goodman-Bacon"));
    unwrap(require_no_period_zero(panel));
    // One cohort and no never-treated units: the TWFE coefficient it decomposes does not exist.
    unwrap(require_twfe_identified(panel, "Goodman-Bacon"));
    const did::bacon::BaconDecomposition d = did::bacon::decompose(panel);
    PyBaconResult result;
    result.twfe = d.twfe;
    result.forbidden_weight = d.forbidden_weight;
    for (const did::bacon::Component& c : d.components) {
      PyBaconComponent out;
      out.kind = kind_text(c.kind);
      out.treated_cohort = static_cast<std::int64_t>(c.treated_cohort);
      if (c.comparison_cohort) out.comparison_cohort = static_cast<std::int64_t>(*c.comparison_cohort);
      out.weight = c.weight;
      out.estimate = c.estimate;
      result.components.push_back(std::move(out));
    }
    return wrap(std::move(result));
  });
}

}  // namespace

std::vector<PyMethodDef> did_functions() {
  return {method_def(fit_twfe_entry.signature(), py_fit_twfe),
          method_def(fit_callaway_entry.signature(), py_fit_callaway),
          method_def(fit_sunab_entry.signature(), py_fit_sunab),
          method_def(bacon_entry.signature(), py_bacon_decompose)};
}

}  // namespace tessarix::bindings
