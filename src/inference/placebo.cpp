#include "inference/placebo.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "inference/parallel.hpp"

namespace tessarix::inference {

namespace {

std::size_t single_cohort(const Panel& panel) {
  const std::vector<std::size_t> cohorts = panel.cohorts();
  if (cohorts.size() != 1) invariant_failure("placebo test requires a single common treatment time");
  return cohorts[0];
}

}  // namespace

PlaceboResult sc_placebo_method(const Panel& panel, const ScMethod& method) {
  const std::size_t t0 = single_cohort(panel);
  return sc_placebo_method(panel, method, method.fit_at(panel, t0));
}

PlaceboResult sc_placebo_method(const Panel& panel, const ScMethod& method, ScFit real) {
  const std::size_t t0 = single_cohort(panel);

  const std::vector<std::size_t> donors = panel.never_treated_units();
  const std::size_t n = donors.size();
  const std::size_t t_count = panel.n_periods();
  const Mat& y = panel.y();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<double, double>> pairs =
      par_map_indexed(n, [&](std::size_t j) -> std::pair<double, double> {
        if (n <= 1) return {kNaN, kNaN};  // a placebo needs at least one other donor
        // Donor j first (pseudo-treated), then the other donors in ascending order.
        Mat rows(n, t_count);
        for (std::size_t t = 0; t < t_count; ++t) {
          const std::span<const double> src = y.col(t);
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
      });

  PlaceboResult out;
  out.stat = method.statistic(real);
  out.att = real.att;
  out.att_path = std::move(real.att_path);
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

}  // namespace tessarix::inference
