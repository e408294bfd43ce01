// The power analysis's placebo windows for tessarix._core: each window's first test period
// and its no-lift estimate, from which geo_power and geo_power_ensemble draw their detection
// threshold and null spread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/core_api.hpp"
#include "bindings/declare.hpp"
#include "bindings/geo_args.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pydict.hpp"
#include "bindings/validate.hpp"
#include "geo/power.hpp"

namespace tessarix::bindings {
namespace {

struct GeoWindowsArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t test_len = 0;
  std::string method;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  double min_weight = 0.0;
  double max_weight = 1.0;
  std::optional<std::vector<std::string>> members;
  std::optional<std::vector<double>> weights;
};

const EntryPoint<GeoWindowsArgs> geo_windows_entry{
    "geo_windows",
    "The placebo windows of a power analysis (`geo_power`, or `geo_power_ensemble`\n"
    "when `members` is given), with the same window, method and weight settings and\n"
    "checks.\n"
    "\n"
    "Returns a dict: `starts` (int64, each window's first test period) and `null_att`\n"
    "(float64, each window's estimate without lift; for an ensemble the members'\n"
    "estimates combined), and for an ensemble `weights` (float64, the normalised\n"
    "member weights). The power analysis's `crit` is the interpolated 1 - alpha\n"
    "quantile of |null_att| and its `se_null` the sample deviation of `null_att`.",
    {TX_PARAM(GeoWindowsArgs, y, kPanel), TX_PARAM(GeoWindowsArgs, treated, kIndexList),
     TX_PARAM(GeoWindowsArgs, test_len, kCount), TX_PARAM(GeoWindowsArgs, method, kChoice, "sdid"),
     TX_PARAM(GeoWindowsArgs, min_pre, kCount, 0), TX_PARAM(GeoWindowsArgs, lookback, kCount, kNone),
     TX_PARAM(GeoWindowsArgs, min_weight, kReal, 0.0), TX_PARAM(GeoWindowsArgs, max_weight, kReal, 1.0),
     TX_PARAM(GeoWindowsArgs, members, kNameList, kNone), TX_PARAM(GeoWindowsArgs, weights, kFloatList, kNone)}};

PyObject* windows_dict(geo::PowerWindows&& w) {
  std::vector<std::int64_t> starts(w.starts.begin(), w.starts.end());
  DictBuilder d;
  d.set("starts", int64_array_from(std::move(starts))).set("null_att", float64_array_from(std::move(w.null_att)));
  if (w.weights) d.set("weights", float64_array_from(std::move(*w.weights)));
  return d.release();
}

PyObject* py_geo_windows(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const GeoWindowsArgs a = geo_windows_entry.parse(args, kwargs);
    // The method is examined first, as geo_power examines it; an ensemble then takes
    // geo_power_ensemble's member and weight checks.
    const sc::MethodEntry& method = *unwrap(check_method(a.method));
    unwrap(check_weights_have_members(a.members.has_value(), a.weights.has_value()));
    std::optional<std::vector<const sc::MethodEntry*>> members;
    if (a.members) {
      members = unwrap(check_members(a.members));
      if (a.weights) unwrap(check_ensemble_weights(*a.weights, members->size()));
    }
    unwrap(check_panel(a.y));
    unwrap(check_treated(a.treated, a.y.shape[0]));
    geo::PowerSettings s = checked_window(a.y, a.test_len, a.min_pre, a.lookback);
    set_checked_bounds(s, a.y, a.treated.size(), a.min_weight, a.max_weight);
    const Mat y = mat_from_numpy(a.y);
    const std::vector<std::size_t> treated(a.treated.begin(), a.treated.end());
    geo::PowerWindows windows;
    {
      ReleaseGil unlocked;
      windows = members ? geo::power_windows_ensemble(y, treated, *members, a.weights, s)
                        : geo::power_windows(y, treated, method, s);
    }
    return windows_dict(std::move(windows));
  });
}

}  // namespace

std::vector<PyMethodDef> core_geo_functions() {
  return {method_def(geo_windows_entry.signature(), py_geo_windows)};
}

}  // namespace tessarix::bindings
