#include "bindings/geo_entries.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "bindings/boundary.hpp"
#include "bindings/format.hpp"
#include "bindings/geo_args.hpp"
#include "bindings/progress.hpp"
#include "bindings/pydict.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "geo/power.hpp"

namespace tessarix::bindings {
namespace {

// Every lift finite and >= 0 (-0.0 passes); an empty list passes.
Checked<void> check_lifts(const std::vector<double>& lifts) {
  for (double l : lifts) {
    if (!(std::isfinite(l) && l >= 0.0)) {
      return std::unexpected(
          "lifts must be finite and >= 0 (detection is two-sided on |ATT|, so a negative lift is "
          "equivalent to its magnitude); got " + fmt_real(l));
    }
  }
  return {};
}

PyPowerResult power_result(const geo::PowerResult& r) {
  PyPowerResult out;
  out.method = r.method;
  for (const geo::PowerPoint& p : r.points) {
    out.lifts.push_back(p.lift);
    out.power.push_back(p.power);
    out.est_mean.push_back(p.est_mean);
    out.est_lo.push_back(p.est_lo);
    out.est_hi.push_back(p.est_hi);
  }
  out.mde_pct = r.mde_pct;
  out.mde_abs_per_period = r.mde_abs_per_period;
  out.mde_cumulative = r.mde_cumulative;
  out.crit = r.critical_value;
  out.se_null = r.se_null;
  out.n_windows = r.n_windows;
  out.ensemble_weights = r.ensemble_weights;
  return out;
}

std::vector<std::size_t> as_sizes(const std::vector<std::uint64_t>& v) { return {v.begin(), v.end()}; }

// The window, lift, level and bound checks both power analyses share, after the panel and
// treated checks; returns the settings for the library.
geo::PowerSettings checked_settings(const ArrayView2& y, std::size_t n_treated, std::uint64_t test_len,
                                    std::uint64_t min_pre, const std::vector<double>& lifts,
                                    double alpha, double target_power,
                                    std::optional<std::uint64_t> lookback, double min_weight,
                                    double max_weight) {
  geo::PowerSettings s = checked_window(y, test_len, min_pre, lookback);
  unwrap(check_lifts(lifts));
  set_checked_levels(s, alpha, target_power);
  set_checked_bounds(s, y, n_treated, min_weight, max_weight);
  return s;
}

// The panel, treated and shared checks of a power analysis (after its own), then `curve` on an
// owned copy of the panel with the interpreter lock released.
template <class Args, class Curve>
PyObject* run_power_analysis(const Args& a, PyObject* progress, Curve curve) {
  unwrap(check_panel(a.y));
  unwrap(check_treated(a.treated, a.y.shape[0]));
  const geo::PowerSettings s = checked_settings(a.y, a.treated.size(), a.test_len, a.min_pre, a.lifts,
                                                a.alpha, a.target_power, a.lookback, a.min_weight,
                                                a.max_weight);
  const Mat y = mat_from_numpy(a.y);
  const std::vector<std::size_t> treated = as_sizes(a.treated);
  geo::PowerResult r;
  {
    ReleaseGil unlocked;
    ProgressReport report(progress, unlocked.state());
    r = curve(y, treated, s);
  }
  return wrap(power_result(r));
}

std::vector<std::size_t> sorted_unique(std::vector<std::uint64_t> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return {v.begin(), v.end()};
}

PyMarketCandidate candidate_result(geo::MarketCandidate&& c) {
  PyMarketCandidate r;
  r.treated.assign(c.treated.begin(), c.treated.end());
  r.power_at_target = c.power_at_target;
  r.mde_pct = c.mde_pct;
  r.holdout_pct = c.holdout_pct;
  r.pre_fit_rel = c.pre_fit_rel;
  r.stability_score = c.stability_score;
  r.confidence = c.confidence;
  r.score = c.score;
  return r;
}

}  // namespace

PyObject* candidate_list(std::vector<geo::MarketCandidate>&& ranked) {
  return new_list(ranked.size(), [&](std::size_t i) { return wrap(candidate_result(std::move(ranked[i]))); });
}

PyObject* run_geo_power(const PowerArgs& a, PyObject* progress) {
  return run_power_analysis_with(a, progress, nullptr, *unwrap(check_method(a.method)));
}

PyObject* run_power_analysis_with(const PowerArgs& a, PyObject* progress, const Mat* predictors,
                                  const sc::MethodEntry& method) {
  return run_power_analysis(a, progress, [&](const Mat& y, const std::vector<std::size_t>& treated,
                                             geo::PowerSettings s) {
    s.predictors = predictors;
    return geo::power_curve(y, treated, a.lifts, method, s);
  });
}

PyObject* run_geo_power_ensemble(const EnsembleArgs& a, PyObject* progress) {
  const std::vector<const sc::MethodEntry*> members = unwrap(check_members(a.members));
  if (a.weights) unwrap(check_ensemble_weights(*a.weights, members.size()));
  return run_power_analysis(a, progress, [&](const Mat& y, const std::vector<std::size_t>& treated,
                                             const geo::PowerSettings& s) {
    return geo::power_curve_ensemble(y, treated, a.lifts, members, a.weights, s);
  });
}

CheckedSelection checked_selection(const SelectArgs& a) {
  const sc::MethodEntry* method = unwrap(check_method(a.method));
  const std::size_t n = unwrap(check_panel(a.y)).first;
  geo::PowerSettings s = checked_window(a.y, a.test_len, a.min_pre, a.lookback);
  set_checked_levels(s, a.alpha, a.target_power);
  unwrap(check_pos("target_lift", a.target_lift));
  unwrap(check_max_treated(a.max_treated, n));
  unwrap(check_min_count("n_candidates", a.n_candidates, 1));
  const std::vector<std::uint64_t> include_given = a.include.value_or(std::vector<std::uint64_t>{});
  unwrap(check_indices("eligible", a.eligible, n));
  unwrap(check_indices("include", include_given, n));
  std::vector<std::size_t> include = sorted_unique(include_given);
  if (a.exact_size) unwrap(check_exact_size(*a.exact_size, include.size(), n));
  unwrap(check_include_leaves_control(include.size(), n));
  CheckedSelection out{mat_from_numpy(a.y), {}};
  set_checked_search_bounds(s, n, a.exact_size.value_or(a.max_treated), a.min_weight, a.max_weight);
  geo::SelectionConfig& config = out.config;
  config.exact_size = a.exact_size;
  config.power = s;
  config.method = method;
  config.eligible.assign(a.eligible.begin(), a.eligible.end());
  config.include = std::move(include);
  config.max_treated = a.max_treated;
  config.n_candidates = a.n_candidates;
  config.seed = a.seed;
  config.target_lift = a.target_lift;
  return out;
}

PyObject* run_geo_select(const SelectArgs& a, PyObject* progress) {
  const CheckedSelection c = checked_selection(a);
  std::vector<geo::MarketCandidate> ranked;
  {
    ReleaseGil unlocked;
    ProgressReport report(progress, unlocked.state());
    ranked = geo::select_markets(c.y, c.config);
  }
  return candidate_list(std::move(ranked));
}

}  // namespace tessarix::bindings
