// Glue shared by the staggered-adoption DiD entry points: turning (y, cohorts) into a
// Panel, and the guards that refuse unidentified designs with clear messages.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bindings/array_view.hpp"
#include "bindings/validate.hpp"
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
// treatment indicator.
Checked<void> require_twfe_identified(const Panel& panel);

}  // namespace tessarix::bindings
