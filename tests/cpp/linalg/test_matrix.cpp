#include <cmath>
#include <limits>

#include "linalg/ops/norms.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::expect_invariant;

TEST(Mat, ColumnMajorStorageAndAccess) {
  Mat m = Mat::from_col_major(2, 3, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(m(1, 0), 2.0);
  EXPECT_EQ(m(0, 2), 5.0);
  EXPECT_EQ(m.col(1)[1], 4.0);
  m(1, 2) = 9.0;
  EXPECT_EQ(m.data()[5], 9.0);
  expect_invariant([&] { (void)m(2, 0); }, "Mat index (2, 0) out of range");
  expect_invariant([&] { (void)m.col(3); }, "Mat index (0, 3) out of range");
  expect_invariant([] { (void)Mat::from_col_major(2, 2, {1, 2, 3}); }, "Mat::from_col_major");
}

TEST(Mat, TransposeAndIdentity) {
  const Mat row = Mat::from_col_major(1, 4, {1, 2, 3, 4});
  const Mat col = row.transpose();
  EXPECT_EQ(col.rows(), 4u);
  EXPECT_EQ(col.cols(), 1u);
  EXPECT_EQ(std::vector<double>(col.data().begin(), col.data().end()),
            (std::vector<double>{1, 2, 3, 4}));
  const Mat m = testing::random_mat(3, 5, 1);
  const Mat t = m.transpose();
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 5; ++j) EXPECT_EQ(t(j, i), m(i, j));
  EXPECT_EQ(t.transpose(), m);
  const Mat id = Mat::identity(3);
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(id(i, j), i == j ? 1.0 : 0.0);
  EXPECT_TRUE(Mat::zeros(0, 4).empty());
  EXPECT_EQ(Mat::zeros(0, 4).transpose().rows(), 4u);
}

TEST(LinalgError, DebugText) {
  EXPECT_EQ(LinalgError::not_square(3, 2).debug(), "NotSquare { rows: 3, cols: 2 }");
  EXPECT_EQ(LinalgError::dim_mismatch(3, 2).debug(), "DimMismatch { expected: 3, got: 2 }");
  EXPECT_EQ(LinalgError::not_positive_definite(2).debug(), "NotPositiveDefinite { pivot: 2 }");
  EXPECT_EQ(LinalgError::did_not_converge(500).debug(), "DidNotConverge { iters: 500 }");
  EXPECT_EQ(LinalgError::empty().debug(), "Empty");
  EXPECT_EQ(LinalgError::not_square(3, 2).debug(true),
            "NotSquare {\n    rows: 3,\n    cols: 2,\n}");
  EXPECT_EQ(LinalgError::empty().debug(true), "Empty");
  EXPECT_EQ(LinalgError::not_positive_definite(2).kind(),
            LinalgError::Kind::NotPositiveDefinite);
}

TEST(Norms, DotAccumulatesInOrderAndChecksLength) {
  const std::vector<double> a{1e16, 1.0, -1e16, 1.0};
  const std::vector<double> b{1.0, 1.0, 1.0, 1.0, 99.0};
  // Left to right: ((1e16 + 1) - 1e16) + 1 = 0 + 1 in double arithmetic.
  EXPECT_EQ(dot(a, b), 1.0);
  EXPECT_EQ(dot({}, {}), 0.0);
  expect_invariant([&] { (void)dot(b, a); }, "dot: second operand shorter");
}

TEST(Norms, ScaledNormAvoidsOverflowAndUnderflow) {
  const std::vector<double> big{3e200, 4e200};
  EXPECT_NEAR(scaled_norm(big) / 5e200, 1.0, 1e-15);
  const std::vector<double> tiny{3e-200, 0.0, 4e-200};
  EXPECT_NEAR(scaled_norm(tiny) / 5e-200, 1.0, 1e-15);
  EXPECT_EQ(scaled_norm(std::vector<double>{0.0, 0.0}), 0.0);
  EXPECT_EQ(scaled_norm(std::vector<double>{-2.0}), 2.0);
}

}  // namespace
}  // namespace tessarix::linalg
