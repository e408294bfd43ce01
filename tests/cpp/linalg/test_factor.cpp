#include <cmath>

#include "linalg/factor/cholesky.hpp"
#include "linalg/factor/qr.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/transform.hpp"
#include "linalg/solve/lstsq.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::expect_invariant;
using testing::random_mat;

double max_abs_diff(const Mat& a, const Mat& b) {
  double r = 0.0;
  for (std::size_t k = 0; k < a.data().size(); ++k) r = std::max(r, std::fabs(a.data()[k] - b.data()[k]));
  return r;
}

Mat product(const Mat& a, const Mat& b) {
  Mat c(a.rows(), b.cols());
  gemm(a, b, c, 1.0, 0.0);
  return c;
}

Mat upper_r(const Qr& qr) {
  Mat r(qr.n(), qr.n());
  for (std::size_t j = 0; j < qr.n(); ++j)
    for (std::size_t i = 0; i <= j; ++i) r(i, j) = qr.factors()(i, j);
  return r;
}

std::vector<double> col_vec(const Mat& m) { return {m.data().begin(), m.data().end()}; }

TEST(Householder, WorkedReflectors) {
  const Householder a = Householder::make(std::vector<double>{3, 4});
  EXPECT_DOUBLE_EQ(a.beta, -5.0);
  EXPECT_DOUBLE_EQ(a.tau, 1.6);
  EXPECT_DOUBLE_EQ(a.v[1], 0.5);
  EXPECT_EQ(a.v[0], 1.0);
  const Householder b = Householder::make(std::vector<double>{-3, 0});
  EXPECT_EQ(b.tau, 2.0);
  EXPECT_EQ(b.beta, 3.0);
  const Householder c = Householder::make(std::vector<double>{2, 0});
  EXPECT_EQ(c.tau, 0.0);
  EXPECT_EQ(c.beta, 2.0);
  const Householder e = Householder::make({});
  EXPECT_TRUE(e.v.empty());
  EXPECT_EQ(e.tau, 0.0);
  // No overflow in the norm of huge entries.
  const Householder h = Householder::make(std::vector<double>{3e300, 4e300});
  EXPECT_DOUBLE_EQ(h.beta, -5e300);
}

TEST(Qr, RejectsWideMatrices) {
  const auto qr = Qr::make(Mat(2, 3));
  ASSERT_FALSE(qr);
  EXPECT_EQ(qr.error(), LinalgError::dim_mismatch(3, 2));
  EXPECT_EQ(qr.error().debug(), "DimMismatch { expected: 3, got: 2 }");
}

TEST(Qr, OrthonormalFactorsReconstructTheMatrix) {
  for (auto [m, n] : {std::pair{20, 5}, {7, 7}, {9, 1}, {3, 0}}) {
    const Mat a = random_mat(m, n, 100 + m);
    const auto qr = Qr::make(a);
    ASSERT_TRUE(qr);
    const Mat q = qr->q_thin();
    ASSERT_EQ(q.rows(), std::size_t(m));
    ASSERT_EQ(q.cols(), std::size_t(n));
    EXPECT_LT(max_abs_diff(product(q.transpose(), q), Mat::identity(n)), 1e-14);
    EXPECT_LT(max_abs_diff(product(q, upper_r(*qr)), a), 1e-14);
  }
}

TEST(Lstsq, ResidualIsOrthogonalToTheColumns) {
  // A well-conditioned and an ill-conditioned (scaled polynomial, cond ~ 1e9) design.
  Mat poly(40, 6);
  for (std::size_t i = 0; i < 40; ++i)
    for (std::size_t j = 0; j < 6; ++j) poly(i, j) = std::pow(double(i) / 39.0, double(j)) * std::pow(10.0, double(j));
  for (const Mat& x : {random_mat(30, 6, 7), poly}) {
    const std::vector<double> y = col_vec(random_mat(x.rows(), 1, 8));
    const auto beta = ols(x, y);
    ASSERT_TRUE(beta);
    std::vector<double> resid = matvec(x, *beta);
    for (std::size_t i = 0; i < y.size(); ++i) resid[i] = y[i] - resid[i];
    std::vector<double> xtr(x.cols());
    gemv_t(x, resid, xtr, 1.0, 0.0);
    for (std::size_t j = 0; j < x.cols(); ++j) {
      double colnorm = 0.0;
      for (double v : x.col(j)) colnorm += v * v;
      EXPECT_LT(std::fabs(xtr[j]), 1e-10 * std::sqrt(colnorm)) << j;
    }
  }
}

