#include <cmath>
#include <random>
#include <vector>

#include "linalg/solve/logistic.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::gauss;

// n rows (1, x1, x2) with x ~ N(0, 1) and d drawn from the logit model with `beta`.
struct Sample {
  Mat x;
  std::vector<double> d;
};

Sample logit_sample(std::size_t n, std::vector<double> beta, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform;
  Sample s{Mat(n, beta.size()), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    double eta = beta[0];
    s.x(i, 0) = 1.0;
    for (std::size_t k = 1; k < beta.size(); ++k) {
      s.x(i, k) = normal(gen);
      eta += beta[k] * s.x(i, k);
    }
    s.d[i] = uniform(gen) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0;
  }
  return s;
}

// Iteratively reweighted least squares written row by row: the weighted normal equations of
// the working response z = eta + (d - p) / (p (1 - p)), a fixed number of full steps.
std::vector<double> irls_rows(const Mat& x, const std::vector<double>& d) {
  const std::size_t n = x.rows(), k = x.cols();
  std::vector<double> beta(k, 0.0);
  for (int it = 0; it < 60; ++it) {
    std::vector<std::vector<double>> a(k, std::vector<double>(k, 0.0));
    std::vector<double> r(k, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      double eta = 0.0;
      for (std::size_t j = 0; j < k; ++j) eta += x(i, j) * beta[j];
      const double p = 1.0 / (1.0 + std::exp(-eta));
      const double w = p * (1.0 - p);
      const double z = eta + (d[i] - p) / w;
      for (std::size_t j = 0; j < k; ++j) {
        r[j] += w * x(i, j) * z;
        for (std::size_t l = 0; l < k; ++l) a[j][l] += w * x(i, j) * x(i, l);
      }
    }
    EXPECT_TRUE(gauss(a, r, beta));
  }
  return beta;
}

TEST(Logit, MaximumLikelihoodAgreesWithRowWiseIrls) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    const Sample s = logit_sample(400, {-0.7, 1.2, -0.5}, seed);
    auto fit = logit(s.x, s.d);
    ASSERT_TRUE(fit.has_value());
    EXPECT_LT(fit->iterations, 15u);
    const std::vector<double> want = irls_rows(s.x, s.d);
    for (std::size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(fit->beta[k], want[k], 1e-12);
    // First-order condition: the score X'(d - p) vanishes at the fitted probabilities.
    for (std::size_t k = 0; k < s.x.cols(); ++k) {
      double score = 0.0;
      for (std::size_t i = 0; i < s.x.rows(); ++i) score += s.x(i, k) * (s.d[i] - fit->fitted[i]);
      EXPECT_NEAR(score, 0.0, 1e-10);
    }
    // n (X'WX)^-1 times X'WX / n is the identity.
    const std::size_t k = s.x.cols();
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b < k; ++b) {
        double prod = 0.0;
        for (std::size_t c = 0; c < k; ++c) {
          double h = 0.0;
          for (std::size_t i = 0; i < s.x.rows(); ++i) {
            const double p = fit->fitted[i];
            h += p * (1.0 - p) * s.x(i, c) * s.x(i, b);
          }
          prod += fit->inverse_information(a, c) * h / static_cast<double>(s.x.rows());
        }
        EXPECT_NEAR(prod, a == b ? 1.0 : 0.0, 1e-12);
      }
    }
  }
}

TEST(Logit, SaturatedModelFitsGroupShares) {
  // An intercept and one binary covariate: the fitted probabilities are the shares of ones
  // within each of the two groups, whatever the starting point or path.
  Mat x(10, 2);
  const std::vector<double> group{0, 0, 0, 0, 1, 1, 1, 1, 1, 1};
  const std::vector<double> d{1, 0, 0, 0, 1, 1, 1, 1, 0, 0};
  for (std::size_t i = 0; i < 10; ++i) {
    x(i, 0) = 1.0;
    x(i, 1) = group[i];
  }
  auto fit = logit(x, d);
  ASSERT_TRUE(fit.has_value());
  for (std::size_t i = 0; i < 10; ++i) EXPECT_NEAR(fit->fitted[i], group[i] == 1.0 ? 4.0 / 6.0 : 0.25, 1e-14);
  EXPECT_NEAR(fit->beta[0], std::log(0.25 / 0.75), 1e-13);
  EXPECT_NEAR(fit->beta[0] + fit->beta[1], std::log(2.0), 1e-13);
}

TEST(Logit, SeparationAndDegenerateDesignsFail) {
  // Complete separation: d = 1 exactly when x > 0.
  Mat x(40, 2);
  std::vector<double> d(40);
  for (std::size_t i = 0; i < 40; ++i) {
    x(i, 0) = 1.0;
    x(i, 1) = static_cast<double>(i) - 19.5;
    d[i] = x(i, 1) > 0.0 ? 1.0 : 0.0;
  }
  auto separated = logit(x, d);
  ASSERT_FALSE(separated.has_value());
  EXPECT_EQ(separated.error(), LogitFailure::Separation);
  // Quasi-complete separation: d = 0 at x = -1, d = 1 at x = 1, both outcomes at x = 0.
  Mat three(40, 2);
  for (std::size_t i = 0; i < 40; ++i) {
    three(i, 0) = 1.0;
    three(i, 1) = i < 15 ? -1.0 : i < 25 ? 0.0 : 1.0;
    d[i] = i < 15 ? 0.0 : i < 25 ? static_cast<double>(i % 2) : 1.0;
  }
  auto quasi = logit(three, d);
  ASSERT_FALSE(quasi.has_value());
  EXPECT_TRUE(quasi.error() == LogitFailure::Separation || quasi.error() == LogitFailure::NotConverged);
  // Without separation the same design fits.
  for (std::size_t i = 0; i < 40; ++i) d[i] = static_cast<double>((i * 7) % 3 == 0);
  EXPECT_TRUE(logit(x, d).has_value());
  // Two identical columns.
  Mat twice(40, 3);
  for (std::size_t i = 0; i < 40; ++i) {
    twice(i, 0) = 1.0;
    twice(i, 1) = twice(i, 2) = x(i, 1);
  }
  auto collinear = logit(twice, d);
  ASSERT_FALSE(collinear.has_value());
  EXPECT_EQ(collinear.error(), LogitFailure::Singular);
  // One outcome only.
  auto constant = logit(x, std::vector<double>(40, 1.0));
  ASSERT_FALSE(constant.has_value());
  EXPECT_EQ(constant.error(), LogitFailure::Empty);
}

}  // namespace
}  // namespace tessarix::linalg
