#include "bindings/did_entries.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

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

std::string_view method_name(did::callaway::EstMethod method) {
  switch (method) {
    case did::callaway::EstMethod::OutcomeRegression: return "reg";
    case did::callaway::EstMethod::DoublyRobust: return "dr";
    case did::callaway::EstMethod::InverseProbability: return "ipw";
  }
  return "?";
}

// The opening of a message about the fit by `method`.
std::string fit_name(did::callaway::EstMethod method) {
  return "Callaway-Sant'Anna (est_method='" + std::string(method_name(method)) + "')";
}

// A cell whose propensity score or outcome regression could not be fitted fails the call,
// naming the cell by its cohort's first treated period and its period (positions).
Checked<void> require_fitted_cells(const did::callaway::CsResult& fit, did::callaway::EstMethod method) {
  if (!fit.failure) return {};
  const did::callaway::CellFailure& f = *fit.failure;
  std::string cause;
  if (f.fault == did::callaway::CellFault::Separation) {
    cause = "the covariates (quasi-)completely separate the cohort from its controls: its propensity "
            "score reaches exactly 0 or 1 or its logit fit diverges. Drop or coarsen the separating "
            "covariates, or use est_method='reg'.";
  } else {
    cause = "the covariates are collinear over the cohort and its controls (or, for the outcome "
            "regression, over the controls alone), so the fit is not identified. Drop redundant "
            "covariates.";
  }
  return std::unexpected(fit_name(method) + ": the cell of cohort " + std::to_string(f.cohort) +
                         " at period " + std::to_string(f.period) + " cannot be estimated: " + cause);
}

// Each covariate left out of some cells of a cohort, once per cohort and covariate with the
// periods of those cells: to `on_dropped(covariate, cohort, periods)` when given, else as a
// UserWarning. A warning turned into an exception, or an exception of the callable, propagates.
void report_dropped(const std::vector<did::callaway::DroppedCovariate>& dropped,
                    did::callaway::EstMethod method, PyObject* on_dropped) {
  std::vector<did::callaway::DroppedCovariate> sorted = dropped;
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    return std::pair(a.cohort, a.covariate) < std::pair(b.cohort, b.covariate);
  });
  for (std::size_t i = 0; i < sorted.size();) {
    std::size_t j = i;
    std::vector<std::int64_t> periods;
    for (; j < sorted.size() && sorted[j].cohort == sorted[i].cohort &&
           sorted[j].covariate == sorted[i].covariate;
         ++j) {
      periods.push_back(static_cast<std::int64_t>(sorted[j].period));
    }
    if (on_dropped != nullptr) {
      PyRef listed(int64_array_from(std::move(periods)));
      if (!listed) throw PyErrorSet{};
      PyRef called(PyObject_CallFunction(on_dropped, "nnO", static_cast<Py_ssize_t>(sorted[i].covariate),
                                         static_cast<Py_ssize_t>(sorted[i].cohort), listed.get()));
      if (!called) throw PyErrorSet{};
    } else {
      std::string listed;
      for (std::size_t k = 0; k < periods.size(); ++k) listed += (k == 0 ? "" : ", ") + std::to_string(periods[k]);
      const std::string message = fit_name(method) + ": covariate " + std::to_string(sorted[i].covariate) +
                                  " is constant over cohort " + std::to_string(sorted[i].cohort) +
                                  " and its controls at periods " + listed + "; it is left out of those cells' fits.";
      if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw PyErrorSet{};
    }
    i = j;
  }
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

PyDidResult sunab_result(const did::sunab::SaResult& fit) {
  PyDidResult result;
  result.att = fit.att;
  result.se = fit.se;
  set_event_study(result, fit.event);
  return result;
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

PyObject* run_fit_callaway(const CallawayArgs& a, PyObject* progress, bool event_vcov, PyObject* on_dropped) {
  did::callaway::CsOptions options;
  options.control = unwrap(check_control(a.control));
  options.est_method = unwrap(check_est_method(a.est_method));
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
  std::vector<did::callaway::DroppedCovariate> dropped;
  {
    ReleaseGil unlocked;
    ProgressReport report(progress, unlocked.state());
    inference::CallawayFit fit = inference::fit_callaway(panel, options, bands, event_vcov);
    unwrap(require_fitted_cells(fit.fit, options.est_method));
    unwrap(require_post_cell(fit.fit));
    result = callaway_result(fit);
    if (fit.event_vcov) vcov = std::move(*fit.event_vcov);
    dropped = fit.fit.dropped;
  }
  report_dropped(dropped, options.est_method, on_dropped);
  if (!event_vcov) return wrap(std::move(result));
  return with_event_vcov(wrap(std::move(result)), vcov);
}

}  // namespace tessarix::bindings
