// Python entry points for geo-experiment design: power analysis, design diagnostics and the
// search for treated-market sets.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "geo/selection.hpp"

namespace tessarix::bindings {
namespace {

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
    const geo::Method method = unwrap(check_method(a.method));
    const auto [n, t] = unwrap(check_panel(a.y));
    const std::size_t pre = unwrap(check_geo_window(a.test_len, a.min_pre, t));
    unwrap(check_unit_interval("alpha", a.alpha));
    unwrap(check_unit_interval("target_power", a.target_power));
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
    // The largest treated set leaves the fewest donors, which bounds max_weight; a single
    // treated market leaves the most, which bounds min_weight.
    const std::uint64_t largest = a.exact_size.value_or(a.max_treated);
    const std::size_t fewest_donors = largest < n ? n - largest : 0;
    unwrap(check_weight_bounds(fewest_donors, 0.0, a.max_weight));
    unwrap(check_weight_bounds(n - 1, a.min_weight, a.max_weight));

    geo::SelectionConfig config;
    config.exact_size = a.exact_size;
    config.power.test_len = a.test_len;
    config.power.min_pre = pre;
    config.power.lookback = a.lookback;
    config.power.alpha = a.alpha;
    config.power.target_power = a.target_power;
    config.power.min_weight = a.min_weight;
    config.power.max_weight = a.max_weight;
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
  return {method_def(geo_select_entry.signature(), py_geo_select)};
}

}  // namespace tessarix::bindings