TEST(Lstsq, DependentColumnsGetExactZeroCoefficients) {
  const Mat base = random_mat(12, 2, 3);
  Mat x(12, 4);
  for (std::size_t i = 0; i < 12; ++i) {
    x(i, 0) = base(i, 0);
    x(i, 1) = base(i, 0);                         // a copy of column 0
    x(i, 2) = base(i, 1);
    x(i, 3) = 2.0 * base(i, 0) - 0.5 * base(i, 1);  // a combination of the others
  }
  const std::vector<double> y = col_vec(random_mat(12, 1, 4));
  const auto beta = ols(x, y);
  ASSERT_TRUE(beta);
  EXPECT_EQ((*beta)[1], 0.0);
  EXPECT_EQ((*beta)[3], 0.0);
  const auto reduced = ols(base, y);
  EXPECT_NEAR((*beta)[0], (*reduced)[0], 1e-12);
  EXPECT_NEAR((*beta)[2], (*reduced)[1], 1e-12);
  expect_invariant([&] { (void)Qr::make(x)->solve_lstsq(std::vector<double>(11)); }, "solve_lstsq");

  // Two identical columns, the copy last: 0 for the copy and the full fit on the first.
  Mat pair(12, 2);
  for (std::size_t i = 0; i < 12; ++i) pair(i, 0) = pair(i, 1) = base(i, 0);
  const auto two = ols(pair, y);
  const auto single = ols(Mat::from_col_major(12, 1, {base.col(0).begin(), base.col(0).end()}), y);
  EXPECT_EQ((*two)[1], 0.0);
  EXPECT_EQ((*two)[0], (*single)[0]);
}

TEST(Cholesky, FailingPivots) {
  const auto indefinite = Cholesky::make(Mat::from_col_major(2, 2, {1, 2, 2, 1}));
  ASSERT_FALSE(indefinite);
  EXPECT_EQ(indefinite.error(), LinalgError::not_positive_definite(1));
  EXPECT_EQ(Cholesky::make(Mat(1, 1)).error(), LinalgError::not_positive_definite(0));
  EXPECT_EQ(Cholesky::make(Mat(3, 2)).error(), LinalgError::not_square(3, 2));
  Mat nan_pivot = Mat::identity(2);
  nan_pivot(1, 1) = std::nan("");
  EXPECT_EQ(Cholesky::make(nan_pivot).error(), LinalgError::not_positive_definite(1));
  EXPECT_TRUE(Cholesky::make(Mat(0, 0)));
}

TEST(Cholesky, FactorAndSolve) {
  const Mat x = random_mat(15, 6, 9);
  const Mat a = syrk_ata(x);
  const auto c = Cholesky::make(a);
  ASSERT_TRUE(c);
  EXPECT_LT(max_abs_diff(product(c->l(), c->l().transpose()), a), 1e-13);
  for (std::size_t i = 0; i < 6; ++i)
    for (std::size_t j = i + 1; j < 6; ++j) EXPECT_EQ(c->l()(i, j), 0.0);
  const std::vector<double> b = col_vec(random_mat(6, 1, 10));
  const std::vector<double> sol = c->solve_vec(b);
  const std::vector<double> back = matvec(a, sol);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(back[i], b[i], 1e-12);
  expect_invariant([&] { (void)c->solve_vec(std::vector<double>(5)); }, "rhs length 5 != system size 6");

  // Only the lower triangle is read.
  Mat junk_upper = a;
  junk_upper(0, 5) = 1e300;
  EXPECT_EQ(Cholesky::make(junk_upper)->l(), c->l());
  // A ridge makes a semi-definite Gram matrix with a zero column factorable.
  Mat with_zero = random_mat(8, 3, 11);
  for (double& v : with_zero.col(1)) v = 0.0;
  EXPECT_FALSE(Cholesky::make(syrk_ata(with_zero)));
  EXPECT_TRUE(Cholesky::make_ridge(syrk_ata(with_zero), 1e-6));
}

