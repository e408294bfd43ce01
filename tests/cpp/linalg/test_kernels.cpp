#include <cmath>
#include <compare>
#include <limits>

#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/ops/order.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::expect_invariant;
using testing::random_mat;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Reference product with the kernel's accumulation order (p ascending from 0.0), so that the
// comparison is exact, not approximate.
Mat reference_product(const Mat& a, const Mat& b, double alpha) {
  Mat c(a.rows(), b.cols());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < b.cols(); ++j) {
      double s = 0.0;
      for (std::size_t p = 0; p < a.cols(); ++p) s += (alpha * b(p, j)) * a(i, p);
      c(i, j) = s;
    }
  return c;
}

TEST(Gemm, MatchesReferenceBitForBit) {
  for (auto [m, k, n] : {std::tuple{7, 5, 3}, {1, 9, 1}, {13, 1, 6}, {4, 4, 4}}) {
    const Mat a = random_mat(m, k, 11);
    const Mat b = random_mat(k, n, 12);
    Mat c(m, n);
    gemm(a, b, c, 0.75, 0.0);
    EXPECT_EQ(c, reference_product(a, b, 0.75));
  }
}

TEST(Gemm, BetaRulesAndZeroSkip) {
  const Mat a = random_mat(3, 2, 1);
  const Mat b = random_mat(2, 2, 2);
  // beta == 0 never reads C: NaN contents do not survive.
  Mat c(3, 2);
  for (double& v : c.data()) v = kNaN;
  gemm(a, b, c, 1.0, 0.0);
  EXPECT_EQ(c, reference_product(a, b, 1.0));
  // alpha == 0 only scales C; beta == 1 leaves it as is.
  Mat d = random_mat(3, 2, 3);
  const Mat d0 = d;
  gemm(a, b, d, 0.0, 2.0);
  for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(d.data()[k], 2.0 * d0.data()[k]);
  Mat e = d0;
  gemm(a, b, e, 0.0, 1.0);
  EXPECT_EQ(e, d0);
  // A zero entry of B skips its column of A, even when that column holds inf and NaN.
  Mat a_bad = a;
  a_bad(0, 1) = kInf;
  a_bad(2, 1) = kNaN;
  Mat b_zero = b;
  b_zero(1, 0) = 0.0;
  b_zero(1, 1) = 0.0;
  Mat f(3, 2);
  gemm(a_bad, b_zero, f, 1.0, 0.0);
  for (double v : f.data()) EXPECT_TRUE(std::isfinite(v));
}

// Products large enough for the register tiles (8 rows x 4 columns), with row and column
// remainders, keep the reference's bits; a zero in B inside a tile skips A's column for that
// column of C only, even when the column holds inf and NaN.
TEST(Gemm, TiledProductsMatchTheReferenceAndSkipZeroTerms) {
  struct Case {
    std::size_t m, k, n;
  };
  for (const Case& c : {Case{8, 3, 4}, Case{29, 17, 11}, Case{64, 40, 16}, Case{5, 30, 9}}) {
    SCOPED_TRACE(::testing::Message() << c.m << " x " << c.k << " x " << c.n);
    const Mat a = random_mat(c.m, c.k, 21);
    Mat b = random_mat(c.k, c.n, 22);
    Mat out = random_mat(c.m, c.n, 23);
    Mat expected(c.m, c.n);
    for (std::size_t q = 0; q < out.data().size(); ++q) {
      expected.data()[q] = 0.5 * out.data()[q];
      for (std::size_t p = 0; p < c.k; ++p) {
        const std::size_t i = q % c.m, j = q / c.m;
        expected.data()[q] += (-1.5 * b(p, j)) * a(i, p);
      }
    }
    gemm(a, b, out, -1.5, 0.5);
    EXPECT_EQ(out, expected);

    Mat a_bad = a;
    a_bad(0, c.k - 1) = kInf;
    a_bad(c.m - 1, c.k - 1) = kNaN;
    for (std::size_t j = 0; j < c.n; j += 2) b(c.k - 1, j) = 0.0;
    Mat f(c.m, c.n);
    gemm(a_bad, b, f, 1.0, 0.0);
    for (std::size_t j = 0; j < c.n; j += 2) {
      for (std::size_t i = 0; i < c.m; ++i) EXPECT_TRUE(std::isfinite(f(i, j)));
    }
    EXPECT_TRUE(std::isinf(f(0, 1)) || std::isnan(f(0, 1)));
  }
}

TEST(Gemm, DimensionChecksAndEmptyShapes) {
  Mat c(2, 2);
  expect_invariant([&] { gemm(Mat(2, 3), Mat(2, 2), c, 1, 0); }, "gemm: A.cols != B.rows (left: 3, right: 2)");
  expect_invariant([&] { gemm(Mat(3, 2), Mat(2, 2), c, 1, 0); }, "gemm: A.rows != C.rows");
  expect_invariant([&] { gemm(Mat(2, 2), Mat(2, 3), c, 1, 0); }, "gemm: B.cols != C.cols");
  // Zero inner dimension: C <- beta * C.
  Mat z = random_mat(2, 2, 5);
  gemm(Mat(2, 0), Mat(0, 2), z, 1.0, 0.0);
  EXPECT_EQ(z, Mat(2, 2));
  Mat none(2, 0);
  gemm(Mat(2, 3), Mat(3, 0), none, 1.0, 0.0);
  EXPECT_TRUE(none.empty());
}

