#include "inference/placebo.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "inference/parallel.hpp"

namespace tessarix::inference {

namespace {

std::size_t single_cohort(const Panel& panel) {
  const std::vector<std::size_t>& cohorts = panel.cohorts();
  if (cohorts.size() != 1) invariant_failure("placebo test requires a single common treatment time");
  return cohorts[0];
}

// The (statistic, ATT) of refitting `method` with donor j of `donors` as the treated unit:
// that donor first, the other donors after it in ascending order, the panel's treated units
// left out. (NaN, NaN) with a single donor, as a placebo needs at least one other.
std::pair<double, double> placebo_refit(const Panel& panel, const ScMethod& method,
                                        std::span<const std::size_t> donors, std::size_t j,
                                        std::size_t t0) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::size_t n = donors.size();
  if (n <= 1) return {kNaN, kNaN};
  const std::size_t t_count = panel.n_periods();
  Mat rows(n, t_count);
  for (std::size_t t = 0; t < t_count; ++t) {
    const std::span<const double> src = panel.y().col(t);
    const std::span<double> dst = rows.col(t);
    dst[0] = src[donors[j]];
    std::size_t r = 1;
    for (std::size_t d = 0; d < n; ++d) {
      if (d != j) dst[r++] = src[donors[d]];
    }
  }
  const std::size_t first = 0;
  const Panel placebo = Panel::block(std::move(rows), std::span<const std::size_t>(&first, 1), t0);
  const ScFit fit = method.fit_at(placebo, t0);
  return {method.statistic(fit), fit.att};
}

// The test from the real fit and the refits' (statistic, ATT) pairs in donor order.
PlaceboResult summarise(const ScMethod& method, const ScFit& real,
                        std::span<const std::pair<double, double>> pairs) {
  PlaceboResult out;
  out.stat = method.statistic(real);
  out.att = real.att;
  out.att_path = real.att_path;
  for (const auto& [s, a] : pairs) {
    if (std::isnan(s)) continue;
    out.placebo_stats.push_back(s);
    out.placebo_atts.push_back(a);
  }
  std::size_t at_least = 0;
  for (double s : out.placebo_stats) at_least += s >= out.stat ? 1 : 0;
  out.p_value = static_cast<double>(at_least + 1) / static_cast<double>(out.placebo_stats.size() + 1);
  return out;
}

}  // namespace

PlaceboResult sc_placebo_method(const Panel& panel, const ScMethod& method) {
  return fit_with_placebo(panel, method).placebo;
}

PlaceboResult sc_placebo_method(const Panel& panel, const ScMethod& method, ScFit real) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  const auto pairs = par_map_indexed(donors.size(), [&](std::size_t j) {
    return placebo_refit(panel, method, donors, j, t0);
  });
  return summarise(method, real, pairs);
}

FitWithPlacebo fit_with_placebo(const Panel& panel, const ScMethod& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  // The real fit is item 0 of the same map, so that it runs beside the refits.
  std::optional<ScFit> real;
  std::vector<std::pair<double, double>> pairs =
      par_map_indexed(donors.size() + 1, [&](std::size_t k) -> std::pair<double, double> {
        if (k == 0) {
          real = method.fit_at(panel, t0);
          return {};
        }
        return placebo_refit(panel, method, donors, k - 1, t0);
      });
  pairs.erase(pairs.begin());
  PlaceboResult placebo = summarise(method, *real, pairs);
  return {std::move(*real), std::move(placebo)};
}

}  // namespace tessarix::inference
