// Python entry points of the geo-experiment design library: power analysis for one method or
// an ensemble, design diagnostics, and the search for treated-market sets.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/format.hpp"
#include "bindings/geo_args.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "geo/diagnostics.hpp"
#include "geo/power.hpp"
#include "geo/selection.hpp"

namespace tessarix::bindings {
namespace {

// --- power analysis -------------------------------------------------------------------------

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

struct PowerArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t test_len = 0;
  std::vector<double> lifts;
  std::string method;
  double alpha = 0.1;
  double target_power = 0.8;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

const EntryPoint<PowerArgs> geo_power_entry{
    "geo_power", "Power analysis for one method via historical placebo with injected lift.",
    {TX_PARAM(PowerArgs, y, kPanel), TX_PARAM(PowerArgs, treated, kIndexList),
     TX_PARAM(PowerArgs, test_len, kCount), TX_PARAM(PowerArgs, lifts, kFloatList),
     TX_PARAM(PowerArgs, method, kChoice, "sdid"), TX_PARAM(PowerArgs, alpha, kReal, 0.1),
     TX_PARAM(PowerArgs, target_power, kReal, 0.8), TX_PARAM(PowerArgs, min_pre, kCount, 0),
     TX_PARAM(PowerArgs, lookback, kCount, kNone), TX_PARAM(PowerArgs, min_weight, kReal, 0.0),
     TX_PARAM(PowerArgs, max_weight, kReal, 1.0)}};

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
PyObject* run_power_analysis(const Args& a, Curve curve) {
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
    r = curve(y, treated, s);
  }
  return wrap(power_result(r));
}

PyObject* py_geo_power(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PowerArgs a = geo_power_entry.parse(args, kwargs);
    const sc::MethodEntry& method = *unwrap(check_method(a.method));
    return run_power_analysis(a, [&](const Mat& y, const std::vector<std::size_t>& treated,
                                     const geo::PowerSettings& s) {
      return geo::power_curve(y, treated, a.lifts, method, s);
    });
  });
}

struct EnsembleArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t test_len = 0;
  std::vector<double> lifts;
  double alpha = 0.1;
  double target_power = 0.8;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  std::optional<std::vector<double>> weights;
  std::optional<std::vector<std::string>> members;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

const EntryPoint<EnsembleArgs> geo_power_ensemble_entry{
    "geo_power_ensemble",
    "Power analysis for a **weighted-average ensemble** of base methods.\n"
    "\n"
    "`members` names the estimators to blend (default SC + ASC + SDID); `weights`\n"
    "is one non-negative number per member, or `None` for data-driven\n"
    "inverse-variance weights from each method's historical-null spread. The\n"
    "members are combined per placebo window before power is computed.",
    {TX_PARAM(EnsembleArgs, y, kPanel), TX_PARAM(EnsembleArgs, treated, kIndexList),
     TX_PARAM(EnsembleArgs, test_len, kCount), TX_PARAM(EnsembleArgs, lifts, kFloatList),
     TX_PARAM(EnsembleArgs, alpha, kReal, 0.1), TX_PARAM(EnsembleArgs, target_power, kReal, 0.8),
     TX_PARAM(EnsembleArgs, min_pre, kCount, 0), TX_PARAM(EnsembleArgs, lookback, kCount, kNone),
     TX_PARAM(EnsembleArgs, weights, kFloatList, kNone),
     TX_PARAM(EnsembleArgs, members, kNameList, kNone),
     TX_PARAM(EnsembleArgs, min_weight, kReal, 0.0), TX_PARAM(EnsembleArgs, max_weight, kReal, 1.0)}};

PyObject* py_geo_power_ensemble(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const EnsembleArgs a = geo_power_ensemble_entry.parse(args, kwargs);
    const std::vector<const sc::MethodEntry*> members = unwrap(check_members(a.members));
    if (a.weights) unwrap(check_ensemble_weights(*a.weights, members.size()));
    return run_power_analysis(a, [&](const Mat& y, const std::vector<std::size_t>& treated,
                                     const geo::PowerSettings& s) {
      return geo::power_curve_ensemble(y, treated, a.lifts, members, a.weights, s);
    });
  });
}

// --- design diagnostics -------------------------------------------------------------------

struct GeoDiagnosticsArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t test_len = 0;
};

const EntryPoint<GeoDiagnosticsArgs> geo_diagnostics_entry{
    "geo_diagnostics", "Design diagnostics for a treated-market set.",
    {TX_PARAM(GeoDiagnosticsArgs, y, kPanel), TX_PARAM(GeoDiagnosticsArgs, treated, kIndexList),
     TX_PARAM(GeoDiagnosticsArgs, test_len, kCount)}};

