// Python entry points for staggered-adoption difference-in-differences.
#include <optional>
#include <string>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
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

// Event-study rows of an aggregated-effect list.
void set_event_study(PyDidResult& r, const std::vector<did::AggEffect>& event) {
  for (const did::AggEffect& e : event) {
    r.event_time.push_back(e.key);
    r.event_att.push_back(e.att);
    r.event_se.push_back(e.se);
  }
}

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

// --- Callaway & Sant'Anna -------------------------------------------------------------------

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
};

const EntryPoint<CallawayArgs> fit_callaway_entry{
    "fit_callaway_py",
    "Callaway & Sant'Anna group-time ATTs aggregated to overall + event study.\n"
    "`control` is \"never\" (never-treated) or \"notyet\" (not-yet-treated). When\n"
    "`covariates` (an `N\u00d7K` array) is given, uses covariate-adjusted (regression-\n"
    "adjustment) ATTs.",
    {TX_PARAM(CallawayArgs, y, kPanel), TX_PARAM(CallawayArgs, cohorts, kCohortList),
     TX_PARAM(CallawayArgs, control, kChoice, "never"),
     TX_PARAM(CallawayArgs, covariates, kPanel, kNone),
     TX_PARAM(CallawayArgs, anticipation, kCount, 0),
     TX_PARAM(CallawayArgs, bands, kFlag, false), TX_PARAM(CallawayArgs, n_reps, kCount, 999),
     TX_PARAM(CallawayArgs, seed, kCount, 0), TX_PARAM(CallawayArgs, level, kReal, 0.95)}};

// With not-yet-treated controls a design can leave every post-treatment cell without a
// control (everyone adopts at once); then nothing is estimated.
Checked<void> require_post_cell(const did::callaway::CsResult& fit) {
  if (did::callaway::has_post_treatment_cell(fit)) return {};
  return std::unexpected(std::string(
      "Callaway-Sant'Anna: no post-treatment group-time cell has a control unit (every unit "
      "has adopted or is anticipating by then), so no treatment effect is identified."));
}

PyDidResult callaway_result(const inference::CallawayFit& out) {
  const did::callaway::CsResult& fit = out.fit;
  PyDidResult r;
  r.att = fit.att;
  r.se = fit.se;
  set_event_study(r, fit.event);
  for (const did::AggEffect& g : fit.group) {
    r.group_cohort.push_back(g.key);
    r.group_att.push_back(g.att);
    r.group_se.push_back(g.se);
  }
  r.overall_group_att = fit.overall_group_att;
  r.overall_group_se = fit.overall_group_se;
  if (out.bands) {
    for (const auto& [lower, upper] : out.bands->bands) {
      r.event_lo.push_back(lower);
      r.event_hi.push_back(upper);
    }
    r.band_crit = out.bands->crit;
  }
  return r;
}

PyObject* py_fit_callaway(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const CallawayArgs a = fit_callaway_entry.parse(args, kwargs);
    did::callaway::CsOptions options;
    options.control = unwrap(check_control(a.control));
    options.anticipation = a.anticipation;
    Panel panel = unwrap(build_panel(a.y, a.cohorts));
    unwrap(require_estimable_cohort(panel, "Callaway-Sant'Anna"));
    unwrap(check_unit_interval("level", a.level));
    unwrap(check_min_count("n_reps", a.n_reps, 1));
    unwrap(require_base_period(panel, a.anticipation));
    unwrap(require_control_units(panel, options));
    if (a.covariates) {
      unwrap(check_covariates(*a.covariates, panel.n_units()));
      panel = std::move(panel).with_covariates(mat_from_numpy(*a.covariates));
    }
    std::optional<inference::BandRequest> bands;
    if (a.bands) bands = inference::BandRequest{a.n_reps, a.seed, a.level};
    PyDidResult result;
    {
      ReleaseGil unlocked;
      const inference::CallawayFit fit = inference::fit_callaway(panel, options, bands);
      unwrap(require_post_cell(fit.fit));
      result = callaway_result(fit);
    }
    return wrap(std::move(result));
  });
}

// --- Sun & Abraham --------------------------------------------------------------------------

const EntryPoint<StaggeredArgs> fit_sunab_entry{
    "fit_sunab_py", "Sun & Abraham interaction-weighted event study.", kStaggeredParams};

PyObject* py_fit_sunab(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const StaggeredArgs a = fit_sunab_entry.parse(args, kwargs);
    const Panel panel = unwrap(build_panel(a.y, a.cohorts));
    unwrap(require_estimable_cohort(panel, "Sun-Abraham"));
    unwrap(require_never_treated(
        panel, "Sun-Abraham",
        "The interaction-weighted estimator uses never-treated units as the reference group."));
    const did::sunab::SaResult fit = did::sunab::fit(panel);
    PyDidResult result;
    result.att = fit.att;
    result.se = fit.se;
    set_event_study(result, fit.event);
    return wrap(std::move(result));
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
