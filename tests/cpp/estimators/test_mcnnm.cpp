// Matrix completion: the fixed-effect update on data with a missing treated block, exact
// effects on additive data, invariance to the data's binary scale, and the tracked Gram of
// the iterates.
#include <cmath>

#include "estimators/mcnnm/softimpute.hpp"
#include "linalg/ops/matmul.hpp"
#include "testing.hpp"

namespace tessarix::mcnnm {
namespace {

constexpr std::size_t kUnits = 12, kPeriods = 20, kT0 = 4;
constexpr double kEffect = 3.5;

// Unit plus period effects plus a constant effect on units 0..5 from kT0 on: exactly
// additive, with a treated block of half the rows and most of the periods, where alternating
// means converge slowly.
Panel additive_panel() {
  Mat y(kUnits, kPeriods);
  for (std::size_t i = 0; i < kUnits; ++i) {
    for (std::size_t t = 0; t < kPeriods; ++t) {
      y(i, t) = 10.0 * std::sin(1.7 * static_cast<double>(i)) + 0.3 * static_cast<double>(t * t) +
                (i < 6 && t >= kT0 ? kEffect : 0.0);
    }
  }
  return Panel::block(std::move(y), std::vector<std::size_t>{0, 1, 2, 3, 4, 5}, kT0);
}

TEST(Mcnnm, FixedEffectUpdateIsExactWithAMissingBlock) {
  const Panel panel = additive_panel();
  const Mask mask = observed_mask(panel);
  FitState state = FitState::zeros(kUnits, kPeriods);
  update_fe(panel.y(), mask, state);
  double worst = 0.0;
  for (std::size_t t = 0; t < kPeriods; ++t) {
    for (std::size_t i = 0; i < kUnits; ++i) {
      if (!mask[i + t * kUnits]) continue;
      worst = std::max(worst, std::fabs(panel.y()(i, t) - state.unit_fe[i] - state.time_fe[t]));
    }
  }
  EXPECT_LT(worst, 1e-11);
  // Nothing but rounding is left for the low-rank part, so the noise scale of the penalty
  // grid collapses.
  EXPECT_LT(sigma_max_fe_residual(panel.y(), mask), 1e-10);
}

// The effects of update_fe solve the normal equations of the two-way fit to y - L on the
// observed cells: every unit's and every period's observed residuals sum to zero. Masks
// cover fully observed panels, a treated block, staggered starts, a unit observed in two
// periods only (its observed cells are fewer than its unobserved ones) and a period nobody
// is observed in.
TEST(UpdateFe, EffectsSolveTheNormalEquationsOfTheObservedCells) {
  constexpr std::size_t n = 9, T = 12;
  struct Case {
    const char* name;
    std::vector<std::size_t> start;  // treatment start per unit; T = never treated
  };
  const std::vector<Case> cases = {
      {"none treated", std::vector<std::size_t>(n, T)},
      {"block", {5, 5, 5, T, T, T, T, T, T}},
      {"staggered", {3, 6, 9, 11, T, T, 7, T, T}},
      {"nearly all missing", {2, T, 8, T, T, T, T, T, T}},
      {"empty last period", {11, 11, 11, 11, 11, 11, 11, 11, 11}},
  };
  const Mat y = testing::random_walks(n, T, 5);
  const Mat low = testing::random_mat(n, T, 6);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mask mask(n * T, 1);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t t = c.start[i]; t < T; ++t) mask[i + t * n] = 0;
    }
    FitState state = FitState::zeros(n, T);
    state.low_rank = low;
    update_fe(y, mask, state);
    std::vector<double> unit_resid(n, 0.0), period_resid(T, 0.0);
    for (std::size_t t = 0; t < T; ++t) {
      for (std::size_t i = 0; i < n; ++i) {
        if (!mask[i + t * n]) continue;
        const double r = y(i, t) - low(i, t) - state.unit_fe[i] - state.time_fe[t];
        unit_resid[i] += r;
        period_resid[t] += r;
      }
    }
    for (double r : unit_resid) EXPECT_NEAR(r, 0.0, 1e-10);
    for (double r : period_resid) EXPECT_NEAR(r, 0.0, 1e-10);
  }
}

McnnmOptions with(std::optional<double> lambda, std::size_t max_iter,
                  std::optional<std::size_t> max_rank) {
  McnnmOptions o;
  o.lambda = lambda;
  o.max_iter = max_iter;
  o.max_rank = max_rank;
  return o;
}

