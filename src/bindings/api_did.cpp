// Python entry points for staggered-adoption difference-in-differences.
#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/convert.hpp"
#include "bindings/did_glue.hpp"
#include "bindings/results.hpp"
#include "estimators/did/twfe.hpp"

namespace tessarix::bindings {

PyObject* py_fit_twfe(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto a = bind_args<2>(args, kwargs, "fit_twfe_py", {"y", "cohorts"}, 2);
    const ArrayView2 y = to_panel(a[0], "y");
    const std::vector<std::int64_t> cohorts = to_cohort_list(a[1], "cohorts");

    const Panel panel = unwrap(build_panel(y, cohorts));
    unwrap(require_estimable_cohort(panel, "TWFE"));
    if (panel.never_treated_units().empty() && panel.cohorts().size() == 1) {
      throw UserError{
          "TWFE: every unit adopts at the same period and there are no control units, so the "
          "unit and time fixed effects absorb the treatment indicator entirely."};
    }
    const did::twfe::TwfeFit fit = did::twfe::fit(panel);
    PyDidResult result;
    result.att = fit.att;
    result.se = fit.se;
    return wrap(std::move(result));
  });
}

}  // namespace tessarix::bindings
