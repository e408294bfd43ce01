#include "inference/placebo.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "inference/ci.hpp"
#include "runtime/parallel.hpp"

namespace tessarix::inference {

namespace {

std::size_t single_cohort(const Panel& panel) {
  const std::vector<std::size_t>& cohorts = panel.cohorts();
  if (cohorts.size() != 1) invariant_failure("placebo test requires a single common treatment time");
  return cohorts[0];
}

// The placebo panel of donor j of `donors`: that donor first and treated from t0, the other
// donors after it in ascending order, the panel's treated units left out.
Panel placebo_panel(const Panel& panel, std::span<const std::size_t> donors, std::size_t j,
                    std::size_t t0) {
  const std::size_t n = donors.size();
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
  return Panel::block(std::move(rows), std::span<const std::size_t>(&first, 1), t0);
}

// On the pool: the placebo refit of every donor in donor order, each reduced to keep(j, fit),
// and with `real` non-null the real fit beside them as item 0 of the same map. A refit needs
// at least one other donor: with a single donor the entry is `none`.
template <class Kept, class Keep>
std::vector<Kept> map_refits(const Panel& panel, const sc::Method& method, std::size_t t0,
                             std::span<const std::size_t> donors, std::optional<ScFit>* real,
                             const Kept& none, Keep keep) {
  const std::size_t first = real != nullptr ? 1 : 0;
  std::vector<Kept> out = runtime::par_map_indexed(donors.size() + first, [&](std::size_t k) -> Kept {
    if (k < first) {
      *real = method.fit_at(panel, t0);
      return none;
    }
    const std::size_t j = k - first;
    if (donors.size() <= 1) return none;
    return keep(j, method.fit_at(placebo_panel(panel, donors, j, t0), t0));
  });
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(first));
  return out;
}

// The (statistic, ATT) of every refit in donor order, (NaN, NaN) where there is none.
std::vector<std::pair<double, double>> refit_pairs(const Panel& panel, const sc::Method& method,
                                                   std::size_t t0,
                                                   std::span<const std::size_t> donors,
                                                   std::optional<ScFit>* real) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  return map_refits(panel, method, t0, donors, real, std::pair<double, double>{kNaN, kNaN},
                    [&](std::size_t, const ScFit& fit) {
                      return std::pair<double, double>{method.statistic(fit), fit.att};
                    });
}

// The gap path of every refit the placebo test keeps (those with a statistic that is not
// NaN), in donor order.
std::vector<PlaceboPath> refit_paths(const Panel& panel, const sc::Method& method, std::size_t t0,
                                     std::span<const std::size_t> donors,
                                     std::optional<ScFit>* real) {
  std::vector<std::optional<PlaceboPath>> paths = map_refits(
      panel, method, t0, donors, real, std::optional<PlaceboPath>{},
      [&](std::size_t j, ScFit fit) -> std::optional<PlaceboPath> {
        if (std::isnan(method.statistic(fit))) return std::nullopt;
        std::vector<double> gap = std::move(fit.pre_gap);
        gap.insert(gap.end(), fit.att_path.begin(), fit.att_path.end());
        return PlaceboPath{donors[j], std::move(gap)};
      });
  std::vector<PlaceboPath> out;
  for (auto& p : paths) {
    if (p) out.push_back(std::move(*p));
  }
  return out;
}

// The test from the real fit and the refits' (statistic, ATT) pairs in donor order.
PlaceboResult summarise(const sc::Method& method, const ScFit& real,
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

PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method) {
  return fit_with_placebo(panel, method).placebo;
}

PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method, ScFit real) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  return summarise(method, real, refit_pairs(panel, method, t0, donors, nullptr));
}

FitWithPlacebo fit_with_placebo(const Panel& panel, const sc::Method& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  std::optional<ScFit> real;
  const auto pairs = refit_pairs(panel, method, t0, donors, &real);
  PlaceboResult placebo = summarise(method, *real, pairs);
  return {std::move(*real), std::move(placebo)};
}

FitInference placebo_inference(const PlaceboResult& placebo, double level) {
  FitInference out;
  if (placebo.placebo_stats.empty()) return out;
  out.p_value = placebo.p_value;
  out.distribution = placebo.placebo_stats;
  const PercentileCi ci = percentile_ci(placebo.placebo_atts, 0.0, level);
  out.se = ci.se;
  out.ci_lower = placebo.att + ci.lower;
  out.ci_upper = placebo.att + ci.upper;
  out.placebo_atts = placebo.placebo_atts;
  return out;
}

InferredFit fit_with_placebo_inference(const Panel& panel, const sc::Method& method, double level) {
  FitWithPlacebo both = fit_with_placebo(panel, method);
  FitInference inference = placebo_inference(both.placebo, level);
  return {std::move(both.fit), std::move(inference)};
}

std::vector<PlaceboPath> placebo_paths(const Panel& panel, const sc::Method& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  return refit_paths(panel, method, t0, donors, nullptr);
}

FitWithPlaceboPaths fit_with_placebo_paths(const Panel& panel, const sc::Method& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  std::optional<ScFit> real;
  std::vector<PlaceboPath> placebo = refit_paths(panel, method, t0, donors, &real);
  return {std::move(*real), std::move(placebo)};
}

}  // namespace tessarix::inference
