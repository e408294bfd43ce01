// The pre-period gaps of the synthetic-control family and the SDID intercept: each fit's
// synthetic pre-period path rebuilt independently from its weights, the augmented gap
// against a direct solve of lambda (K + lambda I)^-1 r, and the intercept against the
// counterfactual and the effect it must reproduce; at the ordinary and at an extreme scale.
#include <cmath>
#include <optional>

#include "estimators/mcnnm/softimpute.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"
#include "testing.hpp"

namespace tessarix::sc {
namespace {

// Far outside the ordinary range: these panels are fitted at their canonical scale, and every
// path must come back in outcome units.
constexpr int kHugeExp = 700;

Mat scaled(Mat y, int e) {
  for (double& v : y.data()) v = std::ldexp(v, e);
  return y;
}

// The pieces of a panel a test re-derives a fit from.
struct Blocks {
  Mat x0, x1;
  std::vector<double> ybar;  // treated mean, every period
};

Blocks blocks_of(const Panel& p, std::size_t t0) {
  return {p.donor_pre(t0).mat, p.donor_post(t0).mat, p.unit_mean(p.treated_units())};
}

// x(row, .) . w, summed in donor order.
double row_dot(const Mat& x, std::size_t row, std::span<const double> w) {
  double s = 0.0;
  for (std::size_t j = 0; j < w.size(); ++j) s += x(row, j) * w[j];
  return s;
}

// sqrt(mean (x - mean x)^2), computed on x 2^-e so that the squares stay in range.
double rms_around_mean(std::span<const double> x, int e) {
  double m = 0.0;
  for (double v : x) m += std::ldexp(v, -e);
  m /= double(x.size());
  double ss = 0.0;
  for (double v : x) ss += (std::ldexp(v, -e) - m) * (std::ldexp(v, -e) - m);
  return std::ldexp(std::sqrt(ss / double(x.size())), e);
}

double plain_rms(std::span<const double> x) {
  double ss = 0.0;
  for (double v : x) ss += v * v;
  return std::sqrt(ss / double(x.size()));
}

// SC, FP and RSC: the gap is y_pre minus the synthetic path their weights give.
TEST(PreGap, TreatedMinusTheWeightedDonors) {
  const std::size_t t0 = 9;
  for (int e : {0, kHugeExp}) {
    SCOPED_TRACE(::testing::Message() << "scale 2^" << e);
    const Mat y = scaled(testing::random_walks(8, 13, 41), e);
    const Panel p = Panel::block(y, std::vector<std::size_t>{1, 5}, t0);
    const Blocks b = blocks_of(p, t0);
    const double tol = std::ldexp(1e-9, e);

    const ScFit sc = synthetic::fit_at(p, t0, {0.0, 0.7, 0.1, 0.0});
    const ScFit rsc = robust::fit_at(p, t0, {std::size_t{3}, 0.999, 0.0});
    const ScFit fp = demeaned::fit_at(p, t0, {});
    double mean_y = 0.0;
    std::vector<double> mean_x(b.x0.cols(), 0.0);
    for (std::size_t t = 0; t < t0; ++t) {
      mean_y += b.ybar[t] / double(t0);
      for (std::size_t j = 0; j < b.x0.cols(); ++j) mean_x[j] += b.x0(t, j) / double(t0);
    }
    for (const ScFit* f : {&sc, &rsc, &fp}) {
      ASSERT_EQ(f->pre_gap.size(), t0);
      EXPECT_GT(rms(f->pre_gap), 0.0);
    }
    for (std::size_t t = 0; t < t0; ++t) {
      EXPECT_NEAR(sc.pre_gap[t], b.ybar[t] - row_dot(b.x0, t, sc.weights), tol) << t;
      // The robust weights reproduce the de-noised fit on the raw donors.
      EXPECT_NEAR(rsc.pre_gap[t], b.ybar[t] - row_dot(b.x0, t, rsc.weights), tol) << t;
      // Demeaned: the treated level plus the weighted deviations from the donors' own levels.
      double dev = 0.0;
      for (std::size_t j = 0; j < b.x0.cols(); ++j) dev += fp.weights[j] * (b.x0(t, j) - mean_x[j]);
      EXPECT_NEAR(fp.pre_gap[t], b.ybar[t] - (mean_y + dev), tol) << t;
    }
    // pre_rmspe measures exactly this gap, at every scale.
    for (const ScFit* f : {&sc, &rsc, &fp}) EXPECT_EQ(rms(f->pre_gap), f->pre_rmspe);
  }
}

// The augmented gap is lambda (K + lambda I)^-1 r, solved here by elimination, on the
// Cholesky route (the default strength) and on the SVD route (a strength far below trace(K)
// with fewer donors than pre-periods, so K is singular and part of r passes unchanged).
TEST(PreGap, AugmentedIsTheRidgeResidualOfTheImbalance) {
  const std::size_t t0 = 8;
  const Mat y = testing::random_walks(6, 11, 43);  // 5 donors: rank(K) <= 4 < t0
  const Panel p = Panel::block(y, std::vector<std::size_t>{0}, t0);
  const Blocks b = blocks_of(p, t0);
  const std::size_t j_count = b.x0.cols();
  Mat xc = b.x0;
  double trace = 0.0;
  for (std::size_t t = 0; t < t0; ++t) {
    double m = 0.0;
    for (std::size_t j = 0; j < j_count; ++j) m += b.x0(t, j);
    for (std::size_t j = 0; j < j_count; ++j) {
      xc(t, j) -= m / double(j_count);
      trace += xc(t, j) * xc(t, j);
    }
  }
  for (double lambda : {0.1 * trace / double(t0), 1e-8 * trace}) {
    SCOPED_TRACE(::testing::Message() << "lambda " << lambda);
    const ScFit f = augmented::fit_at(p, t0, {lambda, 0.0, 0.0, 1.0});
    std::vector<double> r(t0);
    for (std::size_t t = 0; t < t0; ++t) r[t] = b.ybar[t] - row_dot(b.x0, t, f.weights);
    std::vector<std::vector<double>> k_ridge(t0, std::vector<double>(t0, 0.0));
    for (std::size_t s = 0; s < t0; ++s) {
      for (std::size_t t = 0; t < t0; ++t) {
        for (std::size_t j = 0; j < j_count; ++j) k_ridge[s][t] += xc(s, j) * xc(t, j);
      }
      k_ridge[s][s] += lambda;
    }
    std::vector<double> v;
    ASSERT_TRUE(testing::gauss(k_ridge, r, v));
    ASSERT_EQ(f.pre_gap.size(), t0);
    double moved = 0.0;
    for (std::size_t t = 0; t < t0; ++t) {
      EXPECT_NEAR(f.pre_gap[t], lambda * v[t], 1e-7) << t;
      moved = std::fmax(moved, std::fabs(f.pre_gap[t] - r[t]));
    }
    EXPECT_GT(moved, 1e-3);  // the adjusted gap is not the plain residual
    EXPECT_NEAR(f.pre_rmspe, plain_rms(r), 1e-12);  // which pre_rmspe still measures
  }
  // Without a positive ridge there is no adjustment: the gap is the plain residual.
  const ScFit plain = augmented::fit_at(p, t0, {0.0, 0.0, 0.0, 1.0});
  EXPECT_EQ(plain.pre_gap, synthetic::fit_at(p, t0, {}).pre_gap);
}

// The intercept turns the weighted donors into the counterfactual and the effect, and the
// pre-period gap is measured against it, so its spread is pre_rmspe.
TEST(SdidIntercept, RebuildsTheCounterfactualTheEffectAndThePreGap) {
  const std::size_t t0 = 7, t_count = 11;
  for (int e : {0, kHugeExp}) {
    SCOPED_TRACE(::testing::Message() << "scale 2^" << e);
    const Mat y = scaled(testing::random_walks(9, t_count, 47), e);
    const Panel p = Panel::block(y, std::vector<std::size_t>{2, 3}, t0);
    const Blocks b = blocks_of(p, t0);
    const sdid::SdidFit full = sdid::fit_with_time_weights(p, t0, {0.0, 1.0, 1.0});
    const ScFit& f = full.fit;
    const double tol = std::ldexp(1e-9, e);
    EXPECT_GT(std::fabs(full.intercept), std::ldexp(1e-3, e));  // a level to absorb

    double post_gap = 0.0;
    for (std::size_t k = 0; k < t_count - t0; ++k) {
      const double synthetic = row_dot(b.x1, k, f.weights) + full.intercept;
      EXPECT_NEAR(f.counterfactual[k], synthetic, tol) << k;
      post_gap += b.ybar[t0 + k] - row_dot(b.x1, k, f.weights);
    }
    EXPECT_NEAR(f.att, post_gap / double(t_count - t0) - full.intercept, tol);

    ASSERT_EQ(f.pre_gap.size(), t0);
    for (std::size_t t = 0; t < t0; ++t) {
      EXPECT_NEAR(f.pre_gap[t], b.ybar[t] - row_dot(b.x0, t, f.weights) - full.intercept, tol) << t;
    }
    EXPECT_NEAR(rms_around_mean(f.pre_gap, e), f.pre_rmspe, tol);
  }
}

// Matrix completion with two treated units of the same path: the gap is their common
// residual, whose RMS is pre_rmspe; on exactly additive data it vanishes.
TEST(PreGap, MatrixCompletionAveragesTheTreatedResiduals) {
  const std::size_t t0 = 10;
  Mat y = testing::random_walks(9, 14, 53);
  for (std::size_t t = 0; t < 14; ++t) y(8, t) = y(4, t);
  const ScFit f = mcnnm::fit_at(Panel::block(y, std::vector<std::size_t>{4, 8}, t0), t0, {});
  ASSERT_EQ(f.pre_gap.size(), t0);
  EXPECT_NEAR(plain_rms(f.pre_gap), f.pre_rmspe, 1e-9);
  EXPECT_GT(f.pre_rmspe, 1e-6);

  Mat additive(8, 12);
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t t = 0; t < 12; ++t) additive(i, t) = 3.0 * double(i % 3) + 0.2 * double(t * t) + (i < 2 && t >= 9 ? 1.5 : 0.0);
  }
  const ScFit a = mcnnm::fit_at(Panel::block(additive, std::vector<std::size_t>{0, 1}, 9), 9, {});
  ASSERT_EQ(a.pre_gap.size(), 9u);
  for (double g : a.pre_gap) EXPECT_NEAR(g, 0.0, 1e-9);
  for (double g : a.att_path) EXPECT_NEAR(g, 1.5, 1e-9);
}

}  // namespace
}  // namespace tessarix::sc