TEST(Gemv, MatchesReferenceAndBetaRules) {
  const Mat a = random_mat(5, 3, 7);
  const Mat xm = random_mat(3, 1, 8);
  const std::vector<double> x(xm.data().begin(), xm.data().end());
  std::vector<double> y(5, kNaN);
  gemv(a, x, y, -1.5, 0.0);
  const Mat ref = reference_product(a, xm, -1.5);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(y[i], ref(i, 0));
  const Mat ref1 = reference_product(a, xm, 1.0);
  EXPECT_EQ(matvec(a, x), std::vector<double>(ref1.data().begin(), ref1.data().end()));
  // A zero x entry skips the column even if it holds NaN.
  Mat a_bad = a;
  a_bad(1, 2) = kNaN;
  std::vector<double> x0 = x;
  x0[2] = 0.0;
  for (double v : matvec(a_bad, x0)) EXPECT_TRUE(std::isfinite(v));
  expect_invariant([&] { gemv(a, y, y, 1, 0); }, "gemv: x length != A.cols");
  expect_invariant([&] { gemv(a, x, x0, 1, 0); }, "gemv: y length != A.rows");
}

TEST(GemvT, DotProductsAndZeroRows) {
  const Mat a = random_mat(6, 4, 9);
  const Mat xm = random_mat(6, 1, 10);
  const std::vector<double> x(xm.data().begin(), xm.data().end());
  std::vector<double> y{1, 2, 3, 4};
  gemv_t(a, x, y, 2.0, 0.5);
  const Mat ref = reference_product(a.transpose(), xm, 1.0);
  for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(y[j], 2.0 * ref(j, 0) + 0.5 * double(j + 1));
  // No rows: each d is 0, so y[j] = alpha * 0 with beta == 0, even over NaN.
  std::vector<double> y0(3, kNaN);
  gemv_t(Mat(0, 3), {}, y0, 4.0, 0.0);
  EXPECT_EQ(y0, std::vector<double>(3, 0.0));
  expect_invariant([&] { gemv_t(a, y, y, 1, 0); }, "gemv_t: x length != A.rows");
  expect_invariant([&] { gemv_t(a, x, y0, 1, 0); }, "gemv_t: y length != A.cols");
}

TEST(SyrkAta, SymmetricGramAndEmptyShapes) {
  const Mat a = random_mat(8, 5, 4);
  const Mat g = syrk_ata(a);
  EXPECT_EQ(g, reference_product(a.transpose(), a, 1.0));
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = 0; j < 5; ++j) EXPECT_EQ(g(i, j), g(j, i));
  const Mat g0 = syrk_ata(Mat(4, 0));
  EXPECT_EQ(g0.rows(), 0u);
  EXPECT_EQ(g0.cols(), 0u);
  EXPECT_EQ(syrk_ata(Mat(0, 3)), Mat(3, 3));
}

// Gram matrices wide enough for the register tiles, with a remainder of rows and exact zeros
// in the data, equal the dot products of the columns bit for bit.
TEST(SyrkAta, TiledGramEqualsTheColumnDotProducts) {
  for (auto [m, n] : {std::pair<std::size_t, std::size_t>{30, 8}, {9, 21}, {50, 36}}) {
    SCOPED_TRACE(::testing::Message() << m << " x " << n);
    Mat a = random_mat(m, n, 31);
    for (std::size_t q = 0; q < a.data().size(); q += 7) a.data()[q] = 0.0;
    const Mat g = syrk_ata(a);
    Mat expected(n, n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (std::size_t k = 0; k < m; ++k) s += a(k, i) * a(k, j);
        expected(i, j) = s;
      }
    }
    EXPECT_EQ(g, expected);
  }
}

// Scaling by a power of two rounds exactly as std::ldexp, also where results become
// subnormal, overflow, or the power itself is outside the normal range.
TEST(ScaleByPow2, MatchesLdexp) {
  const std::vector<double> x = {1.0, -3.75, 0.1, 1e-300, 4.9e-324, -1e300, 0.0, kInf, kNaN,
                                 std::ldexp(1.5, -1030)};
  for (int e : {0, 1, -1, 60, -60, 1023, -1022, 1024, -1023, 1500, -1100, -2000}) {
    SCOPED_TRACE(e);
    std::vector<double> got = x;
    scale_by_pow2(got, e);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double want = std::ldexp(x[i], e);
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got[i]));
      } else {
        EXPECT_EQ(got[i], want) << x[i];
      }
    }
  }
}

// The key orders every pair of doubles as the standard library's IEEE total order does (NaNs
// of either sign and payload, infinities, signed zeros, subnormals), and a sort by it puts
// -NaN first and +NaN last.
TEST(TotalOrder, KeyFollowsStrongOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double tiny = std::numeric_limits<double>::denorm_min();
  const std::vector<double> values{-nan, -kInf, -1e300, -1.5, -tiny, -0.0, 0.0, tiny, 2.0, 1e300, kInf, nan,
                                   std::numeric_limits<double>::signaling_NaN()};
  for (double a : values) {
    for (double b : values) {
      EXPECT_EQ(total_order_key(a) < total_order_key(b), std::strong_order(a, b) < 0) << a << " " << b;
    }
  }
  std::vector<double> v{nan, 2.0, -0.0, -nan, 0.0, -kInf, -1.5};
  sort_total_order(v);
  EXPECT_TRUE(std::isnan(v[0]) && std::signbit(v[0]));
  EXPECT_EQ(std::vector<double>(v.begin() + 1, v.end() - 1), (std::vector<double>{-kInf, -1.5, -0.0, 0.0, 2.0}));
  EXPECT_TRUE(std::signbit(v[3]) && !std::signbit(v[4]));
  EXPECT_TRUE(std::isnan(v.back()) && !std::signbit(v.back()));
}

}  // namespace
}  // namespace tessarix::linalg
