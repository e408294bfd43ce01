#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "inference/batch.hpp"
#include "inference/ci.hpp"
#include "inference/placebo.hpp"
#include "testing.hpp"
#include "worker_counts.hpp"

namespace tessarix::inference {
namespace {

using testing::expect_invariant;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Mat walks(std::size_t n, std::size_t t, std::uint64_t seed) {
  return testing::random_walks(n, t, seed, 3.0, 0.4);
}

TEST(Quantiles, TypeSevenInterpolation) {
  const std::vector<double> v{1, 2, 3, 4};
  EXPECT_EQ(quantile_sorted(v, 0.5), 2.5);
  EXPECT_EQ(quantile_sorted(v, -1.0), 1.0);
  EXPECT_EQ(quantile_sorted(v, 2.0), 4.0);
  EXPECT_DOUBLE_EQ(quantile_sorted(v, 0.1), 1.3);
  EXPECT_TRUE(std::isnan(quantile_sorted({}, 0.5)));
  EXPECT_EQ(quantile_sorted(std::vector<double>{7.0}, 0.9), 7.0);
  // Selection finds the order statistics a sort would: the same interpolated values.
  const Mat draws = testing::random_mat(1, 101, 5);
  std::vector<double> values(draws.data().begin(), draws.data().end());
  for (std::size_t k = 0; k < 30; ++k) values[k] = values[k + 40];  // ties
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  for (double q : {-1.0, 0.0, 0.025, 0.333, 0.5, 0.975, 1.0, 2.0}) {
    std::vector<double> work = values;
    EXPECT_EQ(quantile_select(work, q), quantile_sorted(sorted, q)) << q;
  }
  std::vector<double> one{7.0}, none;
  EXPECT_EQ(quantile_select(one, 0.3), 7.0);
  EXPECT_TRUE(std::isnan(quantile_select(none, 0.3)));
}

TEST(PercentileCi, SpreadAndBounds) {
  const PercentileCi one = percentile_ci(std::vector<double>{3.5}, 1.0, 0.9);
  EXPECT_EQ(one.se, 0.0);
  EXPECT_EQ(one.lower, 3.5);
  EXPECT_EQ(one.upper, 3.5);
  EXPECT_EQ(one.estimate, 1.0);
  EXPECT_EQ(one.level, 0.9);
  // Unsorted input: quantiles of the sorted copy, spread of the samples.
  const PercentileCi ci = percentile_ci(std::vector<double>{5, 1, 4, 2, 3}, 0.0, 0.5);
  EXPECT_EQ(ci.lower, 2.0);
  EXPECT_EQ(ci.upper, 4.0);
  EXPECT_DOUBLE_EQ(ci.se, std::sqrt(2.5));
  expect_invariant([] { (void)percentile_ci(std::vector<double>{1, 2}, 0.0, 1.0); },
                   "assertion failed: level > 0.0 && level < 1.0");
  expect_invariant([] { (void)percentile_ci(std::vector<double>{1, kNaN}, 0.0, 0.9); }, "percentile_ci");
  EXPECT_TRUE(std::isnan(percentile_ci(std::vector<double>{kNaN}, 0.0, 0.9).lower));
}

TEST(NormalQuantile, AcklamApproximation) {
  EXPECT_EQ(normal_quantile(0.5), 0.0);
  EXPECT_NEAR(normal_quantile(0.975), 1.959963984540054, 2e-9);
  EXPECT_NEAR(normal_quantile(0.01), -2.326347874040841, 5e-9);   // lower tail branch
  EXPECT_NEAR(normal_quantile(0.995), 2.5758293035489, 5e-9);    // upper tail branch
  EXPECT_NEAR(normal_quantile(1e-10), -6.361340902404056, 1e-8);
  for (double p : {0.001, 0.02, 0.3, 0.7, 0.98}) EXPECT_NEAR(normal_quantile(p), -normal_quantile(1.0 - p), 1e-12);
  for (double p : {0.0, 1.0, kNaN, -0.5}) {
    expect_invariant([p] { (void)normal_quantile(p); }, "normal_quantile needs p in (0, 1)");
  }
}

TEST(Placebo, EqualsPerDonorRefits) {
  const Mat y = walks(8, 14, 3);
  const Panel panel = Panel::block(y, std::vector<std::size_t>{2}, 10);
  for (const sc::Method& m : {sc::Method{sc::synthetic::ScOptions{}}, sc::Method{sc::sdid::SdidOptions{}},
                            sc::Method{sc::augmented::AscOptions{}}, sc::Method{sc::demeaned::FpOptions{}},
                            sc::Method{sc::robust::RscOptions{}}}) {
    const PlaceboResult r = sc_placebo_method(panel, m);
    const ScFit real = m.fit_at(panel, 10);
    EXPECT_EQ(r.att, real.att);
    EXPECT_EQ(r.att_path, real.att_path);
    EXPECT_EQ(r.stat, m.statistic(real));
    // Refit by hand: donor j first, then the other donors ascending (unit 2 left out).
    const std::vector<std::size_t> donors{0, 1, 3, 4, 5, 6, 7};
    std::vector<double> stats, atts;
    for (std::size_t j = 0; j < donors.size(); ++j) {
      std::vector<std::size_t> order{donors[j]};
      for (std::size_t d : donors)
        if (d != donors[j]) order.push_back(d);
      Mat rows(order.size(), 14);
      for (std::size_t r2 = 0; r2 < order.size(); ++r2)
        for (std::size_t t = 0; t < 14; ++t) rows(r2, t) = y(order[r2], t);
      const ScFit f = m.fit_at(Panel::block(rows, std::vector<std::size_t>{0}, 10), 10);
      stats.push_back(m.statistic(f));
      atts.push_back(f.att);
    }
    EXPECT_EQ(r.placebo_stats, stats);
    EXPECT_EQ(r.placebo_atts, atts);
    std::size_t k = 0;
    for (double s : stats) k += s >= r.stat ? 1 : 0;
    EXPECT_EQ(r.p_value, double(k + 1) / double(stats.size() + 1));
  }
}

TEST(Placebo, StatisticsAndExtremePValues) {
  const sc::Method sc{sc::synthetic::ScOptions{}};
  ScFit perfect;
  perfect.pre_rmspe = 0.0;
  perfect.post_rmspe = 1.0;
  EXPECT_EQ(sc.statistic(perfect), kInf);
  perfect.pre_rmspe = kNaN;
  EXPECT_EQ(sc.statistic(perfect), kInf);
  perfect.att = -2.5;
  EXPECT_EQ(sc::Method{sc::sdid::SdidOptions{}}.statistic(perfect), 2.5);

  // A large effect on the treated unit ranks above every placebo: p = 1 / (m + 1).
  Mat y = walks(10, 16, 5);
  for (std::size_t k = 12; k < 16; ++k) y(0, k) += 50.0;
  const PlaceboResult big = sc_placebo_method(Panel::block(y, std::vector<std::size_t>{0}, 12), sc);
  EXPECT_EQ(big.placebo_stats.size(), 9u);
  EXPECT_EQ(big.p_value, 1.0 / 10.0);

  // A single never-treated unit leaves no placebo: empty lists and p = 1.
  const PlaceboResult lone = sc_placebo_method(Panel::block(walks(3, 8, 7), std::vector<std::size_t>{0, 1}, 5), sc);
  EXPECT_TRUE(lone.placebo_stats.empty());
  EXPECT_TRUE(lone.placebo_atts.empty());
  EXPECT_EQ(lone.p_value, 1.0);

  expect_invariant([&] {
    (void)sc_placebo_method(Panel(walks(4, 6, 9), {std::optional<std::size_t>(2), std::optional<std::size_t>(3),
                                                   std::nullopt, std::nullopt}),
                            sc);
  }, "placebo test requires a single common treatment time");
}

// The interval comes from the placebo ATTs (not the statistics), shifted by the real ATT:
// ATTs {3, -1, 2, 0} at level 0.5 have quartiles -0.25 and 2.25 and spread sqrt(10 / 3).
TEST(Placebo, InferenceShiftsThePlaceboAttInterval) {
  PlaceboResult placebo;
  placebo.att = 10.0;
  placebo.placebo_stats = {7.0, 0.5, 9.0, 1.0};
  placebo.placebo_atts = {3.0, -1.0, 2.0, 0.0};
  placebo.p_value = 0.4;
  const FitInference inf = placebo_inference(placebo, 0.5);
  EXPECT_EQ(inf.p_value, 0.4);
  EXPECT_EQ(inf.distribution, placebo.placebo_stats);
  EXPECT_EQ(inf.placebo_atts, placebo.placebo_atts);
  EXPECT_EQ(inf.ci_lower, 9.75);
  EXPECT_EQ(inf.ci_upper, 12.25);
  EXPECT_DOUBLE_EQ(*inf.se, std::sqrt(10.0 / 3.0));
  // No placebo survived: no inference at all, not an empty one.
  placebo.placebo_stats.clear();
  placebo.placebo_atts.clear();
  const FitInference none = placebo_inference(placebo, 0.5);
  EXPECT_FALSE(none.p_value || none.se || none.ci_lower || none.ci_upper || none.distribution || none.placebo_atts);
}

// The gap paths belong to the refits the placebo test keeps, one for one: same donors, the
// post-period part averaging to the placebo ATT, the pre-period part the refit's own gap;
// and the same bits with one worker or several.
TEST(PlaceboPaths, MatchThePlaceboTestRefitByRefit) {
  const Mat y = walks(8, 14, 3);
  const std::size_t t0 = 10;
  const Panel panel = Panel::block(y, std::vector<std::size_t>{2}, t0);
  const std::vector<std::size_t> donors{0, 1, 3, 4, 5, 6, 7};
  for (const sc::Method& m : {sc::Method{sc::synthetic::ScOptions{}}, sc::Method{sc::sdid::SdidOptions{}},
                            sc::Method{sc::augmented::AscOptions{}}, sc::Method{sc::demeaned::FpOptions{}},
                            sc::Method{sc::robust::RscOptions{}}}) {
    SCOPED_TRACE(m.options.index());
    const PlaceboResult test = sc_placebo_method(panel, m);
    const std::vector<PlaceboPath> paths = placebo_paths(panel, m);
    ASSERT_EQ(paths.size(), test.placebo_atts.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      EXPECT_EQ(paths[i].unit, donors[i]);
      ASSERT_EQ(paths[i].gap.size(), 14u);
      double post = 0.0;
      for (std::size_t t = t0; t < 14; ++t) post += paths[i].gap[t];
      EXPECT_NEAR(post / double(14 - t0), test.placebo_atts[i], 1e-12);
    }
    // The first refit, by hand: donor 0 treated, the others after it.
    Mat rows(7, 14);
    for (std::size_t r = 0; r < 7; ++r)
      for (std::size_t t = 0; t < 14; ++t) rows(r, t) = y(donors[r], t);
    const ScFit first = m.fit_at(Panel::block(rows, std::vector<std::size_t>{0}, t0), t0);
    std::vector<double> gap = first.pre_gap;
    gap.insert(gap.end(), first.att_path.begin(), first.att_path.end());
    EXPECT_EQ(paths[0].gap, gap);

    const FitWithPlaceboPaths both = fit_with_placebo_paths(panel, m);
    EXPECT_EQ(both.fit.att_path, m.fit_at(panel, t0).att_path);
    EXPECT_EQ(both.fit.pre_gap, m.fit_at(panel, t0).pre_gap);
    EXPECT_EQ(both.placebo, paths);
  }
  // A single never-treated unit leaves no placebo.
  const Panel lone = Panel::block(walks(3, 8, 7), std::vector<std::size_t>{0, 1}, 5);
  EXPECT_TRUE(placebo_paths(lone, sc::Method{sc::synthetic::ScOptions{}}).empty());
}

TEST(PlaceboPaths, IdenticalForAnyWorkerCount) {
  const Panel panel = Panel::block(walks(12, 16, 11), std::vector<std::size_t>{4, 9}, 11);
  const sc::Method m{sc::augmented::AscOptions{}};
  const std::vector<PlaceboPath> here = placebo_paths(panel, m);
  ASSERT_EQ(here.size(), 10u);
  SKIP_WITHOUT_FORK();
  EXPECT_TRUE(testing::same_with_one_and_three_workers([&] { return placebo_paths(panel, m); }, here));
}

TEST(RankInterval, CoversAtLeastItsLevelUnderExchangeability) {
  // Exchangeability made exact: of m + 1 distinct errors, each in turn plays the real
  // estimate's (its effect 0) and the rest the placebos'. The share of turns whose interval
  // covers 0 is the coverage; it must reach the level and exceed it by less than two ranks.
  for (std::size_t m : {0u, 5u, 18u, 19u, 38u, 39u, 99u, 199u, 250u}) {
    for (double level : {0.5, 0.8, 0.9, 0.95, 0.99}) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " level=" << level);
      const Mat draws = testing::random_mat(1, m + 1, 40 + m);
      const std::vector<double> errors(draws.data().begin(), draws.data().end());
      std::size_t covered = 0, open = 0;
      for (std::size_t real = 0; real <= m; ++real) {
        std::vector<double> placebos;
        for (std::size_t i = 0; i <= m; ++i)
          if (i != real) placebos.push_back(errors[i]);
        const RankInterval ci = rank_interval(placebos, errors[real], level);
        EXPECT_LE(ci.lower, ci.upper);
        covered += ci.lower <= 0.0 && 0.0 <= ci.upper ? 1 : 0;
        open += std::isinf(ci.lower) || std::isinf(ci.upper) ? 1 : 0;
      }
      const double share = double(covered) / double(m + 1);
      EXPECT_GE(share, level);
      if (open == 0) {
        EXPECT_LT(share, level + 2.0 / double(m + 1));
      }
      // Finite at both ends exactly when both bounding ranks exist among the m placebos.
      const bool finite = double(m + 1) * (1.0 - level) / 2.0 >= 1.0 - 1e-9;
      EXPECT_EQ(open == 0, finite);
    }
  }
  expect_invariant([] { (void)rank_interval(std::vector<double>{1, kNaN}, 0.0, 0.9); }, "rank_interval");
}

