#include "inference/jackknife.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "estimators/result.hpp"
#include "estimators/scale.hpp"
#include "inference/ci.hpp"
#include "runtime/parallel.hpp"

namespace tessarix::inference {
namespace {

constexpr std::size_t kCasesPerTask = 64;

}  // namespace

std::vector<double> sdid_jackknife(const Panel& panel, std::size_t t0, const sc::sdid::SdidFit& full) {
  // The effects are linear in the outcomes and the weights scale-free: compute them where no
  // sum of outcomes can overflow, and scale back.
  const int e = rescale_exponent(panel.y());
  const std::optional<Panel> scaled = e != 0 ? std::optional(rescaled(panel, e)) : std::nullopt;
  const Panel& at_scale = scaled ? *scaled : panel;
  const sc::sdid::Jackknife jackknife(at_scale, t0, full);
  // A case costs one mean path or one sum over the donors: the pool takes them in fixed
  // groups, each writing its own slots, so that scheduling costs stay small next to the work.
  const std::size_t n = jackknife.size();
  std::vector<double> loo(n);
  runtime::par_map_indexed((n + kCasesPerTask - 1) / kCasesPerTask, [&](std::size_t task) {
    const std::size_t last = std::min(n, (task + 1) * kCasesPerTask);
    for (std::size_t k = task * kCasesPerTask; k < last; ++k) {
      loo[k] = std::ldexp(jackknife.loo_att(at_scale, k), -e);
    }
    return last;
  });
  return loo;
}

double jackknife_se(std::span<const double> loo) {
  const std::size_t n = loo.size();
  if (n < 2) return 0.0;
  return scale_free(loo, [n](std::span<const double> x) {
    return std::sqrt(static_cast<double>(n - 1) / static_cast<double>(n) * sum_sq_dev(x));
  });
}

InferredFit sdid_with_jackknife(const Panel& panel, std::size_t t0, const sc::sdid::SdidOptions& options,
                                double level) {
  sc::sdid::SdidFit full = sc::sdid::fit_with_time_weights(panel, t0, options);
  const double se = jackknife_se(sdid_jackknife(panel, t0, full));
  const NormalCi ci = normal_ci(full.fit.att, se, level);
  InferredFit out{std::move(full.fit), {}};
  out.inference.se = se;
  out.inference.ci_lower = ci.lower;
  out.inference.ci_upper = ci.upper;
  return out;
}

}  // namespace tessarix::inference
