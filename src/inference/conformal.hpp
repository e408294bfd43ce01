// Conformal inference for the synthetic-control family (Chernozhukov, Wuthrich and Zhu): under a
// hypothesised effect path the treated path less that path is untreated in every period, so the
// member refitted on all periods leaves residuals that are exchangeable over time under the
// null. The post-periods' residuals are ranked against their images under permutations of the
// time index (cyclic shifts, or random permutations), giving an exact p-value; inverting the
// test period by period gives pointwise intervals for the effects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/registry.hpp"

namespace tessarix::inference {

// How the time index is permuted: the T cyclic shifts (moving blocks, which keep serial
// dependence within blocks; exact and deterministic), or uniformly random permutations
// (valid under exchangeable residuals), drawn under a seed.
enum class PermutationScheme { MovingBlock, Iid };

struct ConformalOptions {
  PermutationScheme scheme = PermutationScheme::MovingBlock;
  std::size_t permutations = 999;  // random permutations drawn (Iid), the identity besides them
  std::uint64_t seed = 0;
  double q = 1.0;                  // exponent of the statistic, > 0
};

// S(u) = (n^{-1/2} sum_t |u_t|^q)^{1/q} over the n tested residuals u.
double conformal_statistic(std::span<const double> tested, double q);

// The permutation p-value of residuals over every period whose last n_tested are under test:
// the share of permutations pi (the identity among them) with S(u_pi) >= S(u). Moving blocks:
// the T cyclic shifts. Iid: the identity and `permutations` random permutations, draw b from
// substream b of the seed, so the p-value is valid at any number of draws. S sums the tested
// periods in time order, so a permutation that maps them onto themselves ties the identity.
// The draws run on the pool; the result does not depend on the number of workers.
double permutation_p_value(std::span<const double> residuals, std::size_t n_tested,
                           const ConformalOptions& options);

// The residuals over every period of `method` refitted on the block panel's treated units less
// `theta` (one value per post-period of t0) from t0 on: pre_gap of Method::fit_all.
std::vector<double> null_residuals(const Panel& panel, std::size_t t0, const sc::Method& method,
                                   std::span<const double> theta);

// A pointwise interval for one post-period's effect; an end is infinite where the test never
// rejects that far out, both NaN where it rejects every value tried.
struct EffectInterval {
  double lower = 0.0;
  double upper = 0.0;
};

// The fit, the test of the null path `theta` and, when asked, every post-period's interval.
struct ConformalTest {
  ScFit fit;                       // the member's ordinary fit at t0
  std::vector<double> residuals;   // under the null, over every period
  double statistic = 0.0;          // S of the post-period residuals
  double p_value = 1.0;
  std::vector<EffectInterval> intervals;  // one per post-period; empty unless asked
};

// The conformal test of `theta` on a single-cohort block panel (t0 its treatment time), and
// with `intervals` the interval of each post-period's effect at `level`: the values whose test
// on the pre-periods and that period alone has p > 1 - level. The periods, the grid points of
// each and the permutations run on the pool; the result does not depend on the number of
// workers.
ConformalTest conformal_test(const Panel& panel, const sc::Method& method, std::span<const double> theta,
                             const ConformalOptions& options, bool intervals, double level);

// The p-value of a null value `theta_k` for the effect of post-period k alone: the test on the
// panel of the pre-periods and period k. What the intervals invert.
double period_p_value(const Panel& panel, const sc::Method& method, std::size_t k, double theta_k,
                      const ConformalOptions& options);

}  // namespace tessarix::inference
