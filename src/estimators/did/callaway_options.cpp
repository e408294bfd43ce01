#include "estimators/did/callaway_options.hpp"

#include <algorithm>

namespace tessarix::did::callaway {

bool has_control_units(const Panel& panel, const CsOptions& options) {
  if (options.control == ControlGroup::NotYetTreated) return true;
  const auto& starts = panel.treat_start();
  return std::any_of(starts.begin(), starts.end(), [](const auto& s) { return !s; });
}

}  // namespace tessarix::did::callaway
