#include "inference/method.hpp"

#include <cmath>
#include <limits>
#include <type_traits>

namespace tessarix::inference {

ScFit ScMethod::fit_at(const Panel& panel, std::size_t t0) const {
  return std::visit(
      [&](const auto& opt) -> ScFit {
        using O = std::decay_t<decltype(opt)>;
        if constexpr (std::is_same_v<O, sc::synthetic::ScOptions>) return sc::synthetic::fit_at(panel, t0, opt);
        if constexpr (std::is_same_v<O, sc::augmented::AscOptions>) return sc::augmented::fit_at(panel, t0, opt);
        if constexpr (std::is_same_v<O, sc::sdid::SdidOptions>) return sc::sdid::fit_at(panel, t0, opt);
        if constexpr (std::is_same_v<O, sc::demeaned::FpOptions>) return sc::demeaned::fit_at(panel, t0, opt);
        if constexpr (std::is_same_v<O, sc::robust::RscOptions>) return sc::robust::fit_at(panel, t0, opt);
      },
      options);
}

bool ScMethod::statistic_is_absolute_att() const {
  return std::holds_alternative<sc::sdid::SdidOptions>(options) ||
         std::holds_alternative<sc::demeaned::FpOptions>(options);
}

double ScMethod::statistic(const ScFit& fit) const {
  if (statistic_is_absolute_att()) return std::fabs(fit.att);
  return fit.pre_rmspe > 0.0 ? fit.post_rmspe / fit.pre_rmspe : std::numeric_limits<double>::infinity();
}

}  // namespace tessarix::inference
