// Market selection: candidate treated-market sets generated from the eligible markets
// (deterministically where the space is small, by seeded sampling otherwise), each evaluated
// by a power analysis and the design diagnostics, scored and ranked best first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "estimators/sc/registry.hpp"
#include "geo/power.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::geo {

struct SelectionConfig {
  std::optional<std::size_t> exact_size;  // every candidate has exactly this many markets
  PowerSettings power;                    // test_len, min_pre, lookback, alpha, target power, bounds
  const sc::MethodEntry* method = &sc::method_named("sdid");
  std::vector<std::size_t> eligible;
  std::vector<std::size_t> include;       // forced into every candidate
  std::size_t max_treated = 1;
  std::size_t n_candidates = 200;
  std::uint64_t seed = 0;
  double target_lift = 0.1;
};

struct MarketCandidate {
  std::optional<double> mde_pct;
  std::vector<std::size_t> treated;  // ascending, no duplicates
  double power_at_target = 0.0;
  double holdout_pct = 0.0;
  double pre_fit_rel = 0.0;
  double stability_score = 0.0;
  double confidence = 0.0;
  double score = 0.0;
};

// The candidate sets in generation order (each ascending, no two equal).
std::vector<std::vector<std::size_t>> generate_candidates(const SelectionConfig& config);

// The order that ranks candidates of these scores: highest first, NaN scores last, equal
// scores in their given order (stable).
std::vector<std::size_t> rank_order(std::span<const double> scores);

// Sorts by score in rank_order.
void rank_candidates(std::vector<MarketCandidate>& candidates);

// One candidate's power at the target lift, diagnostics and score.
MarketCandidate evaluate(const Mat& y, std::span<const std::size_t> candidate,
                         const SelectionConfig& config);

// The given candidates evaluated in parallel, in their order (not ranked), on the panel's
// canonical scale: a candidate's numbers do not depend on which others are evaluated with it.
std::vector<MarketCandidate> evaluate_candidates(const Mat& y, const std::vector<std::vector<std::size_t>>& candidates,
                                                 const SelectionConfig& config);

// Every candidate evaluated (in parallel) and ranked by score, best first.
std::vector<MarketCandidate> select_markets(const Mat& y, const SelectionConfig& config);

}  // namespace tessarix::geo
