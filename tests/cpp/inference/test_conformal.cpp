#include <algorithm>
#include <cmath>
#include <vector>

#include "inference/conformal.hpp"
#include "testing.hpp"
#include "worker_counts.hpp"

namespace tessarix::inference {
namespace {

std::vector<double> random_residuals(std::size_t t, std::uint64_t seed) {
  const Mat m = testing::random_mat(1, t, seed);
  return {m.data().begin(), m.data().end()};
}

// S of the last n entries, written from its definition.
double statistic_of_tail(const std::vector<double>& u, std::size_t n, double q) {
  double s = 0.0;
  for (std::size_t t = u.size() - n; t < u.size(); ++t) s += std::pow(std::fabs(u[t]), q);
  return std::pow(s / std::sqrt(static_cast<double>(n)), 1.0 / q);
}

// Every member that fits on the outcomes alone (the predictor fit needs predictors beside them).
std::vector<sc::Method> every_member() {
  std::vector<sc::Method> out;
  for (const sc::MethodEntry& e : sc::methods()) {
    if (e.by_name) out.push_back({e.options(sc::SharedSettings{})});
  }
  return out;
}

TEST(ConformalPValue, MovingBlocksRankTheObservedTailAmongAllRotations) {
  for (double q : {1.0, 2.0, 0.5}) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
      const std::vector<double> u = random_residuals(11, seed);
      const std::size_t n = 1 + seed % 4;
      // Each rotation of the series written out, its tail's statistic compared with the real one.
      std::size_t at_least = 0;
      for (std::size_t j = 0; j < u.size(); ++j) {
        std::vector<double> rotated = u;
        std::rotate(rotated.begin(), rotated.begin() + static_cast<std::ptrdiff_t>(j), rotated.end());
        if (statistic_of_tail(rotated, n, q) >= statistic_of_tail(u, n, q)) ++at_least;
      }
      const ConformalOptions block{.q = q};
      EXPECT_EQ(permutation_p_value(u, n, block), static_cast<double>(at_least) / 11.0) << q << " " << seed;
    }
  }
  // A tested residual far beyond every other is rejected at the smallest level the shifts allow.
  std::vector<double> u = random_residuals(10, 3);
  u.back() = 50.0;
  EXPECT_EQ(permutation_p_value(u, 1, {}), 0.1);
}

TEST(ConformalPValue, RandomPermutationsEstimateTheExactRank) {
  // With one tested period every permutation's statistic is one |u_t| drawn uniformly, so the
  // p-value estimates #{t : |u_t| >= |u_T|} / T; the identity is counted besides the draws.
  const std::vector<double> u = random_residuals(15, 8);
  std::size_t at_least = 0;
  for (double v : u) at_least += std::fabs(v) >= std::fabs(u.back()) ? 1 : 0;
  const double exact = static_cast<double>(at_least) / 15.0;
  const ConformalOptions iid{.scheme = PermutationScheme::Iid, .permutations = 40000, .seed = 5};
  const double p = permutation_p_value(u, 1, iid);
  EXPECT_NEAR(p, exact, 4.0 * std::sqrt(exact * (1.0 - exact) / 40000.0));
  EXPECT_NEAR(p * 40001.0, std::round(p * 40001.0), 1e-6);  // a count over the 40001 permutations
  // Draws depend on the seed and the draw's index only: any worker count gives the same bits.
  const ConformalOptions few{.scheme = PermutationScheme::Iid, .permutations = 777, .seed = 2, .q = 2.0};
  const std::vector<double> w = random_residuals(13, 9);
  const double here = permutation_p_value(w, 4, few);
  SKIP_WITHOUT_FORK();
  EXPECT_TRUE(testing::same_with_one_and_three_workers([&] { return permutation_p_value(w, 4, few); }, here));
}

