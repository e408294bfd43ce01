// CP-ASC family: the unit weighting rules on hand-computed examples, the permutation p-value's
// lattice and ties, and the pooled fit against its parts (per-unit augmented fits, scaling).
#include <cmath>
#include <limits>
#include <vector>

#include "estimators/sc/augmented.hpp"
#include "estimators/sc/cpasc.hpp"
#include "testing.hpp"

namespace tessarix::sc::cpasc {
namespace {

using testing::expect_invariant;

std::vector<UnitFit> units_with(std::vector<double> mspe, std::vector<double> level) {
  std::vector<UnitFit> units(mspe.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i].unit = i;
    units[i].mspe = mspe[i];
    units[i].level = level[i];
  }
  return units;
}

std::vector<double> weights_of(std::vector<UnitFit> units, const CpascMode& mode) {
  assign_weights(units, mode);
  std::vector<double> w;
  for (const UnitFit& u : units) w.push_back(u.weight);
  return w;
}

void expect_all_near(const std::vector<double>& a, const std::vector<double>& b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], tol) << i;
}

constexpr double kTight = 1e-15;

// --- weighting -----------------------------------------------------------------------------

TEST(CpascWeights, HandComputedExamples) {
  // Median error 2: terms 1/2 and 1/6.
  expect_all_near(weights_of(units_with({0.0, 4.0}, {1.0, 1.0}), Mspe{}), {0.75, 0.25}, kTight);
  // Strata by level {u1, u3} and {u2, u0}, half the weight each; in the first, median 2 splits
  // the half as 1/3 : 1/5.
  expect_all_near(weights_of(units_with({1.0, 1.0, 1.0, 3.0}, {4.0, 1.0, 3.0, 2.0}), Stratified{2}),
                  {0.25, 0.3125, 0.25, 0.1875}, kTight);
  expect_all_near(weights_of(units_with({0.0, 0.0, 0.0}, {1.0, -3.0, 0.0}), Cumulative{}),
                  {0.25, 0.75, 0.0}, kTight);
}

TEST(CpascWeights, DegenerateGroups) {
  for (const CpascMode& mode : {CpascMode{Mspe{}}, CpascMode{Stratified{3}}, CpascMode{Cumulative{}}}) {
    EXPECT_EQ(weights_of(units_with({2.5}, {7.0}), mode), std::vector<double>{1.0});
    EXPECT_EQ(weights_of(units_with({0.0}, {0.0}), mode), std::vector<double>{1.0});
  }
  const auto units = units_with({0.3, 5.0, 1.0, 0.0}, {2.0, -1.0, 4.0, 0.5});
  expect_all_near(weights_of(units, Stratified{9}), {0.25, 0.25, 0.25, 0.25}, kTight);
  EXPECT_EQ(weights_of(units, Stratified{0}), weights_of(units, Mspe{}));
  expect_all_near(weights_of(units_with({1.0, 2.0, 3.0}, {0.0, 0.0, 0.0}), Cumulative{}),
                  {1.0 / 3, 1.0 / 3, 1.0 / 3}, kTight);
  std::vector<UnitFit> none;
  assign_weights(none, Mspe{});
  EXPECT_EQ(median(std::vector<double>{3.0, 1.0, 2.0, 10.0}), 2.5);
  EXPECT_EQ(median(std::vector<double>{-4.0}), -4.0);
  expect_invariant([] { median(std::vector<double>{1.0, std::nan("")}); }, "NaN");
}

TEST(CpascWeights, PerfectFitsDoNotOverflow) {
  // Four exact fits: each term 1 / (smallest normal) alone is about 4.5e307, so a plain sum of
  // the terms overflows. The weights must stay equal shares.
  expect_all_near(weights_of(units_with({0.0, 0.0, 0.0, 0.0}, {1.0, 2.0, 3.0, 4.0}), Mspe{}),
                  {0.25, 0.25, 0.25, 0.25}, kTight);
  expect_all_near(weights_of(units_with({0.0, 0.0, 0.0, 0.0, 0.0, 1.0}, {1, 2, 3, 4, 5, 6}), Mspe{}),
                  {0.2, 0.2, 0.2, 0.2, 0.2, 0.0}, kTight);
  expect_all_near(weights_of(units_with({0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}, {1, 2, 3, 4, 5, 6, 7, 8}),
                             Stratified{2}),
                  std::vector<double>(8, 0.125), kTight);
}

// --- permutation p-value -------------------------------------------------------------------

TEST(CpascPValue, LatticeAndExtremes) {
  const std::vector<double> spike{0.1, -0.2, 0.0, 5.0, 0.3, -0.1};
  EXPECT_EQ(block_permutation_p(spike, 3, 1), 1.0 / 6);    // the largest window of all
  EXPECT_EQ(block_permutation_p(spike, 2, 1), 1.0);        // the smallest: every start counts
  EXPECT_EQ(block_permutation_p(spike, 3, 0), 1.0 / 6);    // length 0 counts as 1
  const Mat z = testing::random_mat(1, 40, 7);
  for (std::size_t t0 : {1, 13, 39}) {
    for (std::optional<std::size_t> b : {std::optional<std::size_t>{}, std::optional<std::size_t>{5}}) {
      const double p = block_permutation_p(z.data(), t0, b);
      const double scaled = p * 40.0;
      EXPECT_EQ(scaled, std::round(scaled));
      EXPECT_GE(p, 1.0 / 40);
      EXPECT_LE(p, 1.0);
    }
  }
}

