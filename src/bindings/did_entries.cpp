#include "bindings/did_entries.hpp"

#include "bindings/boundary.hpp"
#include "bindings/did_glue.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/progress.hpp"
#include "bindings/results.hpp"
#include "estimators/did/callaway.hpp"
#include "inference/callaway.hpp"

namespace tessarix::bindings {

const char* const kCallawayDoc =
    "Callaway & Sant'Anna group-time ATTs aggregated to overall + event study.\n"
    "`control` is \"never\" (never-treated) or \"notyet\" (not-yet-treated). When\n"
    "`covariates` (an `N\u00d7K` array) is given, uses covariate-adjusted (regression-\n"
    "adjustment) ATTs.";

void set_event_study(PyDidResult& r, const std::vector<did::AggEffect>& event) {
  for (const did::AggEffect& e : event) {
    r.event_time.push_back(e.key);
    r.event_att.push_back(e.att);
    r.event_se.push_back(e.se);
  }
}

namespace {

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

}  // namespace

did::sunab::SaResult run_sunab(const ArrayView2& y, std::span<const std::int64_t> cohorts) {
  const Panel panel = unwrap(build_panel(y, cohorts));
  unwrap(require_estimable_cohort(panel, "Sun-Abraham"));
  unwrap(require_never_treated(
      panel, "Sun-Abraham",
      "The interaction-weighted estimator uses never-treated units as the reference group."));
  ReleaseGil unlocked;
  return did::sunab::fit(panel);
}

PyObject* with_event_vcov(PyObject* result, const Mat& vcov) {
  PyRef owned(result);
  if (!owned) return nullptr;
  const std::span<const double> v = vcov.data();
  // Symmetric, so its column-major storage is its row-major one.
  PyRef array(float64_array2_from(std::vector<double>(v.begin(), v.end()), vcov.rows(), vcov.cols()));
  if (!array) return nullptr;
  return PyTuple_Pack(2, owned.get(), array.get());
}

PyObject* run_fit_callaway(const CallawayArgs& a, PyObject* progress, bool event_vcov) {
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
  Mat vcov;
  {
    ReleaseGil unlocked;
    ProgressReport report(progress, unlocked.state());
    inference::CallawayFit fit = inference::fit_callaway(panel, options, bands, event_vcov);
    unwrap(require_post_cell(fit.fit));
    result = callaway_result(fit);
    if (fit.event_vcov) vcov = std::move(*fit.event_vcov);
  }
  if (!event_vcov) return wrap(std::move(result));
  return with_event_vcov(wrap(std::move(result)), vcov);
}

}  // namespace tessarix::bindings
