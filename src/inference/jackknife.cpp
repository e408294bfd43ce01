#include "inference/jackknife.hpp"

#include <cmath>
#include <optional>

#include "estimators/result.hpp"
#include "estimators/scale.hpp"
#include "inference/parallel.hpp"

namespace tessarix::inference {

std::vector<double> sdid_jackknife(const Panel& panel, std::size_t t0, const sc::sdid::SdidFit& full) {
  const sc::sdid::Jackknife jackknife(panel, full);
  // The effects are linear in the outcomes and the weights scale-free: compute them where no
  // sum of outcomes can overflow, and scale back.
  const int e = rescale_exponent(panel.y());
  const std::optional<Panel> scaled = e != 0 ? std::optional(rescaled(panel, e)) : std::nullopt;
  const Panel& at_scale = scaled ? *scaled : panel;
  return par_map(jackknife.size(), [&](std::size_t k) {
    return std::ldexp(jackknife.loo_att(at_scale, t0, k), -e);
  });
}

double jackknife_se(std::span<const double> loo) {
  const std::size_t n = loo.size();
  if (n < 2) return 0.0;
  return scale_free(loo, [n](std::span<const double> x) {
    return std::sqrt(static_cast<double>(n - 1) / static_cast<double>(n) * sum_sq_dev(x));
  });
}

}  // namespace tessarix::inference
