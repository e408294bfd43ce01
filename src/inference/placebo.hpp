// In-space placebo inference for the synthetic-control family: refit the estimator once per
// never-treated unit as if it were treated, and compare the real fit's test statistic with
// the placebo statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/ci.hpp"
#include "inference/fit_inference.hpp"

namespace tessarix::inference {

struct PlaceboResult {
  std::vector<double> att_path;       // the real fit's gaps
  std::vector<double> placebo_stats;  // placebo statistics in donor order, NaN removed
  std::vector<double> placebo_atts;   // the matching placebo ATTs
  double att = 0.0;                   // the real fit's ATT
  double stat = 0.0;                  // the real fit's statistic
  double p_value = 1.0;               // (#{placebo >= stat} + 1) / (#placebos + 1)
};

// Placebo test on a single-cohort panel; the refits run in parallel and the result does not
// depend on the number of workers.
PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method);

// The same, given the real fit (method.fit_at on the panel at its treatment time) that the
// caller already has.
PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method, ScFit real);

// The real fit and its placebo test, the real fit running on the pool beside the refits.
struct FitWithPlacebo {
  ScFit fit;
  PlaceboResult placebo;
};
FitWithPlacebo fit_with_placebo(const Panel& panel, const sc::Method& method);

// The inference of a placebo test: nothing when no placebo survived; otherwise its p-value,
// the placebo statistics as the null distribution, the placebo ATTs, and their sample spread
// and percentile interval at `level` shifted by the real ATT (the ATTs, not the statistics,
// are on the outcome scale).
FitInference placebo_inference(const PlaceboResult& placebo, double level);

// The real fit with the inference of its placebo test, as placebo_inference gives it.
InferredFit fit_with_placebo_inference(const Panel& panel, const sc::Method& method, double level);

// One placebo refit's full gap: treated minus synthetic over every period of the placebo
// panel, the refit's pre_gap followed by its att_path.
struct PlaceboPath {
  std::size_t unit = 0;     // the pseudo-treated donor's unit index in the panel
  std::vector<double> gap;  // one entry per period

  friend bool operator==(const PlaceboPath&, const PlaceboPath&) = default;
};

// The gap paths of the refits the placebo test keeps: the same placebo panels and donor order,
// the refits whose statistic is NaN dropped, so that entry i belongs to placebo_atts[i]. On
// the pool, independent of the number of workers.
std::vector<PlaceboPath> placebo_paths(const Panel& panel, const sc::Method& method);

// The real fit and the placebo gap paths, the real fit running on the pool beside the refits.
struct FitWithPlaceboPaths {
  ScFit fit;
  std::vector<PlaceboPath> placebo;
};
FitWithPlaceboPaths fit_with_placebo_paths(const Panel& panel, const sc::Method& method);

// --- Placebo tests with pseudo-treated sets ---------------------------------------------------
//
// With N treated units the estimate averages N units' paths, so its null spread is that of an
// N-unit average, not of one donor's. A set placebo test treats N donors at once in each
// placebo, the real treated units left out, so that the placebo estimates share the real
// estimate's error distribution when units are exchangeable. With one treated unit and the
// sets enumerated it is the per-donor test above, refit for refit.

// The pseudo-treated sets of a set placebo test, as positions into the donor list (each set
// ascending). Every set of `set_size` of `n_donors` donors, in lexicographic order, when there
// are at most `max_sets` of them (`exhaustive`); otherwise `max_sets` sets drawn uniformly at
// random, set r from substream r of `seed` (sets may repeat). None when a set would leave no
// donor to build a control from (set_size >= n_donors) or set_size is 0.
struct PlaceboSets {
  std::vector<std::vector<std::size_t>> sets;
  bool exhaustive = true;
};
PlaceboSets placebo_sets(std::size_t n_donors, std::size_t set_size, std::size_t max_sets, std::uint64_t seed);

// One placebo of a set test.
struct SetPlacebo {
  std::vector<std::size_t> units;  // the pseudo-treated donors' unit indices, ascending
  double stat = 0.0;               // the method's test statistic of the refit
  double att = 0.0;                // the refit's ATT
  std::vector<double> gap;         // treated minus synthetic over every period
};

// The real fit and its set placebo test: the p-value ranks the real statistic among the
// placebo statistics as the per-donor test does; the standard error is the placebo ATTs'
// sample spread and the interval their rank interval around the real ATT at `level`.
struct SetPlaceboTest {
  ScFit fit;
  double stat = 0.0;
  double p_value = 1.0;
  double se = 0.0;  // 0 with fewer than two placebos
  RankInterval interval;
  std::vector<SetPlacebo> placebos;  // the refits with a statistic and an ATT, in set order
  bool exhaustive = true;
};

// The set placebo test of `method` on a single-cohort panel with sets as placebo_sets gives
// them for the panel's donors and treated count; the refits and the real fit run on the pool
// and the result does not depend on the number of workers.
SetPlaceboTest fit_with_set_placebo(const Panel& panel, const sc::Method& method, std::size_t max_sets,
                                    std::uint64_t seed, double level);

}  // namespace tessarix::inference
