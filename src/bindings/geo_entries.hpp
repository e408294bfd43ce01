// The geo entry points' arguments, parameter lists, checks and runs, shared by both compiled
// modules: tessarix._tessarix declares geo_power, geo_power_ensemble and geo_select as they
// are; tessarix._core declares the same with a progress callback, and splits the market
// search into candidate generation, evaluation and ranking for a cluster to share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/declare.hpp"
#include "geo/selection.hpp"

namespace tessarix::bindings {

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

template <class R>
std::vector<Param<R>> power_params() {
  return {TX_PARAM(R, y, kPanel), TX_PARAM(R, treated, kIndexList), TX_PARAM(R, test_len, kCount),
          TX_PARAM(R, lifts, kFloatList), TX_PARAM(R, method, kChoice, "sdid"), TX_PARAM(R, alpha, kReal, 0.1),
          TX_PARAM(R, target_power, kReal, 0.8), TX_PARAM(R, min_pre, kCount, 0),
          TX_PARAM(R, lookback, kCount, kNone), TX_PARAM(R, min_weight, kReal, 0.0),
          TX_PARAM(R, max_weight, kReal, 1.0)};
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

template <class R>
std::vector<Param<R>> ensemble_params() {
  return {TX_PARAM(R, y, kPanel), TX_PARAM(R, treated, kIndexList), TX_PARAM(R, test_len, kCount),
          TX_PARAM(R, lifts, kFloatList), TX_PARAM(R, alpha, kReal, 0.1), TX_PARAM(R, target_power, kReal, 0.8),
          TX_PARAM(R, min_pre, kCount, 0), TX_PARAM(R, lookback, kCount, kNone),
          TX_PARAM(R, weights, kFloatList, kNone), TX_PARAM(R, members, kNameList, kNone),
          TX_PARAM(R, min_weight, kReal, 0.0), TX_PARAM(R, max_weight, kReal, 1.0)};
}

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

template <class R>
std::vector<Param<R>> select_params() {
  return {TX_PARAM(R, y, kPanel), TX_PARAM(R, eligible, kIndexList), TX_PARAM(R, max_treated, kCount),
          TX_PARAM(R, test_len, kCount), TX_PARAM(R, target_lift, kReal), TX_PARAM(R, method, kChoice, "sdid"),
          TX_PARAM(R, alpha, kReal, 0.1), TX_PARAM(R, target_power, kReal, 0.8), TX_PARAM(R, min_pre, kCount, 0),
          TX_PARAM(R, n_candidates, kCount, 200), TX_PARAM(R, seed, kCount, 0),
          TX_PARAM(R, exact_size, kCount, kNone), TX_PARAM(R, lookback, kCount, kNone),
          TX_PARAM(R, include, kIndexList, kNone), TX_PARAM(R, min_weight, kReal, 0.0),
          TX_PARAM(R, max_weight, kReal, 1.0)};
}

// The checked panel and configuration of a market search, ready for the library.
struct CheckedSelection {
  Mat y;
  geo::SelectionConfig config;
};

// Every check geo_select makes, in its order and with its messages.
CheckedSelection checked_selection(const SelectArgs& a);

// Checks and runs a power analysis for one method or an ensemble with the interpreter lock
// released, reporting progress to `progress` (null: none); a PowerResult object.
PyObject* run_geo_power(const PowerArgs& a, PyObject* progress);
// The same with `method` (any member, including one callers cannot name) and the markets'
// predictors (null: none) for every window's panel; method is not checked by name.
PyObject* run_power_analysis_with(const PowerArgs& a, PyObject* progress, const Mat* predictors,
                                  const sc::MethodEntry& method);
PyObject* run_geo_power_ensemble(const EnsembleArgs& a, PyObject* progress);

// Checks and runs the market search the same way; a list of MarketCandidate, best first.
PyObject* run_geo_select(const SelectArgs& a, PyObject* progress);

// A new Python list of MarketCandidate objects, in the given order.
PyObject* candidate_list(std::vector<geo::MarketCandidate>&& candidates);

}  // namespace tessarix::bindings
