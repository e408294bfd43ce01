// The power analysis's placebo windows for tessarix._core: each window's first test period
// and its no-lift estimate, from which geo_power and geo_power_ensemble draw their detection
// threshold and null spread.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/core_api.hpp"
#include "bindings/core_sc_dicts.hpp"
#include "bindings/declare.hpp"
#include "bindings/geo_args.hpp"
#include "bindings/geo_entries.hpp"
#include "bindings/progress.hpp"
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
  std::optional<ArrayView2> predictors;
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
    "quantile of |null_att| and its `se_null` the sample deviation of `null_att`.\n"
    "`predictors` as `geo_power` takes them (method \"sc\", no ensemble).",
    {TX_PARAM(GeoWindowsArgs, y, kPanel), TX_PARAM(GeoWindowsArgs, treated, kIndexList),
     TX_PARAM(GeoWindowsArgs, test_len, kCount), TX_PARAM(GeoWindowsArgs, method, kChoice, "sdid"),
     TX_PARAM(GeoWindowsArgs, min_pre, kCount, 0), TX_PARAM(GeoWindowsArgs, lookback, kCount, kNone),
     TX_PARAM(GeoWindowsArgs, min_weight, kReal, 0.0), TX_PARAM(GeoWindowsArgs, max_weight, kReal, 1.0),
     TX_PARAM(GeoWindowsArgs, members, kNameList, kNone), TX_PARAM(GeoWindowsArgs, weights, kFloatList, kNone),
     TX_PARAM(GeoWindowsArgs, predictors, kPanel, kNone)}};

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
    const sc::MethodEntry* method = unwrap(check_method(a.method));
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
    std::optional<Mat> predictors;
    if (a.predictors) {
      if (members || a.method != "sc") {
        throw UserError{"predictors are matched by the synthetic control: method must be 'sc', without members"};
      }
      validate_predictors(*a.predictors, a.y.shape[0]);
      predictors = mat_from_numpy(*a.predictors);
      s.predictors = &*predictors;
      method = &sc::method_named("scp");
    }
    const Mat y = mat_from_numpy(a.y);
    const std::vector<std::size_t> treated(a.treated.begin(), a.treated.end());
    geo::PowerWindows windows;
    {
      ReleaseGil unlocked;
      windows = members ? geo::power_windows_ensemble(y, treated, *members, a.weights, s)
                        : geo::power_windows(y, treated, *method, s);
    }
    return windows_dict(std::move(windows));
  });
}

// --- the power analyses and the market search, with progress -------------------------------

struct PowerProgressArgs : PowerArgs {
  PyObject* progress = nullptr;
  std::optional<ArrayView2> predictors;
};
struct EnsembleProgressArgs : EnsembleArgs {
  PyObject* progress = nullptr;
};
struct SelectProgressArgs : SelectArgs {
  PyObject* progress = nullptr;
};

const EntryPoint<PowerProgressArgs> core_power_entry{
    "geo_power",
    "`tessarix.geo_power` (same arguments, checks and result), reporting its progress\n"
    "to `progress(done, total)`: the placebo windows fitted so far and in all.\n"
    "\n"
    "With `predictors` (an N x k float64 matrix, one row per market: market attributes\n"
    "fixed over the windows) and method \"sc\", every window is fitted by the synthetic\n"
    "control matched on those predictors, V chosen by its nested search on the\n"
    "window's pre-periods (see `fit_sc_predictors`); the weight bounds stay at 0 and 1.",
    join<PowerProgressArgs>({power_params<PowerProgressArgs>(),
                             {progress_param<PowerProgressArgs>(), TX_PARAM(PowerProgressArgs, predictors, kPanel, kNone)}})};

const EntryPoint<EnsembleProgressArgs> core_ensemble_entry{
    "geo_power_ensemble",
    "`tessarix.geo_power_ensemble` (same arguments, checks and result), reporting its\n"
    "progress to `progress(done, total)`: the member fits of the placebo windows.",
    join<EnsembleProgressArgs>({ensemble_params<EnsembleProgressArgs>(), {progress_param<EnsembleProgressArgs>()}})};

const EntryPoint<SelectProgressArgs> core_select_entry{
    "geo_select",
    "`tessarix.geo_select` (same arguments, checks and result), reporting its progress\n"
    "to `progress(done, total)`: the candidate sets evaluated so far and in all.",
    join<SelectProgressArgs>({select_params<SelectProgressArgs>(), {progress_param<SelectProgressArgs>()}})};

// The power analysis of the synthetic control matched on the markets' predictors.
PyObject* run_predictor_power(const PowerProgressArgs& a, const ArrayView2& predictors) {
  if (a.method != "sc") {
    throw UserError{"predictors are matched by the synthetic control: method must be 'sc'; got '" + a.method + "'"};
  }
  if (a.min_weight != 0.0 || a.max_weight != 1.0) {
    throw UserError{"the fit on predictors takes no weight bounds: leave min_weight at 0 and max_weight at 1"};
  }
  unwrap(check_panel(a.y));
  validate_predictors(predictors, a.y.shape[0]);
  const Mat x = mat_from_numpy(predictors);
  return run_power_analysis_with(a, a.progress, &x, sc::method_named("scp"));
}

PyObject* py_core_power(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PowerProgressArgs a = core_power_entry.parse(args, kwargs);
    if (a.predictors) return run_predictor_power(a, *a.predictors);
    return run_geo_power(a, a.progress);
  });
}

PyObject* py_core_ensemble(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const EnsembleProgressArgs a = core_ensemble_entry.parse(args, kwargs);
    return run_geo_power_ensemble(a, a.progress);
  });
}

