// The predictor-matched synthetic control: given importances reproduce a brute-force solve of
// the weighted simplex problem, the nested search is never beaten by its own starts nor by a
// fine grid of importances, standardisation makes predictor units irrelevant, and the placebo
// test refits each donor on its own predictor row.
#include <cmath>
#include <vector>

#include "estimators/sc/predictors.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/placebo.hpp"
#include "testing.hpp"

namespace tessarix::sc::predictors {
namespace {

// A panel of `n` random walks over `t` periods, unit 0 treated from t0, with k predictors:
// the pre-period mean of the outcome, a lag, and k - 2 unrelated noise columns; with `inside`
// the treated unit's predictors are the donors' average (inside their hull).
Panel predictor_panel(std::size_t n, std::size_t t, std::size_t t0, std::size_t k, std::uint64_t seed,
                      bool inside = false) {
  Mat y = testing::random_walks(n, t, seed);
  const Mat noise = testing::random_mat(n, k, seed + 100);
  Mat x(n, k);
  for (std::size_t u = 0; u < n; ++u) {
    double s = 0.0;
    for (std::size_t s_t = 0; s_t < t0; ++s_t) s += y(u, s_t);
    x(u, 0) = s / static_cast<double>(t0);
    if (k > 1) x(u, 1) = y(u, t0 / 2);
    for (std::size_t p = 2; p < k; ++p) x(u, p) = 10.0 * noise(u, p);
  }
  for (std::size_t p = 0; inside && p < k; ++p) {
    double s = 0.0;
    for (std::size_t u = 1; u < n; ++u) s += x(u, p);
    x(0, p) = s / static_cast<double>(n - 1);
  }
  return Panel::block(std::move(y), std::vector<std::size_t>{0}, t0).with_covariates(std::move(x));
}

// G = X0' diag(v) X0 and b = X0' diag(v) x1 written out entry by entry.
struct Weighted {
  Mat g;
  std::vector<double> b;
};
Weighted weighted_problem(const Problem& pr, const std::vector<double>& v) {
  const std::size_t j_count = pr.x0.cols(), k = pr.x1.size();
  Weighted q{Mat(j_count, j_count), std::vector<double>(j_count, 0.0)};
  for (std::size_t i = 0; i < j_count; ++i) {
    for (std::size_t p = 0; p < k; ++p) q.b[i] += pr.x0(p, i) * v[p] * pr.x1[p];
    for (std::size_t j = 0; j < j_count; ++j) {
      for (std::size_t p = 0; p < k; ++p) q.g(i, j) += pr.x0(p, i) * v[p] * pr.x0(p, j);
    }
  }
  return q;
}

// The V-weighted predictor gap (x1 - X0 w)' V (x1 - X0 w).
double predictor_gap(const Problem& pr, const std::vector<double>& v, std::span<const double> w) {
  double s = 0.0;
  for (std::size_t p = 0; p < pr.x1.size(); ++p) {
    double r = pr.x1[p];
    for (std::size_t j = 0; j < w.size(); ++j) r -= pr.x0(p, j) * w[j];
    s += v[p] * r * r;
  }
  return s;
}

// Given importances: the weights minimise the V-weighted predictor gap as a brute-force solve
// does (the same weights where the minimiser is unique: treated predictors outside the donors'
// hull); where the gap closes on a whole face, the chosen member fits the loss-period outcomes
// at least as well as the brute-force minimiser does.
TEST(Predictors, GivenImportancesMatchABruteForceSolve) {
  int unique = 0, tied = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    for (std::size_t k : {2u, 4u}) {
      const Panel panel = predictor_panel(7, 12, 8, k, seed, seed % 2 == 0);
      std::vector<double> v(k);
      for (std::size_t p = 0; p < k; ++p) v[p] = (p + 1.0) / (k * (k + 1) / 2.0);
      const Problem pr = problem_at(panel, 8, {});
      const Weighted q = weighted_problem(pr, v);
      const std::vector<double> want = testing::brute_force_qp(q.g, q.b, 0.0, 0.0, 1.0);
      const PredictorFit fit = fit_nested(panel, 8, {.v = v, .loss_periods = {}});
      const double gap_want = predictor_gap(pr, v, want), gap_got = predictor_gap(pr, v, fit.fit.weights);
      EXPECT_LE(gap_got, gap_want + 1e-7) << seed;
      if (gap_want > 1e-6) {
        ++unique;
        for (std::size_t j = 0; j < want.size(); ++j) EXPECT_NEAR(fit.fit.weights[j], want[j], 1e-7) << seed << " " << j;
      } else {
        ++tied;
        EXPECT_LE(fit.loss, outcome_loss(pr, want) * (1.0 + 1e-9)) << seed;
      }
      // Importances count only through their ratios.
      std::vector<double> scaled = v;
      for (double& x : scaled) x *= 7.0;
      const PredictorFit again = fit_nested(panel, 8, {.v = scaled, .loss_periods = {}});
      for (std::size_t j = 0; j < want.size(); ++j) EXPECT_NEAR(again.fit.weights[j], fit.fit.weights[j], 1e-10);
    }
  }
  EXPECT_GT(unique, 0);
  EXPECT_GT(tied, 0);
}

// Standardised predictors: one predictor measured in other units gives the same fit.
TEST(Predictors, PredictorUnitsDoNotMatter) {
  const Panel panel = predictor_panel(9, 14, 10, 3, 5);
  Mat x = *panel.covariates();
  for (std::size_t u = 0; u < x.rows(); ++u) x(u, 2) *= 1000.0;
  const Panel rescaled = Panel(panel.y(), panel.treat_start()).with_covariates(std::move(x));
  const PredictorFit a = fit_nested(panel, 10, {}), b = fit_nested(rescaled, 10, {});
  EXPECT_NEAR(a.loss, b.loss, 1e-9 * a.loss);
  for (std::size_t j = 0; j < a.fit.weights.size(); ++j) EXPECT_NEAR(a.fit.weights[j], b.fit.weights[j], 1e-6);
}

// The chosen importances fit the loss periods at least as well as every start does, and as
// well as the best of a fine grid over two predictors' importances (a brute-force outer
// search), up to a relative 1e-7, with the treated predictors outside and inside the donors' hull.
TEST(Predictors, NestedSearchBeatsItsStartsAndAGrid) {
  for (std::uint64_t seed = 11; seed <= 20; ++seed) {
    const Panel panel = predictor_panel(10, 16, 11, 2, seed, seed % 2 == 0);
    const Problem pr = problem_at(panel, 11, {});
    const NestedSolution s = solve_nested(pr);
    // The tie-break among exact matches moves the loss by about its own relative weight.
    const double slack = 1e-7 * s.loss + 1e-14;
    for (const std::vector<double>& v : starting_importances(pr)) {
      EXPECT_LE(s.loss, outcome_loss(pr, inner_weights(pr, v)) + slack) << seed;
    }
    for (int i = 0; i <= 1000; ++i) {
      const double a = i / 1000.0;
      const std::vector<double> v{a, 1.0 - a};
      EXPECT_LE(s.loss, outcome_loss(pr, inner_weights(pr, v)) + slack) << seed << " a=" << a;
    }
    EXPECT_NEAR(s.v[0] + s.v[1], 1.0, 1e-12);
  }
}

// The loss is the mean squared outcome gap over the chosen loss periods only.
TEST(Predictors, LossPeriodsSelectTheOutcomeFit) {
  const Panel panel = predictor_panel(8, 12, 9, 3, 21);
  const std::vector<double> v{0.2, 0.3, 0.5};
  const PredictorFit fit = fit_nested(panel, 9, {.v = v, .loss_periods = {2, 5, 8}});
  double s = 0.0;
  for (std::size_t t : {2u, 5u, 8u}) {
    double synth = 0.0;
    for (std::size_t j = 0; j < fit.fit.donor_ids.size(); ++j) synth += fit.fit.weights[j] * panel.y()(fit.fit.donor_ids[j], t);
    s += (panel.y()(0, t) - synth) * (panel.y()(0, t) - synth);
  }
  EXPECT_NEAR(fit.loss, s / 3.0, 1e-12 * (1.0 + s));
  testing::expect_invariant([&] { (void)fit_nested(panel, 9, {.v = v, .loss_periods = {9}}); }, "loss period 9");
  const Panel bare(panel.y(), panel.treat_start());
  testing::expect_invariant([&] { (void)fit_nested(bare, 9, {}); }, "the predictor fit needs");
}

// A placebo refit treats one donor on its own predictor row: the placebo ATTs equal fits of
// panels built by hand from the donors alone, the pseudo-treated donor first.
TEST(Predictors, PlaceboRefitsCarryEachDonorsPredictors) {
  const Panel panel = predictor_panel(7, 12, 8, 3, 31);
  const Method method{PredictorOptions{}};
  const inference::PlaceboResult r = inference::sc_placebo_method(panel, method);
  ASSERT_EQ(r.placebo_atts.size(), 6u);
  for (std::size_t d = 1; d < 7; ++d) {
    Mat y(6, 12), x(6, 3);
    std::vector<std::size_t> order{d};
    for (std::size_t u = 1; u < 7; ++u) {
      if (u != d) order.push_back(u);
    }
    for (std::size_t r_i = 0; r_i < 6; ++r_i) {
      for (std::size_t t = 0; t < 12; ++t) y(r_i, t) = panel.y()(order[r_i], t);
      for (std::size_t p = 0; p < 3; ++p) x(r_i, p) = (*panel.covariates())(order[r_i], p);
    }
    const Panel by_hand = Panel::block(std::move(y), std::vector<std::size_t>{0}, 8).with_covariates(std::move(x));
    EXPECT_EQ(r.placebo_atts[d - 1], fit_at(by_hand, 8, {}).att) << d;
  }
}

// Outcomes of any magnitude: the fit at 2^600 times the outcomes is the fit scaled by 2^600
// and the loss by 2^1200 (exact powers of two).
TEST(Predictors, OutcomeScaleIsExact) {
  const Panel panel = predictor_panel(8, 12, 9, 3, 41);
  Mat big = panel.y();
  for (double& v : big.data()) v = std::ldexp(v, 600);
  const Panel huge = Panel(std::move(big), panel.treat_start()).with_covariates(*panel.covariates());
  const PredictorFit a = fit_nested(panel, 9, {}), b = fit_nested(huge, 9, {});
  EXPECT_EQ(a.fit.weights, b.fit.weights);
  EXPECT_EQ(std::ldexp(a.loss, 1200), b.loss);
  EXPECT_EQ(std::ldexp(a.fit.att, 600), b.fit.att);
}

}  // namespace
}  // namespace tessarix::sc::predictors
