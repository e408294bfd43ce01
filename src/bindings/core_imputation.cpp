// Borusyak-Jaravel-Spiess imputation estimator for tessarix._core: the event study, cohort and
// overall effects in a DiDResult, with the covariance of the event study and the overall effect,
// the imputed cell effects and the cell counts beside it in a dict.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/boundary.hpp"
#include "bindings/core_api.hpp"
#include "bindings/declare.hpp"
#include "bindings/did_entries.hpp"
#include "bindings/did_glue.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pydict.hpp"
#include "bindings/results.hpp"
#include "estimators/did/imputation.hpp"

namespace tessarix::bindings {
namespace {

struct ImputationArgs {
  ArrayView2 y;
  std::vector<std::int64_t> cohorts;
  std::uint64_t anticipation = 0;
  std::optional<std::uint64_t> leads;
};

const EntryPoint<ImputationArgs> imputation_entry{
    "fit_imputation",
    "Borusyak, Jaravel & Spiess (2024) imputation estimator of a staggered adoption.\n"
    "Unit and period fixed effects are fitted on the untreated cells only (never-treated\n"
    "units, and treated units before `cohorts[u] - anticipation`); every treated cell's Y(0)\n"
    "is imputed from them. The event study averages the imputed effects of each horizon\n"
    "-anticipation, 0, 1, ... with equal weights, the cohort effects those of each cohort,\n"
    "the overall ATT all of them. Standard errors are the conservative unit-clustered ones of\n"
    "the paper's Theorem 3 (cohort x period means of the imputed effects). A treated cell\n"
    "whose unit or period has no untreated cell cannot be imputed and is left out (counted in\n"
    "`n_excluded`). With never-treated units the event study also holds the pre-trend\n"
    "coefficients of the regression of the untreated outcomes on fixed effects and lead\n"
    "dummies (event times -2 - anticipation and earlier, the `leads` nearest the reference\n"
    "period -1 - anticipation; None: all), with unit-clustered standard errors carrying the\n"
    "factor G/(G-1) (N-1)/(N-K).\n"
    "Returns a dict: `result` (DiDResult), `vcov` (float64, the covariance of the event-study\n"
    "estimates in the order of `result.event_time`, then the overall ATT), `effects` (N x T\n"
    "float64: the imputed effect of each treated cell, NaN elsewhere), `n_leads` (how many\n"
    "event-study entries are pre-trend coefficients), `n_untreated`, `n_imputed`,\n"
    "`n_excluded` (cell counts).",
    {TX_PARAM(ImputationArgs, y, kPanel), TX_PARAM(ImputationArgs, cohorts, kCohortList),
     TX_PARAM(ImputationArgs, anticipation, kCount, 0), TX_PARAM(ImputationArgs, leads, kCount, kNone)}};

Checked<void> require_imputable_cell(const Panel& panel, std::uint64_t anticipation) {
  if (did::imputation::has_imputable_cell(panel, anticipation)) return {};
  return std::unexpected(std::string(
      "Imputation: no treated cell can be imputed. Each needs an untreated cell in its unit (a "
      "period before the unit's first treated period minus the anticipation) and one in its "
      "period (a never-treated or not-yet-treated unit)."));
}

PyDidResult did_result(const did::imputation::ImputationResult& fit) {
  PyDidResult r;
  r.att = fit.overall.att;
  r.se = fit.overall.se;
  set_event_study(r, fit.event);
  for (const did::AggEffect& g : fit.group) {
    r.group_cohort.push_back(g.key);
    r.group_att.push_back(g.att);
    r.group_se.push_back(g.se);
  }
  return r;
}

PyObject* imputation_dict(did::imputation::ImputationResult&& fit) {
  const std::size_t k = fit.vcov.rows();
  const std::size_t n = fit.effects.rows(), t = fit.effects.cols();
  // Both matrices go out row-major: the covariance is symmetric, the effects are transposed.
  const linalg::Mat effects_t = fit.effects.transpose();
  std::vector<double> effects(effects_t.data().begin(), effects_t.data().end());
  DictBuilder d;
  d.set("result", wrap(did_result(fit)))
      .set("vcov", float64_array2_from(std::move(fit.vcov).into_data(), k, k))
      .set("effects", float64_array2_from(std::move(effects), n, t))
      .set_int("n_leads", static_cast<long long>(fit.n_leads))
      .set_int("n_untreated", static_cast<long long>(fit.n_untreated))
      .set_int("n_imputed", static_cast<long long>(fit.n_imputed))
      .set_int("n_excluded", static_cast<long long>(fit.n_excluded));
  return d.release();
}

PyObject* py_fit_imputation(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ImputationArgs a = imputation_entry.parse(args, kwargs);
    const Panel panel = unwrap(build_panel(a.y, a.cohorts));
    unwrap(require_estimable_cohort(panel, "Imputation"));
    unwrap(require_imputable_cell(panel, a.anticipation));
    did::imputation::ImputationOptions options;
    options.anticipation = static_cast<std::size_t>(a.anticipation);
    if (a.leads) options.leads = static_cast<std::size_t>(*a.leads);
    did::imputation::ImputationResult fit;
    {
      ReleaseGil unlocked;
      fit = did::imputation::fit(panel, options);
    }
    return imputation_dict(std::move(fit));
  });
}

}  // namespace

std::vector<PyMethodDef> core_imputation_functions() {
  return {method_def(imputation_entry.signature(), py_fit_imputation)};
}

}  // namespace tessarix::bindings
