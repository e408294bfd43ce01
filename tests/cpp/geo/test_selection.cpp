// Candidate generation and ranking of the market search, against a literal re-implementation
// of the sampling procedure (plain loops, its own shuffle, a linear search for repeats and no
// early stop), and the invariants of the enumerated cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "geo/selection.hpp"
#include "linalg/rng.hpp"
#include "testing.hpp"

namespace tessarix::geo {
namespace {

using Set = std::vector<std::size_t>;

SelectionConfig config(std::vector<std::size_t> eligible, std::vector<std::size_t> include,
                       std::optional<std::size_t> exact_size, std::size_t max_treated,
                       std::size_t n_candidates, std::uint64_t seed) {
  SelectionConfig c;
  c.eligible = std::move(eligible);
  c.include = std::move(include);
  c.exact_size = exact_size;
  c.max_treated = max_treated;
  c.n_candidates = n_candidates;
  c.seed = seed;
  return c;
}

std::vector<std::size_t> range(std::size_t n) {
  std::vector<std::size_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

// The generation procedure written out step by step, running every attempt it is allowed.
std::vector<Set> reference_candidates(const SelectionConfig& c) {
  Set include = c.include;
  std::sort(include.begin(), include.end());
  include.erase(std::unique(include.begin(), include.end()), include.end());
  Set pool;
  for (std::size_t m : c.eligible) {
    bool forced = std::find(include.begin(), include.end(), m) != include.end();
    bool listed = std::find(pool.begin(), pool.end(), m) != pool.end();
    if (!forced && !listed) pool.push_back(m);
  }
  std::sort(pool.begin(), pool.end());

  std::vector<Set> out;
  auto add = [&](Set s) {
    std::sort(s.begin(), s.end());
    if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
  };
  linalg::Xoshiro256pp rng(c.seed);
  auto draw = [&](std::size_t k) {
    Set p = pool;
    for (std::size_t m = p.size(); m >= 2; --m) {
      std::size_t j = rng.gen_range(m);
      std::swap(p[m - 1], p[j]);
    }
    Set s = include;
    for (std::size_t i = 0; i < k && i < p.size(); ++i) s.push_back(p[i]);
    std::sort(s.begin(), s.end());
    return s;
  };
  const std::size_t n_inc = include.size();
  if (c.exact_size) {
    const std::size_t size = std::max<std::size_t>(*c.exact_size, 1);
    if (size < n_inc) return out;
    const std::size_t k = size - n_inc;
    if (k == 0) {
      add(include);
    } else if (k == 1) {
      for (std::size_t p : pool) {
        Set s = include;
        s.push_back(p);
        add(s);
      }
    } else {
      for (std::size_t a = 0; a < 40 * c.n_candidates && out.size() < c.n_candidates; ++a) {
        Set s = draw(k);
        if (s.size() == size) add(s);
      }
    }
    return out;
  }
  const std::size_t extra = n_inc >= c.max_treated ? 0 : c.max_treated - n_inc;
  if (n_inc > 0) add(include);
  if (n_inc < c.max_treated) {
    for (std::size_t p : pool) {
      Set s = include;
      s.push_back(p);
      add(s);
    }
  }
  if (extra > 1 && pool.size() > 1 && out.size() < c.n_candidates) {
    for (std::size_t a = 0; a < 20 * c.n_candidates && out.size() < c.n_candidates; ++a) {
      std::size_t k = rng.gen_range(extra - 1) + 2;
      add(draw(k));
    }
  }
  return out;
}

TEST(Candidates, MatchALiteralReimplementationOfTheSampling) {
  const std::vector<SelectionConfig> configs{
      config(range(10), {}, 3, 1, 20, 7),                         // fixed size, sampled
      config({11, 0, 3, 5, 5, 8, 2, 9, 7, 4}, {5, 2, 5}, 4, 1, 30, 1),  // include overlaps eligible
      config(range(8), {}, std::nullopt, 4, 25, 3),               // sizes 1..4
      config({9, 1, 4, 6, 12, 3, 15, 2}, {6}, std::nullopt, 5, 40, 11),
      config(range(5), {}, 2, 1, 100, 5),                         // all 10 pairs found early
      config(range(5), {}, std::nullopt, 3, 100, 2),              // every set of 1..3 found
      config(range(4), {0}, std::nullopt, 9, 100, 4),             // sizes beyond the pool
      config(range(3), {}, 5, 1, 50, 6),                          // pool smaller than the size
      config(range(12), {1, 2}, std::nullopt, 2, 5, 8),           // enumeration only, past n
  };
  for (std::size_t i = 0; i < configs.size(); ++i) {
    EXPECT_EQ(generate_candidates(configs[i]), reference_candidates(configs[i])) << "config " << i;
  }
}

TEST(Candidates, EveryCandidateHoldsTheIncludeSetAndOnlyEligibleMarkets) {
  const SelectionConfig c = config({3, 14, 7, 7, 0, 9, 21, 5}, {9, 2}, std::nullopt, 5, 30, 99);
  const std::vector<Set> sets = generate_candidates(c);
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), (Set{2, 9}));
  for (const Set& s : sets) {
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
    EXPECT_EQ(std::adjacent_find(s.begin(), s.end()), s.end());
    EXPECT_TRUE(std::includes(s.begin(), s.end(), sets.front().begin(), sets.front().end()));
    EXPECT_LE(s.size(), 5u);
    for (std::size_t m : s) {
      const bool allowed = m == 2 || std::find(c.eligible.begin(), c.eligible.end(), m) != c.eligible.end();
      EXPECT_TRUE(allowed) << m;
    }
  }
}

TEST(Candidates, EnumeratedCasesIgnoreTheSeed) {
  // exact_size = |include|: the include set alone.
  for (std::uint64_t seed : {0u, 1u, 2u}) {
    EXPECT_EQ(generate_candidates(config(range(6), {4, 1}, 2, 1, 50, seed)), (std::vector<Set>{{1, 4}}));
  }
  // exact_size = |include| + 1: one candidate per pool market, ascending, no draw made.
  const std::vector<Set> expected{{0, 3}, {2, 3}, {3, 5}, {3, 8}};
  for (std::uint64_t seed : {0u, 17u, 123456789u}) {
    EXPECT_EQ(generate_candidates(config({8, 3, 0, 5, 2, 0}, {3}, 2, 1, 1, seed)), expected);
  }
  // max_treated = |include| + 1 without exact_size: the include set and its extensions.
  const std::vector<Set> extended{{3}, {0, 3}, {2, 3}, {3, 5}, {3, 8}};
  for (std::uint64_t seed : {0u, 5u}) {
    EXPECT_EQ(generate_candidates(config({8, 3, 0, 5, 2}, {3}, std::nullopt, 2, 100, seed)), extended);
  }
}

TEST(Candidates, TheSeedFixesTheSampledSets) {
  const SelectionConfig a = config(range(15), {}, 4, 1, 30, 42);
  SelectionConfig b = a;
  b.seed = 43;
  EXPECT_EQ(generate_candidates(a), generate_candidates(a));
  EXPECT_NE(generate_candidates(a), generate_candidates(b));
}

TEST(Candidates, SamplingStopsOnceEverySetIsFound) {
  // The attempt budgets here (40 and 20 times 10^12) would never run out: these return only
  // because no new set can exist.
  constexpr std::size_t kHuge = 1'000'000'000'000;
  // A count this large also saturates the attempt budget.
  std::vector<Set> pairs = generate_candidates(
      config(range(5), {}, 2, 1, std::numeric_limits<std::size_t>::max(), 0));
  ASSERT_EQ(pairs.size(), 10u);
  std::sort(pairs.begin(), pairs.end());
  EXPECT_EQ(std::adjacent_find(pairs.begin(), pairs.end()), pairs.end());

  EXPECT_TRUE(generate_candidates(config(range(3), {}, 5, 1, kHuge, 0)).empty());
  // Include {7} plus 0..4 pool markets, up to 6 markets: 1 + 5 + 10 + 10 + 5 + 1 sets.
  EXPECT_EQ(generate_candidates(config({0, 1, 2, 3, 4, 7}, {7}, std::nullopt, 6, kHuge, 1)).size(), 32u);
  // Drawn sizes beyond the pool take all of it: include {9}, 4 extensions, 6 + 4 + 1 sampled.
  EXPECT_EQ(generate_candidates(config(range(4), {9}, std::nullopt, 20, kHuge, 3)).size(), 16u);
}

TEST(Ranking, StableByScoreWithNaNLast) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> scores{0.5, nan, 0.9, 0.5, -nan, inf, 0.9, -inf, 0.0, -0.0};
  std::vector<MarketCandidate> c(scores.size());
  for (std::size_t i = 0; i < scores.size(); ++i) {
    c[i].score = scores[i];
    c[i].treated = {i};
  }
  rank_candidates(c);
  std::vector<std::size_t> order;
  for (const MarketCandidate& m : c) order.push_back(m.treated[0]);
  EXPECT_EQ(order, (std::vector<std::size_t>{5, 2, 6, 0, 3, 8, 9, 7, 1, 4}));
}

