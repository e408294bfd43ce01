#include <chrono>
#include <cmath>

#include "estimators/did/imputation.hpp"
#include "runtime/interrupt.hpp"
#include "testing.hpp"

namespace tessarix {
namespace {

using did::imputation::fit;
using did::imputation::ImputationOptions;
using did::imputation::ImputationResult;
using testing::random_mat;
using Starts = std::vector<Panel::TreatStart>;

TEST(Imputation, TwoByTwoIsTheDifferenceInDifferences) {
  // Unit 0 treated in period 1, unit 1 never: Y(0) of unit 0 in period 1 is y00 + (y11 - y10).
  const Mat y = Mat::from_col_major(2, 2, {1.0, 2.0, 4.0, 3.5});
  const ImputationResult r = fit(Panel(y, Starts{1, std::nullopt}), {});
  EXPECT_NEAR(r.overall.att, (4.0 - 1.0) - (3.5 - 2.0), 1e-14);
  ASSERT_EQ(r.event.size(), 1u);
  EXPECT_EQ(r.event[0].key, 0);
  // A saturated design: no residual on the untreated cells, one cell per cohort and period.
  EXPECT_NEAR(r.overall.se, 0.0, 1e-14);
  EXPECT_EQ(r.n_untreated, 3u);
  EXPECT_EQ(r.n_imputed, 1u);
  EXPECT_TRUE(std::isnan(r.effects(1, 1)));
}

// Unit effects a and period effects b fitted on the untreated cells by a dense solve of the
// dummy-variable normal equations (b_0 = 0), for comparison with the Schur-complement solve.
std::vector<double> dense_effects(const Mat& y, const std::vector<std::size_t>& prefix) {
  const std::size_t n = y.rows(), t_count = y.cols(), k = n + t_count - 1;
  std::vector<std::vector<double>> a(k, std::vector<double>(k, 0.0));
  std::vector<double> rhs(k, 0.0);
  for (std::size_t u = 0; u < n; ++u) {
    if (prefix[u] == 0) a[u][u] = 1.0;  // no untreated cell: the effect is not fitted
    for (std::size_t t = 0; t < prefix[u]; ++t) {
      std::vector<std::size_t> cols{u};
      if (t > 0) cols.push_back(n + t - 1);
      for (std::size_t i : cols) {
        rhs[i] += y(u, t);
        for (std::size_t j : cols) a[i][j] += 1.0;
      }
    }
  }
  std::vector<double> x;
  EXPECT_TRUE(testing::gauss(a, rhs, x));
  return x;
}

TEST(Imputation, ImputedEffectsMatchADenseFixedEffectsSolve) {
  // Cohorts 2, 4, 5, a unit treated from period 0, never-treated units; anticipation 1.
  const Starts starts{2, 2, 4, 5, 5, std::nullopt, std::nullopt, 0, 4};
  const std::size_t t_count = 7, anticipation = 1;
  const Mat y = testing::random_walks(starts.size(), t_count, 3);
  ImputationOptions options;
  options.anticipation = anticipation;
  const ImputationResult r = fit(Panel(y, starts), options);
  std::vector<std::size_t> prefix;
  for (const auto& s : starts) prefix.push_back(!s ? t_count : (*s > anticipation ? *s - anticipation : 0));
  const std::vector<double> x = dense_effects(y, prefix);
  std::size_t imputed = 0;
  for (std::size_t u = 0; u < starts.size(); ++u) {
    for (std::size_t t = 0; t < t_count; ++t) {
      if (t < prefix[u] || prefix[u] == 0) {
        EXPECT_TRUE(std::isnan(r.effects(u, t)));
        continue;
      }
      const double counterfactual = x[u] + (t > 0 ? x[starts.size() + t - 1] : 0.0);
      EXPECT_NEAR(r.effects(u, t), y(u, t) - counterfactual, 1e-12) << u << "," << t;
      ++imputed;
    }
  }
  EXPECT_EQ(r.n_imputed, imputed);
  EXPECT_EQ(r.n_excluded, t_count);  // the unit treated from period 0
  // Horizons -1 (anticipation) .. 4 (cohort 2 in period 6), after the leads -5 .. -3 (the
  // reference period is -2; cohort 5 reaches back to -5).
  ASSERT_EQ(r.n_leads, 3u);
  std::vector<std::int64_t> keys;
  for (const did::AggEffect& e : r.event) keys.push_back(e.key);
  EXPECT_EQ(keys, (std::vector<std::int64_t>{-5, -4, -3, -1, 0, 1, 2, 3, 4}));
}

TEST(Imputation, ConstantEffectIsExactAndCovarianceIsConsistent) {
  const Starts starts{3, 3, 5, 5, 5, 2, std::nullopt, std::nullopt, std::nullopt};
  const std::size_t t_count = 8;
  Mat y(starts.size(), t_count);
  for (std::size_t u = 0; u < starts.size(); ++u) {
    for (std::size_t t = 0; t < t_count; ++t) {
      y(u, t) = 10.0 + std::sin(double(u)) * 4.0 + 0.3 * double(t * t) + (starts[u] && t >= *starts[u] ? -2.5 : 0.0);
    }
  }
  const ImputationResult r = fit(Panel(y, starts), {});
  EXPECT_NEAR(r.overall.att, -2.5, 1e-12);
  EXPECT_LT(r.overall.se, 1e-12);
  for (std::size_t k = 0; k < r.event.size(); ++k) {
    EXPECT_NEAR(r.event[k].att, k < r.n_leads ? 0.0 : -2.5, 1e-12);
  }

  // The covariance is the cross-product of the influence the standard errors come from.
  const Mat noisy = random_mat(starts.size(), t_count, 9);
  const ImputationResult n = fit(Panel(noisy, starts), {});
  ASSERT_EQ(n.vcov.rows(), n.event.size() + 1);
  for (std::size_t k = 0; k < n.event.size(); ++k) {
    EXPECT_NEAR(std::sqrt(n.vcov(k, k)), n.event[k].se, 1e-14);
    EXPECT_EQ(n.vcov(k, n.event.size()), n.vcov(n.event.size(), k));
  }
  EXPECT_NEAR(std::sqrt(n.vcov(n.event.size(), n.event.size())), n.overall.se, 1e-14);
}

TEST(Imputation, RefusesADesignWithoutImputableCell) {
  const Mat y = random_mat(4, 5, 1);
  EXPECT_FALSE(did::imputation::has_imputable_cell(Panel(y, Starts{2, 2, 2, 2}), 0));
  EXPECT_FALSE(did::imputation::has_imputable_cell(Panel(y, Starts{1, 2, std::nullopt, std::nullopt}), 2));
  EXPECT_TRUE(did::imputation::has_imputable_cell(Panel(y, Starts{1, 2, std::nullopt, std::nullopt}), 1));
  testing::expect_invariant([&] { fit(Panel(y, Starts{2, 2, 2, 2}), {}); }, "imputation: no treated cell");
}

TEST(Imputation, HonoursTheInterruptionPoll) {
  struct Stop {
    static bool poll(void*) noexcept { return true; }
  };
  const Panel panel(random_mat(6, 5, 2), Starts{2, 3, std::nullopt, std::nullopt, 3, 2});
  runtime::ScopedInterruptPoll scope(&Stop::poll, nullptr, std::chrono::milliseconds(0));
  EXPECT_THROW(fit(panel, {}), runtime::Interrupted);
}

}  // namespace
}  // namespace tessarix