// Diagnostics only need one pre-period, not a full power-analysis window.
Checked<void> check_diagnostics_test_len(std::uint64_t test_len, std::size_t n_periods) {
  if (test_len >= 1 && test_len < n_periods) return {};
  return std::unexpected("test_len must be in [1, " + std::to_string(n_periods) +
                         ") so at least one pre-period remains; got " + std::to_string(test_len));
}

PyGeoDiagnostics diagnostics_result(geo::Diagnostics&& d) {
  PyGeoDiagnostics r;
  r.holdout_pct = d.holdout_pct;
  r.pre_fit_rel = d.pre_fit_rel;
  r.improvement_vs_naive = d.improvement_vs_naive;
  r.seasonality_strength = d.seasonality_strength;
  r.stability_score = d.stability_score;
  r.confidence = d.confidence;
  r.warnings = std::move(d.warnings);
  return r;
}

// Computed with the interpreter lock held: one synthetic-control fit is quick.
PyObject* py_geo_diagnostics(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const GeoDiagnosticsArgs a = geo_diagnostics_entry.parse(args, kwargs);
    const auto [n, t] = unwrap(check_panel(a.y));
    unwrap(check_treated(a.treated, n));
    unwrap(check_diagnostics_test_len(a.test_len, t));
    const Mat y = mat_from_numpy(a.y);
    const std::vector<std::size_t> treated(a.treated.begin(), a.treated.end());
    return wrap(diagnostics_result(geo::diagnostics(y, treated, a.test_len)));
  });
}

// --- market selection -----------------------------------------------------------------------

struct SelectArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> eligible;
  std::uint64_t max_treated = 0;
  std::uint64_t test_len = 0;
  double target_lift = 0.0;
  std::string method;
  double alpha = 0.1;
  double target_power = 0.8;
  std::uint64_t min_pre = 0;
  std::uint64_t n_candidates = 200;
  std::uint64_t seed = 0;
  std::optional<std::uint64_t> exact_size;
  std::optional<std::uint64_t> lookback;
  std::optional<std::vector<std::uint64_t>> include;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

const EntryPoint<SelectArgs> geo_select_entry{
    "geo_select",
    "Search and rank candidate treatment-market sets.",
    {TX_PARAM(SelectArgs, y, kPanel), TX_PARAM(SelectArgs, eligible, kIndexList),
     TX_PARAM(SelectArgs, max_treated, kCount), TX_PARAM(SelectArgs, test_len, kCount),
     TX_PARAM(SelectArgs, target_lift, kReal), TX_PARAM(SelectArgs, method, kChoice, "sdid"),
     TX_PARAM(SelectArgs, alpha, kReal, 0.1), TX_PARAM(SelectArgs, target_power, kReal, 0.8),
     TX_PARAM(SelectArgs, min_pre, kCount, 0), TX_PARAM(SelectArgs, n_candidates, kCount, 200),
     TX_PARAM(SelectArgs, seed, kCount, 0), TX_PARAM(SelectArgs, exact_size, kCount, kNone),
     TX_PARAM(SelectArgs, lookback, kCount, kNone), TX_PARAM(SelectArgs, include, kIndexList, kNone),
     TX_PARAM(SelectArgs, min_weight, kReal, 0.0), TX_PARAM(SelectArgs, max_weight, kReal, 1.0)}};

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

// A new Python list of MarketCandidate, in the given (ranked) order.
PyObject* candidate_list(std::vector<geo::MarketCandidate>&& ranked) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ranked.size())));
  if (!list) throw PyErrorSet{};
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    PyObject* item = wrap(candidate_result(std::move(ranked[i])));
    if (item == nullptr) throw PyErrorSet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* py_geo_select(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    SelectArgs a = geo_select_entry.parse(args, kwargs);
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
    const Mat y = mat_from_numpy(a.y);
    set_checked_search_bounds(s, n, a.exact_size.value_or(a.max_treated), a.min_weight, a.max_weight);

    geo::SelectionConfig config;
    config.exact_size = a.exact_size;
    config.power = s;
    config.method = method;
    config.eligible.assign(a.eligible.begin(), a.eligible.end());
    config.include = std::move(include);
    config.max_treated = a.max_treated;
    config.n_candidates = a.n_candidates;
    config.seed = a.seed;
    config.target_lift = a.target_lift;

    std::vector<geo::MarketCandidate> ranked;
    {
      ReleaseGil unlocked;
      ranked = geo::select_markets(y, config);
    }
    return candidate_list(std::move(ranked));
  });
}

}  // namespace

std::vector<PyMethodDef> geo_functions() {
  return {method_def(geo_power_entry.signature(), py_geo_power),
          method_def(geo_power_ensemble_entry.signature(), py_geo_power_ensemble),
          method_def(geo_diagnostics_entry.signature(), py_geo_diagnostics),
          method_def(geo_select_entry.signature(), py_geo_select)};
}

}  // namespace tessarix::bindings
