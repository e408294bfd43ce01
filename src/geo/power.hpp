// Power analysis by historical placebo: slide a test window over the past, pretend the
// treated markets were treated in it, inject a known multiplicative lift, re-estimate, and
// count how often the estimate clears the threshold set by the no-lift estimates. For one
// member of the synthetic-control registry or a weighted ensemble of members. Powers, relative
// estimates and weights do not depend on the panel's scale; numbers in outcome units scale
// with it (exactly for power-of-two multiples).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/registry.hpp"
#include "geo/types.hpp"

namespace tessarix::geo {

// Periods [0, e) of y as a block panel treated from s, the treated markets' values in [s, e)
// multiplied by 1 + lift (unchanged for lift 0); with `predictors` (one row per market), the
// panel carries them as its covariates.
Panel injected_subpanel(const Mat& y, std::span<const std::size_t> treated, std::size_t s,
                        std::size_t e, double lift, const Mat* predictors = nullptr);

// Negative and NaN entries to 0, then divided by their sum; 1/n each when that sum is not
// positive; empty stays empty.
std::vector<double> normalize_weights(std::span<const double> w);

// The settings shared by both power analyses.
struct PowerSettings {
  std::size_t test_len = 1;
  std::size_t min_pre = 0;               // windows start at max(min_pre, 1) or later
  std::optional<std::size_t> lookback;   // keep only the most recent windows
  double alpha = 0.1;
  double target_power = 0.8;
  double min_weight = 0.0;
  double max_weight = 1.0;
  // The markets' predictors (one row per market, fixed over the windows: market attributes
  // such as population), which every window's panel carries for the predictor fit; none for
  // the members that match on outcomes alone. Not owned: it outlives the analysis.
  const Mat* predictors = nullptr;
};

// The member as every window of an analysis fits it: its shared options with these bounds.
sc::Method windowed_method(const sc::MethodEntry& member, const PowerSettings& settings);

PowerResult power_curve(const Mat& y, std::span<const std::size_t> treated,
                        std::span<const double> lifts, const sc::MethodEntry& method,
                        const PowerSettings& settings);

// What the power analyses of many candidate sets on one panel share: for every placebo window,
// the Gram over its pre-periods of every market, at the window's canonical scale, of which a
// candidate's donor Gram is the sub-block at its donors (for SDID the markets' pre-period
// columns centred on their means, for SC as they are). Each is formed on first use, by the
// first analysis that needs it, while any other waits for it. None for the other members, or
// when the Gram matrices of all windows would take more than kSharedGramBudget bytes: each fit
// then forms its own, as it does without sharing, with the same results.
class SharedGrams {
public:
  static constexpr std::size_t kSharedGramBudget = std::size_t{1} << 29;

  // y at its canonical scale, as the analyses get it; y and method must outlive this.
  SharedGrams(const Mat& y, const sc::MethodEntry& method, const PowerSettings& settings);

  // The Gram of the window whose test periods start at `start`, or null when there is none.
  const Mat* at(std::size_t start) const;

private:
  enum class Kind { None, Centred, Plain };
  const Mat& y_;
  Kind kind_ = Kind::None;
  std::size_t test_len_ = 1;
  std::size_t first_ = 0;  // the first window's start
  std::size_t count_ = 0;  // number of windows
  std::unique_ptr<std::once_flag[]> once_;
  std::unique_ptr<Mat[]> grams_;
};

// power_curve with the Gram matrices of `shared` (null: none), with the same results.
PowerResult power_curve(const Mat& y, std::span<const std::size_t> treated,
                        std::span<const double> lifts, const sc::MethodEntry& method,
                        const PowerSettings& settings, const SharedGrams* shared);

// members: at least one; weights: one per member, or none for inverse-variance weights from the
// members' null spreads.
PowerResult power_curve_ensemble(const Mat& y, std::span<const std::size_t> treated,
                                 std::span<const double> lifts,
                                 std::span<const sc::MethodEntry* const> members,
                                 std::optional<std::vector<double>> weights,
                                 const PowerSettings& settings);

// The placebo windows of a power analysis: each window's first test period and its estimate
// without lift (for an ensemble, the members' estimates combined with `weights`), exactly as
// the power curves compute them. The threshold of a curve is the interpolated 1 - alpha
// quantile of |null_att|, and se_null the sample deviation of null_att.
struct PowerWindows {
  std::vector<std::size_t> starts;
  std::vector<double> null_att;
  std::optional<std::vector<double>> weights;  // ensembles only: the normalised member weights
};

PowerWindows power_windows(const Mat& y, std::span<const std::size_t> treated,
                           const sc::MethodEntry& method, const PowerSettings& settings);

// members and weights as in power_curve_ensemble.
PowerWindows power_windows_ensemble(const Mat& y, std::span<const std::size_t> treated,
                                    std::span<const sc::MethodEntry* const> members,
                                    std::optional<std::vector<double>> weights,
                                    const PowerSettings& settings);

}  // namespace tessarix::geo