TEST(ConformalNull, AKnownEffectTakenOutLeavesTheUntreatedResiduals) {
  // A panel with an effect path added to its treated units, tested at that path, is the
  // untreated panel to rounding: every member's residuals on all periods must agree.
  const std::size_t t0 = 9, t_count = 13;
  const std::vector<std::size_t> treated{0, 3};
  const Mat clean = testing::random_walks(10, t_count, 21);
  const std::vector<double> effect{1.5, -2.0, 0.25, 4.0};
  Mat shifted = clean;
  for (std::size_t k = 0; k < effect.size(); ++k) {
    for (std::size_t u : treated) shifted(u, t0 + k) += effect[k];
  }
  const Panel a = Panel::block(clean, treated, t0);
  const Panel b = Panel::block(shifted, treated, t0);
  const std::vector<double> zero(effect.size(), 0.0);
  for (const sc::Method& m : every_member()) {
    const std::vector<double> u0 = null_residuals(a, t0, m, zero);
    const std::vector<double> u1 = null_residuals(b, t0, m, effect);
    ASSERT_EQ(u0.size(), t_count) << m.entry().name;
    ASSERT_EQ(u1.size(), t_count) << m.entry().name;
    for (std::size_t t = 0; t < t_count; ++t) EXPECT_NEAR(u0[t], u1[t], 1e-8) << m.entry().name << " " << t;
    // The same p-value for the same residual ranks.
    EXPECT_EQ(permutation_p_value(u0, effect.size(), {}), permutation_p_value(u1, effect.size(), {}));
  }
  // SDID's residuals are taken about its intercept: they sum to zero.
  const std::vector<double> u = null_residuals(a, t0, sc::Method{sc::sdid::SdidOptions{}}, zero);
  double sum = 0.0;
  for (double v : u) sum += v;
  EXPECT_NEAR(sum, 0.0, 1e-10);
  testing::expect_invariant([&] { (void)null_residuals(a, t0, every_member()[0], std::vector<double>{0.0}); },
                            "conformal null: one value per post-period");
}

TEST(ConformalIntervals, EndsSitWhereThePeriodTestTurns) {
  const std::size_t t0 = 14;
  const Panel panel = Panel::block(testing::random_walks(9, 18, 4), std::vector<std::size_t>{2}, t0);
  const ConformalOptions block{};
  const double level = 0.9;
  for (const sc::Method& m : every_member()) {
    const ConformalTest test = conformal_test(panel, m, std::vector<double>(4, 0.0), block, true, level);
    ASSERT_EQ(test.intervals.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
      const EffectInterval e = test.intervals[k];
      ASSERT_TRUE(std::isfinite(e.lower) && std::isfinite(e.upper)) << m.entry().name << " " << k;
      EXPECT_LE(e.lower, e.upper);
      // Accepted at the ends, rejected just beyond them (the bisection's tolerance is 1e-6 of
      // the residual scale, far below 1e-3 here).
      const double step = 1e-3 * (1.0 + e.upper - e.lower);
      EXPECT_GT(period_p_value(panel, m, k, e.lower, block), 1.0 - level) << m.entry().name << " " << k;
      EXPECT_GT(period_p_value(panel, m, k, e.upper, block), 1.0 - level) << m.entry().name << " " << k;
      EXPECT_LE(period_p_value(panel, m, k, e.lower - step, block), 1.0 - level) << m.entry().name << " " << k;
      EXPECT_LE(period_p_value(panel, m, k, e.upper + step, block), 1.0 - level) << m.entry().name << " " << k;
    }
  }
}

TEST(ConformalIntervals, IdenticalForAnyWorkerCount) {
  const Panel panel = Panel::block(testing::random_walks(8, 16, 6), std::vector<std::size_t>{0, 1}, 12);
  const sc::Method m{sc::sdid::SdidOptions{}};
  const ConformalOptions iid{.scheme = PermutationScheme::Iid, .permutations = 300, .seed = 7};
  const auto run = [&] {
    const ConformalTest t = conformal_test(panel, m, std::vector<double>{0.5, 0.0, -0.5, 1.0}, iid, true, 0.8);
    std::vector<double> bits{t.p_value, t.statistic};
    bits.insert(bits.end(), t.residuals.begin(), t.residuals.end());
    for (const EffectInterval& e : t.intervals) bits.insert(bits.end(), {e.lower, e.upper});
    return bits;
  };
  const std::vector<double> here = run();
  ASSERT_EQ(here.size(), 2u + 16u + 8u);
  for (double v : here) ASSERT_TRUE(std::isfinite(v));
  SKIP_WITHOUT_FORK();
  EXPECT_TRUE(testing::same_with_one_and_three_workers(run, here));
}

}  // namespace
}  // namespace tessarix::inference