// Ridge coefficients from the stacked least-squares problem [X; sqrt(lambda) I] b = [y; 0],
// solved by QR: another way to the same answer for moderate lambda.
std::vector<double> stacked_ridge(const Mat& x, const std::vector<double>& y, double lambda) {
  const std::size_t m = x.rows(), n = x.cols();
  Mat a(m + n, n);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < m; ++i) a(i, j) = x(i, j);
    a(m + j, j) = std::sqrt(lambda);
  }
  std::vector<double> rhs(y);
  rhs.resize(m + n, 0.0);
  return *ols(a, rhs);
}

TEST(Ridge, MatchesTheStackedLeastSquaresProblem) {
  struct Case {
    std::size_t m, n;
    double lambda;
  };
  for (const Case& c : {Case{25, 4, 2.5}, Case{25, 4, 1e-3}, Case{6, 11, 0.7}, Case{11, 11, 40.0}}) {
    SCOPED_TRACE(::testing::Message() << c.m << " x " << c.n << ", lambda " << c.lambda);
    const Mat x = random_mat(c.m, c.n, 12 + c.m);
    const std::vector<double> y = col_vec(random_mat(c.m, 1, 13 + c.n));
    const std::vector<double> b = ridge(x, y, c.lambda);
    const std::vector<double> ref = stacked_ridge(x, y, c.lambda);
    for (std::size_t j = 0; j < c.n; ++j) EXPECT_NEAR(b[j], ref[j], 1e-12);
  }
  // lambda -> 0 on a full-rank design is least squares; an infinite lambda shrinks to zero.
  const Mat x = random_mat(25, 4, 12);
  const std::vector<double> y = col_vec(random_mat(25, 1, 13));
  const std::vector<double> b0 = ridge(x, y, 0.0);
  const std::vector<double> bo = *ols(x, y);
  for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(b0[j], bo[j], 1e-12);
  EXPECT_EQ(ridge(x, y, std::numeric_limits<double>::infinity()), std::vector<double>(4, 0.0));
  EXPECT_EQ(ridge(Mat(0, 3), {}, 1.0), std::vector<double>(3, 0.0));
}

TEST(Ridge, SoundForTinyPenaltiesOnRankDeficientDesignsAtAnyScale) {
  // X = [a, a, c]: the normal matrix is singular, and X^T X + lambda I loses positive
  // definiteness in rounding once lambda is small against the data. The ridge solution
  // tends to the minimum-norm least-squares one, which splits a's coefficient evenly.
  const Mat base = random_mat(30, 2, 21);
  const std::vector<double> y = col_vec(random_mat(30, 1, 22));
  Mat x(30, 3);
  for (std::size_t i = 0; i < 30; ++i) x(i, 0) = x(i, 1) = base(i, 0), x(i, 2) = base(i, 1);
  const std::vector<double> ls = *ols(base, y);
  for (int e : {0, 300, -300}) {
    for (double lambda : {1e-30, 1e-12}) {
      SCOPED_TRACE(::testing::Message() << "scale 2^" << e << ", lambda " << lambda);
      Mat xs = x;
      for (double& v : xs.data()) v = std::ldexp(v, e);
      std::vector<double> ys = y;
      for (double& v : ys) v = std::ldexp(v, e);
      const std::vector<double> b = ridge(xs, ys, std::ldexp(lambda, 2 * e));
      EXPECT_NEAR(b[0], ls[0] / 2.0, 1e-9);
      EXPECT_NEAR(b[1], ls[0] / 2.0, 1e-9);
      EXPECT_NEAR(b[2], ls[1], 1e-9);
    }
  }
}

}  // namespace
}  // namespace tessarix::linalg
