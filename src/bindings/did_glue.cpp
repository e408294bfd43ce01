#include "bindings/did_glue.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "bindings/format.hpp"

namespace tessarix::bindings {
namespace {

std::string no_never_treated_message(std::string_view name, std::string_view hint) {
  return std::string(name) +
         " needs at least one never-treated unit (treat_start < 0, or at/after the last period) "
         "as a control. " +
         std::string(hint);
}

}  // namespace

Checked<Panel> build_panel(const ArrayView2& y, std::span<const std::int64_t> cohorts) {
  Checked<Mat> m = panel_matrix(y);
  if (!m) return std::unexpected(m.error());
  const std::size_t n = m->rows(), t = m->cols();
  if (cohorts.size() != n) {
    return std::unexpected("treat_start has " + std::to_string(cohorts.size()) +
                           " entries but the panel has " + std::to_string(n) + " units");
  }
  std::vector<Panel::TreatStart> starts(n);
  for (std::size_t u = 0; u < n; ++u) {
    const std::int64_t c = cohorts[u];
    if (c >= 0 && static_cast<std::uint64_t>(c) < t) starts[u] = static_cast<std::size_t>(c);
  }
  return Panel(std::move(*m), std::move(starts));
}

Checked<void> require_never_treated(const Panel& panel, std::string_view name,
                                    std::string_view hint) {
  const auto& starts = panel.treat_start();
  if (std::any_of(starts.begin(), starts.end(), [](const auto& s) { return !s; })) return {};
  return std::unexpected(no_never_treated_message(name, hint));
}

Checked<void> require_estimable_cohort(const Panel& panel, std::string_view name) {
  const std::vector<std::size_t>& cohorts = panel.cohorts();
  if (std::any_of(cohorts.begin(), cohorts.end(), [](std::size_t c) { return c != 0; })) return {};
  return std::unexpected(std::string(name) +
                         ": no estimable cohort. Every unit is either never treated or treated "
                         "from period 0 (no pre-period), so no treatment effect is identified.");
}

Checked<void> require_twfe_identified(const Panel& panel, std::string_view name) {
  if (!panel.never_treated_units().empty() || panel.cohorts().size() != 1) return {};
  return std::unexpected(std::string(name) +
                         ": every unit adopts at the same period and there are no control units, "
                         "so the unit and time fixed effects absorb the treatment indicator "
                         "entirely.");
}

Checked<void> require_no_period_zero(const Panel& panel) {
  const auto& starts = panel.treat_start();
  if (std::none_of(starts.begin(), starts.end(), [](const auto& s) { return s == std::size_t{0}; })) {
    return {};
  }
  return std::unexpected(std::string(
      "Goodman-Bacon: units already treated at period 0 have no pre-period and cannot enter "
      "the decomposition, which would break the `twfe == sum(weight * estimate)` identity "
      "against the full-panel TWFE. Drop those units (or start the panel earlier) and re-run."));
}

Checked<did::callaway::ControlGroup> check_control(std::string_view control) {
  using did::callaway::ControlGroup;
  if (control == "never") return ControlGroup::NeverTreated;
  if (control == "notyet" || control == "not_yet_treated") return ControlGroup::NotYetTreated;
  return std::unexpected("unknown control group '" + std::string(control) +
                         "' (expected never/notyet)");
}

Checked<did::callaway::EstMethod> check_est_method(std::string_view method) {
  using did::callaway::EstMethod;
  if (method == "reg") return EstMethod::OutcomeRegression;
  if (method == "dr") return EstMethod::DoublyRobust;
  if (method == "ipw") return EstMethod::InverseProbability;
  return std::unexpected("unknown est_method '" + std::string(method) + "' (expected reg/dr/ipw)");
}

Checked<void> require_control_units(const Panel& panel, const did::callaway::CsOptions& options) {
  if (did::callaway::has_control_units(panel, options)) return {};
  return std::unexpected(no_never_treated_message(
      "Callaway-Sant'Anna with control='never'",
      "If every unit eventually adopts, pass control='notyet' to compare against not-yet-treated "
      "units instead."));
}

Checked<void> require_base_period(const Panel& panel, std::uint64_t anticipation) {
  const std::vector<std::size_t>& cohorts = panel.cohorts();
  if (std::any_of(cohorts.begin(), cohorts.end(), [&](std::size_t c) { return c > anticipation; })) {
    return {};
  }
  // The run of spaces is part of the message as users have always seen it.
  return std::unexpected("anticipation=" + std::to_string(anticipation) +
                         ": no cohort has a usable base period              (need treat_start >= " +
                         fmt_sum(anticipation, 1) + ")");
}

Checked<void> check_covariates(const ArrayView2& covariates, std::size_t n_units) {
  if (covariates.shape[0] != n_units) {
    return std::unexpected("covariates must have one row per unit (" + std::to_string(n_units) +
                           "); got " + std::to_string(covariates.shape[0]));
  }
  if (!all_finite(covariates)) {
    return std::unexpected(std::string("covariates contain NaN or inf; provide complete, finite covariates"));
  }
  return {};
}

}  // namespace tessarix::bindings