TEST(Mcnnm, AdditiveDataGiveTheExactEffect) {
  const Panel panel = additive_panel();
  for (const McnnmOptions& options :
       {with(std::nullopt, 200, std::nullopt), with(1.0, 200, std::nullopt),
        with(std::nullopt, 0, std::nullopt), with(0.5, 200, 2), with(1e6, 1, std::nullopt)}) {
    const ScFit fit = fit_at(panel, kT0, options);
    EXPECT_NEAR(fit.att, kEffect, 1e-9);
    for (double g : fit.att_path) EXPECT_NEAR(g, kEffect, 1e-9);
    EXPECT_NEAR(fit.pre_rmspe, 0.0, 1e-9);
    EXPECT_NEAR(fit.post_rmspe, 0.0, 1e-9);
    EXPECT_TRUE(fit.weights.empty() && fit.donor_ids.empty());
  }
}

TEST(Mcnnm, BinaryRescalingOfTheDataRescalesTheFitExactly) {
  Mat y = testing::random_mat(10, 14, 7);
  const Panel base = Panel::block(y, std::vector<std::size_t>{1, 4}, 9);
  for (double& v : y.data()) v = std::ldexp(v, 700);
  const Panel huge = Panel::block(std::move(y), std::vector<std::size_t>{1, 4}, 9);
  const ScFit a = fit_at(base, 9, {});
  const ScFit b = fit_at(huge, 9, {});
  ASSERT_TRUE(std::isfinite(b.att));
  EXPECT_NEAR(std::ldexp(b.att, -700), a.att, 1e-9 * (1.0 + std::fabs(a.att)));
  EXPECT_NEAR(std::ldexp(b.pre_rmspe, -700), a.pre_rmspe, 1e-9);
}

// The tracked Gram of a sequence of iterates equals the Gram formed afresh, while the
// effects move a lot (the anchor moves), then a little (the correction from the anchor) and
// the unobserved cells change freely; panels where tracking does not pay are declined.
TEST(IterateGram, EqualsTheGramFormedAfresh) {
  constexpr std::size_t n = 40, T = 12;
  Mask mask(n * T, 1);
  for (std::size_t i = 0; i < 6; ++i) {
    for (std::size_t t = 8; t < T; ++t) mask[i + t * n] = 0;
  }
  mask[17 + 3 * n] = 0;
  const Mat y = testing::random_mat(n, T, 50);
  std::optional<IterateGram> gram = IterateGram::make(mask, n, T);
  ASSERT_TRUE(gram.has_value());
  FitState s = FitState::zeros(n, T);
  for (std::size_t step = 0; step < 6; ++step) {
    SCOPED_TRACE(step);
    // Far-off effects at the first iterate, so that correcting from it would cancel.
    const double far = step == 0 ? 300.0 : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      s.unit_fe[i] = far * std::sin(double(i)) + 1e-2 * double(step) * std::cos(double(i));
    }
    for (std::size_t t = 0; t < T; ++t) {
      s.time_fe[t] = far * std::cos(double(t)) + 1e-2 * double(step * step) * std::sin(double(t));
    }
    s.low_rank = testing::random_mat(n, T, 60 + step);
    Mat z(n, T);
    for (std::size_t t = 0; t < T; ++t) {
      for (std::size_t i = 0; i < n; ++i) {
        z(i, t) = mask[i + t * n] ? (y(i, t) - s.unit_fe[i]) - s.time_fe[t] : s.low_rank(i, t);
      }
    }
    const Mat fresh = linalg::syrk_ata(z);
    const Mat tracked = gram->of(z, s);
    double scale = 0.0;
    for (double g : fresh.data()) scale = std::max(scale, std::fabs(g));
    for (std::size_t j = 0; j < T; ++j) {
      for (std::size_t i = j; i < T; ++i) EXPECT_NEAR(tracked(i, j), fresh(i, j), 1e-14 * scale);
    }
  }
  EXPECT_FALSE(IterateGram::make(Mask(T * n, 1), T, n).has_value());  // wide
  Mask many = mask;
  for (std::size_t i = 6; i < 11; ++i) many[i] = 0;  // 11 of 40 units with a missing cell
  EXPECT_FALSE(IterateGram::make(many, n, T).has_value());
}

TEST(Mcnnm, SameSeedSameBits) {
  const Panel panel = Panel::block(testing::random_mat(9, 16, 3), std::vector<std::size_t>{0}, 10);
  McnnmOptions options;
  options.seed = 11;
  const ScFit a = fit_at(panel, 10, options), b = fit_at(panel, 10, options);
  EXPECT_EQ(a.att_path, b.att_path);
  EXPECT_EQ(a.counterfactual, b.counterfactual);
}

}  // namespace
}  // namespace tessarix::mcnnm