TEST(CpascPValue, WholeSeriesWindowsAllTie) {
  // Starting at index 1 the small terms accumulate before the large one; starting at 0 each is
  // absorbed by it. The same multiset of terms must count as a tie whatever the order.
  std::vector<double> z(5, 1e-16);
  z[0] = 1.0;
  EXPECT_EQ(block_permutation_p(z, 1, 5), 1.0);
  EXPECT_EQ(block_permutation_p(z, 1, 50), 1.0);
  const Mat noisy = testing::random_mat(1, 300, 11);
  std::vector<double> spread(noisy.data().begin(), noisy.data().end());
  for (std::size_t t = 0; t < spread.size(); ++t) spread[t] *= std::ldexp(1.0, static_cast<int>(t % 40) - 20);
  for (std::size_t t0 : {1, 150, 299}) EXPECT_EQ(block_permutation_p(spread, t0, 300), 1.0) << t0;
}

// --- the pooled fit ------------------------------------------------------------------------

Mat test_panel() { return testing::random_walks(9, 14, 3); }

TEST(CpascFit, UnitsAreSeparateAugmentedFitsPooledByWeight) {
  const Mat y = test_panel();
  const std::vector<std::size_t> treated{1, 4, 6};
  const Panel panel = Panel::block(y, treated, 10);
  const CpascOptions options{{std::nullopt, 0.0, 0.0, 1.0}, std::nullopt, Mspe{}};
  const CpascFit fit = fit_at(panel, 10, options);
  ASSERT_EQ(fit.units.size(), 3u);
  double att = 0.0, weight_sum = 0.0;
  for (std::size_t k = 0; k < 3; ++k) {
    const UnitFit& u = fit.units[k];
    EXPECT_EQ(u.unit, treated[k]);
    // The same unit fitted alone against the never-treated donors.
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < 9; ++i) {
      if (i == u.unit || (i != 1 && i != 4 && i != 6)) rows.push_back(i);
    }
    Mat alone(rows.size(), 14);
    std::size_t own = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (rows[r] == u.unit) own = r;
      for (std::size_t t = 0; t < 14; ++t) alone(r, t) = y(rows[r], t);
    }
    const std::vector<std::size_t> one{own};
    const ScFit asc = augmented::fit_at(Panel::block(alone, one, 10), 10, options.asc);
    EXPECT_NEAR(u.att, asc.att, 1e-12);
    EXPECT_NEAR(std::sqrt(u.mspe), asc.pre_rmspe, 1e-12);
    ASSERT_EQ(u.residual.size(), 14u);
    for (std::size_t p = 0; p < 4; ++p) EXPECT_NEAR(u.residual[10 + p], asc.att_path[p], 1e-12);
    att += u.weight * u.att;
    weight_sum += u.weight;
  }
  EXPECT_NEAR(weight_sum, 1.0, 1e-15);
  EXPECT_EQ(fit.att, att);
  ASSERT_EQ(fit.pooled_residual.size(), 14u);
  ASSERT_EQ(fit.null_residual.size(), 14u);
  EXPECT_EQ(fit.t0, 10u);
}

TEST(CpascFit, ExactDonorCopiesGetEqualWeightAndTheirEffect) {
  // Six treated units copy donors exactly before treatment and gain 2.0 after it. Most fits
  // come out perfect (error exactly 0); those share the weight equally, and the pooled effect
  // is the common 2.0.
  Mat y = testing::random_walks(12, 12, 5);
  const std::vector<std::size_t> treated{0, 1, 2, 3, 4, 5};
  for (std::size_t u : treated) {
    for (std::size_t t = 0; t < 12; ++t) y(u, t) = y(u + 6, t) + (t >= 8 ? 2.0 : 0.0);
  }
  const CpascFit fit = fit_at(Panel::block(y, treated, 8), 8, CpascOptions{});
  std::size_t perfect = 0;
  double weight_sum = 0.0;
  for (const UnitFit& u : fit.units) perfect += u.mspe == 0.0 ? 1 : 0;
  ASSERT_GE(perfect, 4u);  // enough perfect fits to overflow a plain sum of inverse errors
  for (const UnitFit& u : fit.units) {
    if (u.mspe == 0.0) {
      EXPECT_NEAR(u.weight, 1.0 / static_cast<double>(perfect), kTight);
    }
    EXPECT_NEAR(u.att, 2.0, 1e-9);
    weight_sum += u.weight;
  }
  EXPECT_NEAR(weight_sum, 1.0, kTight);
  EXPECT_NEAR(fit.att, 2.0, 1e-9);
}

TEST(CpascFit, ExtremeMagnitudesScaleExactly) {
  const Mat y = test_panel();
  const std::vector<std::size_t> treated{2, 5};
  const CpascOptions options{{std::nullopt, 0.0, 0.0, 1.0}, 3, Stratified{2}};
  const CpascFit base = fit_at(Panel::block(y, treated, 9), 9, options);
  for (int e : {-600, 700}) {
    Mat big = y;
    for (double& v : big.data()) v = std::ldexp(v, e);
    const CpascFit fit = fit_at(Panel::block(big, treated, 9), 9, options);
    EXPECT_EQ(fit.p_value, base.p_value);
    EXPECT_NEAR(std::ldexp(fit.att, -e), base.att, 1e-12);
    for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(fit.units[k].weight, base.units[k].weight, 1e-12);
  }
}

TEST(CpascFit, BrokenPreconditionsAreInvariantFailures) {
  const Mat y = test_panel();
  expect_invariant([&] { fit_at(Panel(y, std::vector<Panel::TreatStart>(9)), 5, CpascOptions{}); },
                   "no treated units");
  expect_invariant([&] { fit_at(Panel(y, std::vector<Panel::TreatStart>(9, 5)), 5, CpascOptions{}); },
                   "no donor units");
}

}  // namespace
}  // namespace tessarix::sc::cpasc