PyObject* py_core_select(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const SelectProgressArgs a = core_select_entry.parse(args, kwargs);
    return run_geo_select(a, a.progress);
  });
}

// --- the market search in three steps, for a cluster to share -------------------------------

const EntryPoint<SelectArgs> candidates_entry{
    "geo_candidates",
    "The candidate sets `tessarix.geo_select` evaluates for these arguments (same checks),\n"
    "in its generation order: a list of lists of market indices, each ascending.",
    select_params<SelectArgs>()};

PyObject* py_geo_candidates(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const CheckedSelection c = checked_selection(candidates_entry.parse(args, kwargs));
    const std::vector<std::vector<std::size_t>> sets = geo::generate_candidates(c.config);
    return new_list(sets.size(), [&](std::size_t i) {
      return new_list(sets[i].size(), [&](std::size_t k) { return PyLong_FromSize_t(sets[i][k]); });
    });
  });
}

struct EvaluateArgs : SelectArgs {
  std::vector<std::vector<std::uint64_t>> candidates;
  PyObject* progress = nullptr;
};

// A list (or tuple) of index lists.
std::vector<std::vector<std::uint64_t>> to_index_lists(PyObject* obj, const char* name) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a list of index lists", name);
    throw PyErrorSet{};
  }
  PyRef seq(PySequence_Tuple(obj));
  if (!seq) throw PyErrorSet{};
  std::vector<std::vector<std::uint64_t>> out;
  for (Py_ssize_t k = 0; k < PyTuple_Size(seq.get()); ++k) out.push_back(to_index_list(PyTuple_GetItem(seq.get(), k), name));
  return out;
}
constexpr Kind<std::vector<std::vector<std::uint64_t>>> kIndexLists{to_index_lists};

const EntryPoint<EvaluateArgs> evaluate_entry{
    "geo_evaluate",
    "Evaluates the given candidate sets as `tessarix.geo_select` evaluates each (same\n"
    "arguments and checks; every set must leave a control market), in their order, not\n"
    "ranked: a list of MarketCandidate. A candidate's numbers do not depend on the others\n"
    "evaluated with it, so sets split over several calls give `geo_select`'s numbers.",
    join<EvaluateArgs>({select_params<EvaluateArgs>(),
                        {TX_PARAM(EvaluateArgs, candidates, kIndexLists, kEmptyList), progress_param<EvaluateArgs>()}})};

PyObject* py_geo_evaluate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const EvaluateArgs a = evaluate_entry.parse(args, kwargs);
    const CheckedSelection c = checked_selection(a);
    std::vector<std::vector<std::size_t>> sets;
    for (const std::vector<std::uint64_t>& given : a.candidates) {
      unwrap(check_indices("candidates", given, c.y.rows()));
      std::vector<std::size_t> set(given.begin(), given.end());
      std::sort(set.begin(), set.end());
      set.erase(std::unique(set.begin(), set.end()), set.end());
      if (set.empty() || set.size() >= c.y.rows()) {
        throw UserError{"candidates: every set must name at least one market and leave one as a control"};
      }
      sets.push_back(std::move(set));
    }
    std::vector<geo::MarketCandidate> evaluated;
    {
      ReleaseGil unlocked;
      ProgressReport report(a.progress, unlocked.state());
      evaluated = geo::evaluate_candidates(c.y, sets, c.config);
    }
    return candidate_list(std::move(evaluated));
  });
}

const Signature rank_signature{"geo_rank", "The MarketCandidate objects of `candidates` ranked as `tessarix.geo_select`\n"
                                           "ranks them: by score, highest first, NaN last, ties in their given order.",
                               {{"candidates", ""}}};

PyObject* py_geo_rank(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* given = rank_signature.bind(args, kwargs)[0];
    if (!PyList_Check(given) && !PyTuple_Check(given)) {
      PyErr_SetString(PyExc_TypeError, "argument 'candidates': expected a list of MarketCandidate");
      throw PyErrorSet{};
    }
    PyRef seq(PySequence_Tuple(given));
    if (!seq) throw PyErrorSet{};
    const Py_ssize_t n = PyTuple_Size(seq.get());
    std::vector<double> scores(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
      PyObject* item = PyTuple_GetItem(seq.get(), k);  // borrowed
      PyRef score(PyObject_GetAttrString(item, "score"));
      if (!score) {
        // An item without a score is no candidate: the argument has the wrong type.
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
          PyErr_Clear();
          const std::string got = describe_object(item);
          PyErr_Format(PyExc_TypeError, "argument 'candidates': expected a list of MarketCandidate, got an item of type %s",
                       got.c_str());
        }
        throw PyErrorSet{};
      }
      scores[static_cast<std::size_t>(k)] = to_real(score.get(), "candidates");
    }
    const std::vector<std::size_t> order = geo::rank_order(scores);
    return new_list(order.size(), [&](std::size_t r) {
      return Py_NewRef(PyTuple_GetItem(seq.get(), static_cast<Py_ssize_t>(order[r])));  // the item is borrowed
    });
  });
}

}  // namespace

std::vector<PyMethodDef> core_geo_functions() {
  return {method_def(geo_windows_entry.signature(), py_geo_windows),
          method_def(core_power_entry.signature(), py_core_power),
          method_def(core_ensemble_entry.signature(), py_core_ensemble),
          method_def(core_select_entry.signature(), py_core_select),
          method_def(candidates_entry.signature(), py_geo_candidates),
          method_def(evaluate_entry.signature(), py_geo_evaluate),
          method_def(rank_signature, py_geo_rank)};
}

}  // namespace tessarix::bindings
