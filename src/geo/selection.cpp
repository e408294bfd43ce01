// Market selection: every candidate set evaluated by a power analysis at lifts around the
// target and by the design diagnostics, scored, and ranked best first.
#include "geo/selection.hpp"

#include <array>
#include <cmath>
#include <optional>

#include "estimators/scale.hpp"
#include "geo/diagnostics.hpp"
#include "runtime/parallel.hpp"

namespace tessarix::geo {
namespace {

// A lift within this distance of the target counts as the target on the power curve.
constexpr double kTargetLiftTolerance = 1e-12;

// Power at the target lift counts half on its own and half scaled by the 0-100 design
// confidence; a small bonus (at most 0.05) favours a lower minimum detectable effect.
constexpr double kPowerBaseShare = 0.5;
constexpr double kConfidenceShare = 0.5;
constexpr double kConfidenceScale = 100.0;
constexpr double kMdeBonus = 0.05;

// The lifts of a candidate's power curve: none, half, the target, one and a half, double.
std::array<double, 5> curve_lifts(double target) {
  return {0.0, 0.5 * target, target, 1.5 * target, 2.0 * target};
}

double power_at(const PowerResult& power, double target) {
  for (const PowerPoint& p : power.points) {
    if (std::fabs(p.lift - target) <= kTargetLiftTolerance) return p.power;
  }
  return 0.0;
}

// One candidate evaluated with the search's shared Gram matrices (null: none).
MarketCandidate evaluate_with(const Mat& y, std::span<const std::size_t> candidate,
                              const SelectionConfig& config, const SharedGrams* shared) {
  const std::array<double, 5> lifts = curve_lifts(config.target_lift);
  const PowerResult power = power_curve(y, candidate, lifts, *config.method, config.power, shared);
  const Diagnostics diag = diagnostics(y, candidate, config.power.test_len);

  MarketCandidate out;
  out.mde_pct = power.mde_pct;
  out.treated.assign(candidate.begin(), candidate.end());
  out.power_at_target = power_at(power, config.target_lift);
  out.holdout_pct = diag.holdout_pct;
  out.pre_fit_rel = diag.pre_fit_rel;
  out.stability_score = diag.stability_score;
  out.confidence = diag.confidence;
  const double bonus = power.mde_pct ? kMdeBonus / (*power.mde_pct + 1.0) : 0.0;
  out.score = out.power_at_target * (kPowerBaseShare + diag.confidence * kConfidenceShare / kConfidenceScale) + bonus;
  return out;
}

}  // namespace

MarketCandidate evaluate(const Mat& y, std::span<const std::size_t> candidate,
                         const SelectionConfig& config) {
  return evaluate_with(y, candidate, config, nullptr);
}

std::vector<MarketCandidate> evaluate_candidates(const Mat& outcomes,
                                                 const std::vector<std::vector<std::size_t>>& candidates,
                                                 const SelectionConfig& config) {
  // Every number of a candidate is scale-free: the panel is brought to its canonical scale
  // once here, so that no candidate's power analysis or diagnostics copies it again. The
  // candidates' donor Gram matrices of a window are sub-blocks of one over every market,
  // formed once for them all.
  return on_canonical_scale(outcomes, [&](const Mat& y, int) {
    std::optional<SharedGrams> shared;
    if (candidates.size() > 1) shared.emplace(y, *config.method, config.power);
    const SharedGrams* grams = shared ? &*shared : nullptr;
    return runtime::par_map_indexed(candidates.size(),
                                    [&](std::size_t i) { return evaluate_with(y, candidates[i], config, grams); });
  });
}

std::vector<MarketCandidate> select_markets(const Mat& outcomes, const SelectionConfig& config) {
  std::vector<MarketCandidate> evaluated = evaluate_candidates(outcomes, generate_candidates(config), config);
  rank_candidates(evaluated);
  return evaluated;
}

}  // namespace tessarix::geo
