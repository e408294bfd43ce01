#include <cmath>
#include <limits>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/scale.hpp"
#include "testing.hpp"

namespace tessarix {
namespace {

using testing::expect_invariant;
using testing::random_mat;
using Starts = std::vector<Panel::TreatStart>;

TEST(Panel, UnitSelectionsAndCohorts) {
  const Panel none(random_mat(3, 4, 1), Starts(3));
  EXPECT_TRUE(none.treated_units().empty());
  EXPECT_TRUE(none.cohorts().empty());
  EXPECT_EQ(none.never_treated_units(), (std::vector<std::size_t>{0, 1, 2}));

  const Panel p(random_mat(5, 8, 2), Starts{5, 3, 5, std::nullopt, 3});
  EXPECT_EQ(p.cohorts(), (std::vector<std::size_t>{3, 5}));
  // Starts at or past the last period are representable and still listed, in order.
  EXPECT_EQ(Panel(Mat(4, 3), Starts{9, 0, 4, 9}).cohorts(), (std::vector<std::size_t>{0, 4, 9}));
  EXPECT_EQ(p.treated_units(), (std::vector<std::size_t>{0, 1, 2, 4}));
  EXPECT_EQ(p.never_treated_units(), (std::vector<std::size_t>{3}));
  expect_invariant([] { Panel(Mat(3, 2), Starts(2)); }, "treat_start length 2 != n_units 3");
}

TEST(Panel, BlockDesignAndCovariates) {
  const std::vector<std::size_t> twice{1, 1};
  const Panel p = Panel::block(random_mat(4, 6, 3), twice, 2);
  EXPECT_EQ(p.treated_units(), (std::vector<std::size_t>{1}));
  EXPECT_EQ(p.treat_start()[1], std::optional<std::size_t>(2));
  const std::vector<std::size_t> bad{4};
  expect_invariant([&] { (void)Panel::block(Mat(4, 6), bad, 2); },
                   "treated unit index 4 out of range");

  Panel q = Panel(Mat(4, 6), Starts(4)).with_covariates(random_mat(4, 2, 4));
  q = std::move(q).with_covariates(random_mat(4, 3, 5));
  ASSERT_TRUE(q.covariates().has_value());
  EXPECT_EQ(q.covariates()->cols(), 3u);
  expect_invariant([] { (void)Panel(Mat(4, 6), Starts(4)).with_covariates(Mat(3, 2)); },
                   "covariate rows 3 != n_units 4");
}

TEST(Panel, DonorBlocksAndUnitMean) {
  const Mat y = random_mat(4, 6, 6);
  const Panel p = Panel::block(y, std::vector<std::size_t>{0, 2}, 4);
  const DonorBlock pre = p.donor_pre(4);
  EXPECT_EQ(pre.ids, (std::vector<std::size_t>{1, 3}));
  ASSERT_EQ(pre.mat.rows(), 4u);
  ASSERT_EQ(pre.mat.cols(), 2u);
  EXPECT_EQ(pre.mat(3, 1), y(3, 3));
  const DonorBlock post = p.donor_post(4);
  ASSERT_EQ(post.mat.rows(), 2u);
  EXPECT_EQ(post.mat(1, 0), y(1, 5));
  EXPECT_EQ(p.donor_pre(0).mat.rows(), 0u);
  EXPECT_EQ(p.donor_pre(0).mat.cols(), 2u);
  EXPECT_EQ(p.donor_post(6).mat.rows(), 0u);
  expect_invariant([&] { (void)p.donor_post(7); }, "donor_post: t0 7 > n_periods 6");

  const std::vector<double> twice = p.unit_mean(std::vector<std::size_t>{2, 2});
  for (std::size_t t = 0; t < 6; ++t) EXPECT_EQ(twice[t], y(2, t));
  EXPECT_EQ(p.unit_mean({}), std::vector<double>(6, 0.0));
  const std::vector<double> avg = p.unit_mean(std::vector<std::size_t>{0, 3});
  EXPECT_EQ(avg[1], (y(0, 1) + y(3, 1)) * 0.5);
  expect_invariant([&] { (void)p.unit_mean(std::vector<std::size_t>{4}); }, "unit index 4");
}

TEST(FitSummaries, MeanAndScaledRms) {
  EXPECT_EQ(mean({}), 0.0);
  EXPECT_EQ(mean(std::vector<double>{1, 2, 4}), 7.0 / 3.0);
  EXPECT_EQ(rms({}), 0.0);
  EXPECT_DOUBLE_EQ(rms(std::vector<double>{3, -4}), 5.0 / std::sqrt(2.0));
  // No overflow where the naive sum of squares would be infinite.
  EXPECT_DOUBLE_EQ(rms(std::vector<double>{1e300, 1e300}), 1e300);
}

TEST(Rescaling, LargestMagnitudeCountsWhereverItSits) {
  // The scan runs four values at a time plus a tail; NaN entries never count. 1e-300 lies in
  // binade 2^-997, the other entries (2e-301) in a lower one.
  for (std::size_t n = 1; n <= 11; ++n) {
    for (std::size_t at = 0; at < n; ++at) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " at " << at);
      std::vector<double> x(n, 2e-301);
      if (n > 1) x[(at + 1) % n] = std::numeric_limits<double>::quiet_NaN();
      x[at] = -1e-300;
      EXPECT_EQ(square_safe_exponent(x), 997);
    }
  }
}

TEST(Rescaling, OnlyOutsideTheOrdinaryRangeToTheCanonicalBinade) {
  struct Case {
    double largest;
    int exponent;  // 2^exponent * largest lies in [1, 2), or 0 for "fitted as it is"
  };
  const double top = std::ldexp(1.0, kMaxOrdinaryExp);
  for (const Case& c : {Case{0.0, 0}, Case{1.0, 0}, Case{1.5, 0}, Case{std::nextafter(top, 0.0), 0},
                        Case{top, -kMaxOrdinaryExp}, Case{0.75, 1}, Case{1e-300, 997},
                        Case{4.9e-324, 1074}, Case{1.7e308, -1023}}) {
    SCOPED_TRACE(::testing::Message() << "largest " << c.largest);
    Mat y(2, 2);
    y(1, 0) = -c.largest;  // the magnitude counts, not the sign
    y(0, 1) = c.largest / 4.0;
    EXPECT_EQ(rescale_exponent(y), c.exponent);
    if (c.exponent == 0 || c.largest == 0.0) continue;
    const double canonical = std::fabs(rescaled(y, c.exponent)(1, 0));
    EXPECT_GE(canonical, 1.0);
    EXPECT_LT(canonical, 2.0);
  }
  // Penalties in squared units move by 2^(2e), saturating without losing "present".
  EXPECT_EQ(rescaled_sq(3.0, -2), 3.0 / 16.0);
  EXPECT_EQ(rescaled_sq(1e-3, 1000), std::numeric_limits<double>::infinity());
  EXPECT_EQ(rescaled_sq(1e-3, -1000), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(rescaled_sq(0.0, -1000), 0.0);
}

}  // namespace
}  // namespace tessarix
