// Python entry points of the geo-experiment design library: power analysis for one method or
// an ensemble, design diagnostics, and the search for treated-market sets.
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
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "geo/diagnostics.hpp"
#include "geo/power.hpp"
#include "geo/types.hpp"

namespace tessarix::bindings {
namespace {

// A method name, ASCII case-insensitive ("dsc" is the demeaned variant).
Checked<geo::Method> parse_method(const std::string& name) {
  if (const auto m = geo::method_from_name(name)) return *m;
  return std::unexpected("unknown method '" + name + "' (expected sc/asc/sdid/fp/rsc)");
}

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
  out.method = geo::display_name(r.method);
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
  geo::PowerSettings s;
  s.min_pre = unwrap(check_geo_window(test_len, min_pre, y.shape[1]));
  s.test_len = static_cast<std::size_t>(test_len);
  unwrap(check_lifts(lifts));
  unwrap(check_unit_interval("alpha", alpha));
  unwrap(check_unit_interval("target_power", target_power));
  const auto [lo, hi] = unwrap(check_weight_bounds(y.shape[0] - n_treated, min_weight, max_weight));
  s.min_weight = lo;
  s.max_weight = hi;
  s.alpha = alpha;
  s.target_power = target_power;
  if (lookback) s.lookback = static_cast<std::size_t>(*lookback);
  return s;
}

PyObject* py_geo_power(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PowerArgs a = geo_power_entry.parse(args, kwargs);
    const geo::Method method = unwrap(parse_method(a.method));
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
      r = geo::power_curve(y, treated, a.lifts, method, s);
    }
    return wrap(power_result(r));
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

Checked<std::vector<geo::Method>> parse_members(const std::optional<std::vector<std::string>>& names) {
  if (!names) return std::vector<geo::Method>{geo::Method::Sc, geo::Method::Asc, geo::Method::Sdid};
  if (names->empty()) return std::unexpected(std::string("members must name at least one estimator"));
  std::vector<geo::Method> out;
  for (const std::string& n : *names) {
    const auto m = parse_method(n);
    if (!m) return std::unexpected(m.error());
    out.push_back(*m);
  }
  return out;
}

Checked<void> check_ensemble_weights(const std::vector<double>& w, std::size_t n_members) {
  if (w.size() != n_members) {
    return std::unexpected("weights must have one entry per ensemble member (" + std::to_string(w.size()) +
                           " given, " + std::to_string(n_members) + " members)");
  }
  double sum = 0.0;
  for (double v : w) {
    if (!(std::isfinite(v) && v >= 0.0)) return std::unexpected(std::string("weights must be finite and non-negative"));
    sum += v;
  }
  if (!(sum > 0.0)) return std::unexpected(std::string("weights must sum to > 0"));
  return {};
}

PyObject* py_geo_power_ensemble(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const EnsembleArgs a = geo_power_ensemble_entry.parse(args, kwargs);
    const std::vector<geo::Method> members = unwrap(parse_members(a.members));
    if (a.weights) unwrap(check_ensemble_weights(*a.weights, members.size()));
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
      r = geo::power_curve_ensemble(y, treated, a.lifts, members, a.weights, s);
    }
    return wrap(power_result(r));
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

}  // namespace

std::vector<PyMethodDef> geo_functions() {
  return {method_def(geo_power_entry.signature(), py_geo_power),
          method_def(geo_power_ensemble_entry.signature(), py_geo_power_ensemble),
          method_def(geo_diagnostics_entry.signature(), py_geo_diagnostics)};
}

}  // namespace tessarix::bindings