// A panel at its canonical scale (largest value in [1, 2)) that grows over time, so that the
// placebo windows, each holding only the periods up to its test's end, fall into several
// canonical scales of their own (largest values in [0.25, 0.5), [0.5, 1) and [1, 2)).
Mat growing_panel(std::size_t n, std::size_t t, std::uint64_t seed) {
  Mat y = testing::random_walks(n, t, seed, 5.0, 0.1);
  double top = 0.0;
  for (std::size_t u = 0; u < n; ++u)
    for (std::size_t k = 0; k < t; ++k) {
      y(u, k) *= 0.3 + 1.2 * double(k) / double(t - 1);
      top = std::fmax(top, std::fabs(y(u, k)));
    }
  for (double& v : y.data()) v *= 1.5 / top;
  return y;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The search's Gram matrices, shared by all candidates as sub-blocks, against each candidate
// evaluated on its own, which forms its own: the same bits in every number.
TEST(Search, SharedGramsGiveEachCandidateItsOwnNumbers) {
  const Mat y = growing_panel(12, 26, 17);
  for (const char* name : {"sdid", "sc", "asc"}) {
    for (const std::optional<std::size_t> lookback : {std::optional<std::size_t>{}, std::optional<std::size_t>{6}}) {
      SCOPED_TRACE(::testing::Message() << name << " lookback " << lookback.value_or(0));
      SelectionConfig c = config(range(12), {}, std::nullopt, 3, 14, 5);
      c.method = &sc::method_named(name);
      c.power.test_len = 3;
      c.power.min_pre = 4;
      c.power.lookback = lookback;
      const std::vector<Set> sets = generate_candidates(c);
      ASSERT_GT(sets.size(), 12u);
      const std::vector<MarketCandidate> shared = evaluate_candidates(y, sets, c);
      ASSERT_EQ(shared.size(), sets.size());
      for (std::size_t i = 0; i < sets.size(); ++i) {
        const MarketCandidate alone = evaluate(y, sets[i], c);
        EXPECT_EQ(shared[i].treated, alone.treated);
        ASSERT_EQ(shared[i].mde_pct.has_value(), alone.mde_pct.has_value()) << i;
        if (alone.mde_pct) {
          EXPECT_TRUE(same_bits(*shared[i].mde_pct, *alone.mde_pct)) << i;
        }
        EXPECT_TRUE(same_bits(shared[i].power_at_target, alone.power_at_target)) << i;
        EXPECT_TRUE(same_bits(shared[i].score, alone.score)) << i;
        EXPECT_TRUE(same_bits(shared[i].confidence, alone.confidence)) << i;
      }
    }
  }
}

}  // namespace
}  // namespace tessarix::geo
