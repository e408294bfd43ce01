#include "inference/callaway.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/parallel.hpp"

namespace tessarix::inference {

did::callaway::CsResult callaway_on_pool(const Panel& panel, const did::callaway::CsOptions& options,
                                         bool event_influence) {
  const did::callaway::Estimation est(panel, options, event_influence);
  if (est.n_cells() * panel.n_units() < kCallawayPoolWork) return est.run(did::callaway::in_order);
  return est.run([](std::size_t n, auto&& f) {
    return runtime::par_map_indexed(n, [&f](std::size_t i) { return f(i); });
  });
}

Mat influence_covariance(std::span<const std::vector<double>> influence, std::size_t n) {
  const std::size_t k = influence.size();
  double largest = 0.0;
  for (const std::vector<double>& psi : influence) {
    for (double v : psi) largest = std::max(largest, std::abs(v));
  }
  // psi / 2^e lies below 1 in magnitude, so every product and every sum of n of them is a
  // finite double; the result is scaled back by 2^(2e) once.
  const int e = largest > 0.0 && std::isfinite(largest) ? std::ilogb(largest) + 1 : 0;
  Mat scaled(n, k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t u = 0; u < n; ++u) scaled(u, i) = std::ldexp(influence[i][u], -e);
  }
  const double nn = static_cast<double>(n) * static_cast<double>(n);
  Mat out(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      const std::span<const double> a = scaled.col(i);
      const std::span<const double> b = scaled.col(j);
      double s = 0.0;
      for (std::size_t u = 0; u < n; ++u) s += a[u] * b[u];
      out(i, j) = out(j, i) = std::ldexp(s / nn, 2 * e);
    }
  }
  return out;
}

CallawayFit fit_callaway(const Panel& panel, const did::callaway::CsOptions& options,
                         const std::optional<BandRequest>& bands, bool event_vcov) {
  CallawayFit out{callaway_on_pool(panel, options, bands.has_value() || event_vcov), std::nullopt, std::nullopt};
  std::vector<did::AggEffect>& event = out.fit.event;
  if (event.empty() || !did::callaway::has_post_treatment_cell(out.fit)) return out;
  std::vector<std::vector<double>> influence;
  std::vector<double> att;
  std::vector<double> se;
  for (did::AggEffect& e : event) {
    influence.push_back(std::move(e.influence));
    att.push_back(e.att);
    se.push_back(e.se);
  }
  if (event_vcov) out.event_vcov = influence_covariance(influence, panel.n_units());
  if (bands) out.bands = multiplier_event_bands(influence, att, se, bands->n_reps, bands->seed, bands->level);
  return out;
}

}  // namespace tessarix::inference
