#include <cmath>

#include "estimators/did/twfe.hpp"
#include "estimators/fe/within.hpp"
#include "testing.hpp"

namespace tessarix {
namespace {

using testing::random_mat;
using Starts = std::vector<Panel::TreatStart>;

double max_abs(const Mat& m) {
  double r = 0.0;
  for (double v : m.data()) r = std::max(r, std::fabs(v));
  return r;
}

TEST(Within, MeansAndDegenerateShapes) {
  const Mat y = Mat::from_col_major(2, 3, {1, 3, 2, 6, 3, 9});
  EXPECT_EQ(fe::time_means(y), (std::vector<double>{2, 4, 6}));
  EXPECT_EQ(fe::unit_means(y), (std::vector<double>{2, 6}));
  for (double v : fe::time_means(Mat(0, 3))) EXPECT_TRUE(std::isnan(v));
  for (double v : fe::unit_means(Mat(3, 0))) EXPECT_TRUE(std::isnan(v));
  EXPECT_TRUE(fe::two_way_within(Mat(0, 4)).empty());
}

TEST(Within, RemovesAdditiveEffectsAndIsIdempotent) {
  Mat y(5, 7);
  for (std::size_t u = 0; u < 5; ++u)
    for (std::size_t t = 0; t < 7; ++t) y(u, t) = 10.0 * double(u) - 3.5 * double(t * t);
  EXPECT_LT(max_abs(fe::two_way_within(y)), 1e-12);

  const Mat r = random_mat(6, 9, 3);
  const Mat w = fe::two_way_within(r);
  const Mat ww = fe::two_way_within(w);
  for (std::size_t k = 0; k < w.data().size(); ++k) EXPECT_NEAR(w.data()[k], ww.data()[k], 1e-14);
  for (double m : fe::time_means(w)) EXPECT_NEAR(m, 0.0, 1e-14);
  for (double m : fe::unit_means(w)) EXPECT_NEAR(m, 0.0, 1e-14);
}

TEST(Twfe, TreatmentMatrix) {
  const Panel p(Mat(3, 4), Starts{0, 2, std::nullopt});
  const Mat d = did::twfe::treatment_matrix(p);
  EXPECT_EQ(d, Mat::from_col_major(3, 4, {1, 0, 0, 1, 0, 0, 1, 1, 0, 1, 1, 0}));
}

TEST(Twfe, TwoByTwoEqualsDifferenceInDifferences) {
  // Two units, two periods: the TWFE slope is the classic DiD of the four cells.
  const Mat y = Mat::from_col_major(2, 2, {1.0, 2.0, 4.0, 3.5});
  const did::twfe::TwfeFit f = did::twfe::fit(Panel(y, Starts{1, std::nullopt}));
  EXPECT_NEAR(f.att, (4.0 - 1.0) - (3.5 - 2.0), 1e-14);
  EXPECT_EQ(f.n_clusters, 2u);
  // A saturated 2x2 design has zero residuals, hence a zero clustered SE.
  EXPECT_NEAR(f.se, 0.0, 1e-14);
}

TEST(Twfe, DegenerateDesigns) {
  // Nobody treated: the demeaned indicator is zero, so att = se = 0.
  const did::twfe::TwfeFit none = did::twfe::fit(Panel(random_mat(4, 5, 1), Starts(4)));
  EXPECT_EQ(none.att, 0.0);
  EXPECT_EQ(none.se, 0.0);
  EXPECT_EQ(none.n_clusters, 4u);
}

// The clustered SE recomputed from the unit scores, with the given small-sample factor.
double se_from_scores(const Panel& p, double att, double factor) {
  const Mat d = fe::two_way_within(did::twfe::treatment_matrix(p));
  const Mat w = fe::two_way_within(p.y());
  double sxx = 0.0, meat = 0.0;
  for (double v : d.data()) sxx += v * v;
  for (std::size_t u = 0; u < p.n_units(); ++u) {
    double score = 0.0;
    for (std::size_t k = 0; k < p.n_periods(); ++k) score += d(u, k) * (w(u, k) - att * d(u, k));
    meat += score * score;
  }
  return sxx > 0.0 ? std::sqrt(meat * factor / (sxx * sxx)) : 0.0;
}

TEST(Twfe, RecoversAConstantEffectAndUsesTheClusterFactor) {
  const std::size_t n = 9, t = 8;
  Mat y = random_mat(n, t, 21);
  Starts s(n);
  s[0] = s[1] = s[2] = 3;
  s[3] = s[4] = 5;
  for (std::size_t u = 0; u < n; ++u)
    for (std::size_t k = 0; k < t; ++k) {
      y(u, k) = 0.01 * y(u, k) + double(u) + 0.5 * double(k);
      if (s[u] && k >= *s[u]) y(u, k) += 2.0;
    }
  const Panel p(y, s);
  const did::twfe::TwfeFit f = did::twfe::fit(p);
  EXPECT_NEAR(f.att, 2.0, 0.02);
  EXPECT_GT(f.se, 0.0);
  EXPECT_NEAR(f.se, se_from_scores(p, f.att, 9.0 / 8.0), 1e-15);
}

TEST(Twfe, SingleUnitHasNoClusterFactor) {
  const Panel p(random_mat(1, 5, 2), Starts{2});
  const did::twfe::TwfeFit f = did::twfe::fit(p);
  EXPECT_EQ(f.n_clusters, 1u);
  EXPECT_NEAR(f.se, se_from_scores(p, f.att, 1.0), 1e-12 * (1.0 + f.se));
}

}  // namespace
}  // namespace tessarix