TEST(PlaceboSets, EnumeratedOrDrawn) {
  // Few enough sets: all of them, lexicographic, no seed involved.
  const PlaceboSets all = placebo_sets(6, 3, 20, 1);
  EXPECT_TRUE(all.exhaustive);
  ASSERT_EQ(all.sets.size(), 20u);
  EXPECT_EQ(all.sets.front(), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(all.sets.back(), (std::vector<std::size_t>{3, 4, 5}));
  EXPECT_TRUE(std::is_sorted(all.sets.begin(), all.sets.end()));
  EXPECT_EQ(std::adjacent_find(all.sets.begin(), all.sets.end()), all.sets.end());
  EXPECT_EQ(placebo_sets(6, 3, 20, 99).sets, all.sets);
  // More sets than asked for: drawn, reproducible for a seed, each k distinct donors, and every
  // donor pseudo-treated about k/n of the time.
  const PlaceboSets drawn = placebo_sets(40, 10, 4000, 7);
  EXPECT_FALSE(drawn.exhaustive);
  ASSERT_EQ(drawn.sets.size(), 4000u);
  EXPECT_EQ(placebo_sets(40, 10, 4000, 7).sets, drawn.sets);
  EXPECT_NE(placebo_sets(40, 10, 4000, 8).sets, drawn.sets);
  std::vector<std::size_t> hits(40, 0);
  for (const auto& set : drawn.sets) {
    ASSERT_EQ(set.size(), 10u);
    EXPECT_TRUE(std::adjacent_find(set.begin(), set.end(), std::greater_equal<>()) == set.end());
    for (std::size_t d : set) ++hits.at(d);
  }
  for (std::size_t h : hits) EXPECT_NEAR(double(h), 1000.0, 5.0 * std::sqrt(1000.0 * 0.75));
  // Counts near the 64-bit limit saturate instead of wrapping: C(200, 100) sets are drawn.
  EXPECT_FALSE(placebo_sets(200, 100, 3, 0).exhaustive);
  // No set leaves a donor outside it: none.
  EXPECT_TRUE(placebo_sets(3, 3, 10, 0).sets.empty());
  EXPECT_TRUE(placebo_sets(3, 0, 10, 0).sets.empty());
}

// The set placebo test of `m` refit by hand: each placebo's units first, then the other donors.
void expect_refits_by_hand(const Mat& y, std::size_t t0, const std::vector<std::size_t>& donors,
                           const sc::Method& m, const SetPlaceboTest& test) {
  for (const SetPlacebo& p : test.placebos) {
    std::vector<std::size_t> order = p.units;
    for (std::size_t d : donors)
      if (std::find(p.units.begin(), p.units.end(), d) == p.units.end()) order.push_back(d);
    Mat rows(order.size(), y.cols());
    for (std::size_t r = 0; r < order.size(); ++r)
      for (std::size_t t = 0; t < y.cols(); ++t) rows(r, t) = y(order[r], t);
    std::vector<std::size_t> treated(p.units.size());
    for (std::size_t i = 0; i < treated.size(); ++i) treated[i] = i;
    const ScFit f = m.fit_at(Panel::block(rows, treated, t0), t0);
    EXPECT_EQ(p.stat, m.statistic(f));
    EXPECT_EQ(p.att, f.att);
  }
}

TEST(SetPlacebo, OneTreatedUnitIsThePerDonorTest) {
  const Mat y = walks(9, 14, 3);
  const Panel panel = Panel::block(y, std::vector<std::size_t>{2}, 10);
  for (const sc::Method& m : {sc::Method{sc::synthetic::ScOptions{}}, sc::Method{sc::sdid::SdidOptions{}}}) {
    const SetPlaceboTest test = fit_with_set_placebo(panel, m, 1000, 0, 0.9);
    const PlaceboResult per_donor = sc_placebo_method(panel, m);
    EXPECT_TRUE(test.exhaustive);
    std::vector<double> stats, atts;
    for (const SetPlacebo& p : test.placebos) {
      stats.push_back(p.stat);
      atts.push_back(p.att);
      EXPECT_EQ(p.gap.size(), 14u);
    }
    EXPECT_EQ(stats, per_donor.placebo_stats);
    EXPECT_EQ(atts, per_donor.placebo_atts);
    EXPECT_EQ(test.p_value, per_donor.p_value);
    EXPECT_EQ(test.fit.att, per_donor.att);
    EXPECT_EQ(test.se, percentile_ci(atts, 0.0, 0.9).se);
  }
}

TEST(SetPlacebo, DrawnSetsOfTheTreatedCount) {
  const Mat y = walks(16, 14, 8);
  const std::vector<std::size_t> treated{1, 5, 11};
  const Panel panel = Panel::block(y, treated, 10);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  for (const sc::Method& m : {sc::Method{sc::synthetic::ScOptions{}}, sc::Method{sc::demeaned::FpOptions{}}}) {
    const SetPlaceboTest test = fit_with_set_placebo(panel, m, 60, 3, 0.9);
    EXPECT_FALSE(test.exhaustive);  // C(13, 3) = 286 sets > 60
    ASSERT_EQ(test.placebos.size(), 60u);
    for (const SetPlacebo& p : test.placebos) {
      ASSERT_EQ(p.units.size(), 3u);
      for (std::size_t u : p.units) EXPECT_EQ(std::count(treated.begin(), treated.end(), u), 0);
    }
    expect_refits_by_hand(y, 10, donors, m, test);
    std::vector<double> atts;
    for (const SetPlacebo& p : test.placebos) atts.push_back(p.att);
    const RankInterval ci = rank_interval(atts, test.fit.att, 0.9);
    EXPECT_EQ(test.interval.lower, ci.lower);
    EXPECT_EQ(test.interval.upper, ci.upper);
  }
  // Every donor treated leaves no placebo: p-value 1 and an open interval.
  const SetPlaceboTest none = fit_with_set_placebo(Panel::block(walks(4, 8, 2), std::vector<std::size_t>{0, 1}, 5),
                                                   sc::Method{sc::synthetic::ScOptions{}}, 100, 0, 0.95);
  EXPECT_TRUE(none.placebos.empty());
  EXPECT_EQ(none.p_value, 1.0);
  EXPECT_EQ(none.interval.lower, -kInf);
  EXPECT_EQ(none.interval.upper, kInf);
}

TEST(SetPlacebo, IdenticalForAnyWorkerCount) {
  const Panel panel = Panel::block(walks(14, 12, 21), std::vector<std::size_t>{0, 6}, 9);
  const sc::Method m{sc::sdid::SdidOptions{}};
  const auto run = [&] {
    const SetPlaceboTest t = fit_with_set_placebo(panel, m, 30, 5, 0.95);
    std::vector<double> out{t.fit.att, t.p_value, t.se, t.interval.lower, t.interval.upper};
    for (const SetPlacebo& p : t.placebos) {
      out.push_back(p.att);
      out.insert(out.end(), p.gap.begin(), p.gap.end());
    }
    return out;
  };
  const std::vector<double> here = run();
  SKIP_WITHOUT_FORK();
  EXPECT_TRUE(testing::same_with_one_and_three_workers(run, here));
}

TEST(Batch, EachPanelMatchesItsDirectFit) {
  std::vector<Panel> panels;
  for (std::uint64_t s = 0; s < 5; ++s) panels.push_back(Panel::block(walks(9, 12, 20 + s), std::vector<std::size_t>{1}, 8));
  const std::vector<Panel> copy = panels;
  const sc::synthetic::ScOptions so{0.0, 0.6, 0.1, 0.0};
  const sc::Method methods[] = {sc::Method{so}, sc::Method{sc::sdid::SdidOptions{}}, sc::Method{sc::demeaned::FpOptions{}},
                              sc::Method{sc::augmented::AscOptions{}}, sc::Method{sc::robust::RscOptions{}}};
  for (const sc::Method& m : methods) {
    const std::vector<double> atts = att_many(panels, 8, m);
    ASSERT_EQ(atts.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(atts[k], m.fit_at(copy[k], 8).att);
  }
  EXPECT_TRUE(att_many({}, 8, methods[0]).empty());
}

}  // namespace
}  // namespace tessarix::inference
