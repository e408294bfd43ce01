// Glue shared by the staggered-adoption DiD entry points: turning (y, cohorts) into a
// Panel, and the guards that refuse unidentified designs with clear messages.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bindings/array_view.hpp"
#include "bindings/validate.hpp"
#include "estimators/did/callaway_options.hpp"
#include "estimators/panel.hpp"

namespace tessarix::bindings {

// A panel from an outcome view and one signed cohort per unit; a cohort outside [0, T)
// means never treated.
Checked<Panel> build_panel(const ArrayView2& y, std::span<const std::int64_t> cohorts);

// At least one never-treated unit to serve as control.
Checked<void> require_never_treated(const Panel& panel, std::string_view name,
                                    std::string_view hint);

// At least one treatment start other than period 0 (a cohort with a pre-period).
Checked<void> require_estimable_cohort(const Panel& panel, std::string_view name);

// A control group or a second cohort, without which the two-way fixed effects absorb the
// treatment indicator; `name` opens the message.
Checked<void> require_twfe_identified(const Panel& panel, std::string_view name);

// No unit treated from period 0 (the Goodman-Bacon decomposition has no place for it).
Checked<void> require_no_period_zero(const Panel& panel);

// The control group of Callaway-Sant'Anna: never-treated units for "never", not-yet-treated
// units for "notyet" or "not_yet_treated".
Checked<did::callaway::ControlGroup> check_control(std::string_view control);

// The Callaway-Sant'Anna estimation method: outcome regression for "reg", doubly robust for
// "dr", inverse-probability weighting for "ipw".
Checked<did::callaway::EstMethod> check_est_method(std::string_view method);

// The units the Callaway-Sant'Anna control group is drawn from (a never-treated unit for
// never-treated controls).
Checked<void> require_control_units(const Panel& panel, const did::callaway::CsOptions& options);

// Some cohort adopts after the anticipation window, so that it has a base period.
Checked<void> require_base_period(const Panel& panel, std::uint64_t anticipation);

// Covariates with one row per unit and finite values (zero columns allowed).
Checked<void> check_covariates(const ArrayView2& covariates, std::size_t n_units);

}  // namespace tessarix::bindings
