#include <cmath>

#include "inference/honest_dist.hpp"
#include "testing.hpp"

namespace tessarix::inference {
namespace {

TEST(HonestDist, TruncatedNormalQuantileInvertsItsDistribution) {
  // F(x) = (Phi(x) - Phi(lo)) / (Phi(hi) - Phi(lo)) where the difference keeps its digits.
  const double cases[][2] = {{-1.0, 2.0}, {0.3, 4.0}, {-3.0, -0.5}, {1.5, INFINITY}, {-INFINITY, 0.2}};
  for (const auto& c : cases) {
    for (double p : {0.01, 0.3, 0.9, 0.995}) {
      const double x = truncated_normal_quantile(p, c[0], c[1]);
      ASSERT_GE(x, c[0]);
      ASSERT_LE(x, c[1]);
      const double f = (normal_cdf(x) - normal_cdf(c[0])) / (normal_cdf(c[1]) - normal_cdf(c[0]));
      EXPECT_NEAR(f, p, 1e-12) << c[0] << " " << c[1] << " " << p;
    }
  }
}

TEST(HonestDist, FarTailsFollowTheExponentialLimit) {
  // Beyond erfc's range the truncated normal on [lo, inf) is lo + Exp(lo) to O(1 / lo^2).
  for (double lo : {40.0, 80.0, 200.0}) {
    const double x = truncated_normal_quantile(0.95, lo, INFINITY);
    EXPECT_NEAR((x - lo) * lo, -std::log(0.05), 10.0 / (lo * lo));
    EXPECT_GT(x, lo);
  }
  EXPECT_NEAR(truncated_normal_quantile(0.05, -INFINITY, -60.0), -60.0 + std::log(0.05) / 60.0, 1e-3);
}

TEST(HonestDist, FoldedNormalQuantile) {
  // mu = 0: the half-normal, so the two-sided normal quantile.
  EXPECT_NEAR(folded_normal_quantile(0.95, 0.0), 1.959963984540054, 1e-14);
  for (double mu : {0.1, 1.0, 3.0, 12.0}) {
    const double c = folded_normal_quantile(0.9, mu);
    EXPECT_NEAR(normal_cdf(c - mu) - normal_cdf(-c - mu), 0.9, 1e-13);
  }
  EXPECT_NEAR(normal_quantile_exact(0.975), 1.959963984540054, 1e-15);
  EXPECT_NEAR(normal_quantile_exact(1e-10), -6.361340902404056, 1e-12);
}

}  // namespace
}  // namespace tessarix::inference
