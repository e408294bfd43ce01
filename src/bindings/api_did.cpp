// Python entry points for staggered-adoption difference-in-differences.
#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/did_glue.hpp"
#include "bindings/results.hpp"
#include "estimators/did/twfe.hpp"

namespace tessarix::bindings {
namespace {

// The outcome panel and one first-treated period per unit (negative or past the last period:
// never treated).
struct StaggeredArgs {
  ArrayView2 y;
  std::vector<std::int64_t> cohorts;
};

const EntryPoint<StaggeredArgs> fit_twfe_entry{
    "fit_twfe_py", "Two-way fixed-effects DiD with cluster-robust SE.",
    {TX_PARAM(StaggeredArgs, y, kPanel), TX_PARAM(StaggeredArgs, cohorts, kCohortList)}};

PyObject* py_fit_twfe(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const StaggeredArgs a = fit_twfe_entry.parse(args, kwargs);
    const Panel panel = unwrap(build_panel(a.y, a.cohorts));
    unwrap(require_estimable_cohort(panel, "TWFE"));
    unwrap(require_twfe_identified(panel));
    const did::twfe::TwfeFit fit = did::twfe::fit(panel);
    PyDidResult result;
    result.att = fit.att;
    result.se = fit.se;
    return wrap(std::move(result));
  });
}

}  // namespace

std::vector<PyMethodDef> did_functions() {
  return {method_def(fit_twfe_entry.signature(), py_fit_twfe)};
}

}  // namespace tessarix::bindings
