#include <cmath>
#include <limits>

#include "linalg/factor/randomized.hpp"
#include "linalg/factor/spectral_norm.hpp"
#include "linalg/factor/subspace.hpp"
#include "linalg/factor/svd.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/opt/softthresh.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::random_mat;

Mat product(const Mat& a, const Mat& b) {
  Mat c(a.rows(), b.cols());
  gemm(a, b, c, 1.0, 0.0);
  return c;
}

double max_abs(const Mat& a) {
  double r = 0.0;
  for (double v : a.data()) r = std::max(r, std::fabs(v));
  return r;
}

double max_abs_diff(const Mat& a, const Mat& b) {
  double r = 0.0;
  for (std::size_t k = 0; k < a.data().size(); ++k) r = std::max(r, std::fabs(a.data()[k] - b.data()[k]));
  return r;
}

// A rank-r m x n matrix with singular values 10, 5, 2.5, ...
Mat low_rank(std::size_t m, std::size_t n, std::size_t r, std::uint64_t seed) {
  const Mat a = random_mat(m, r, seed);
  Mat b = random_mat(r, n, seed + 1);
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < n; ++j) b(i, j) *= 10.0 / double(1 << i);
  return product(a, b);
}

// Orthonormal columns among the non-zero singular values, descending values, reconstruction.
void expect_valid(const Mat& a, const Svd& s, double tol) {
  const std::size_t k = std::min(a.rows(), a.cols());
  ASSERT_EQ(s.u.rows(), a.rows());
  ASSERT_EQ(s.u.cols(), k);
  ASSERT_EQ(s.v.rows(), a.cols());
  ASSERT_EQ(s.v.cols(), k);
  ASSERT_EQ(s.s.size(), k);
  for (std::size_t j = 0; j + 1 < k; ++j) EXPECT_GE(s.s[j], s.s[j + 1]);
  for (double v : s.s) EXPECT_GE(v, 0.0);
  const double scale = std::max(max_abs(a), 1e-300);
  EXPECT_LT(max_abs_diff(s.reconstruct_with(s.s), a) / scale, tol);
  const Mat utu = product(s.u.transpose(), s.u);
  const Mat vtv = product(s.v.transpose(), s.v);
  for (std::size_t i = 0; i < k; ++i) {
    if (s.s[i] == 0.0) continue;
    for (std::size_t j = 0; j < k; ++j) {
      if (s.s[j] == 0.0) continue;
      EXPECT_NEAR(utu(i, j), i == j ? 1.0 : 0.0, 1e-12);
      EXPECT_NEAR(vtv(i, j), i == j ? 1.0 : 0.0, 1e-12);
    }
  }
}

TEST(Svd, TallWideAndSquare) {
  for (auto [m, n] : {std::pair{30, 8}, {8, 30}, {12, 12}, {1, 5}, {5, 1}}) {
    const Mat a = random_mat(m, n, 7 * m + n);
    expect_valid(a, Svd::make_tol(a, 60, 1e-15), 1e-13);
  }
  const Svd wide = Svd::make_tol(random_mat(3, 7, 2), 60, 1e-15);
  EXPECT_EQ(wide.u.rows(), 3u);
  EXPECT_EQ(wide.u.cols(), 3u);
  EXPECT_EQ(wide.v.rows(), 7u);
  EXPECT_EQ(wide.v.cols(), 3u);
  const Svd empty = Svd::make_tol(Mat(4, 0), 60, 1e-15);
  EXPECT_TRUE(empty.s.empty());
}

TEST(Svd, RankDeficientGivesZeroValuesAndZeroVectors) {
  const Mat a = low_rank(20, 6, 2, 3);
  const Svd s = Svd::make_tol(a, 60, 1e-15);
  expect_valid(a, s, 1e-13);
  // Numerically the trailing values are at rounding level; an exactly rank-deficient input
  // (zero columns) gives exact zeros and zero left vectors.
  for (std::size_t j = 2; j < 6; ++j) EXPECT_LT(s.s[j], 1e-12 * s.s[0]);
  Mat z = random_mat(10, 4, 4);
  for (double& v : z.col(1)) v = 0.0;
  for (double& v : z.col(3)) v = 0.0;
  const Svd zs = Svd::make_tol(z, 60, 1e-15);
  EXPECT_EQ(zs.s[2], 0.0);
  EXPECT_EQ(zs.s[3], 0.0);
  EXPECT_EQ(max_abs(Mat::from_col_major(10, 1, {zs.u.col(3).begin(), zs.u.col(3).end()})), 0.0);
  expect_valid(z, zs, 1e-14);
}

TEST(Svd, RangeScalingKeepsExtremeMagnitudesAccurate) {
  const Mat base = random_mat(9, 5, 5);
  const Svd ref = Svd::make_tol(base, 60, 1e-15);
  for (double scale : {1e200, 1e-200, 1e-310}) {
    Mat a = base;
    for (double& v : a.data()) v *= scale;
    const Svd s = Svd::make_tol(a, 60, 1e-15);
    for (std::size_t j = 0; j < 5; ++j) {
      ASSERT_TRUE(std::isfinite(s.s[j]));
      EXPECT_NEAR(s.s[j] / scale, ref.s[j], scale < 1e-300 ? 1e-8 : 1e-13);
    }
    if (scale > 1e-300) expect_valid(a, s, 1e-13);
  }
}

TEST(Svt, ThresholdingAndNuclearNorm) {
  const Mat a = random_mat(8, 6, 6);
  const Svd s = Svd::make_tol(a, 60, 1e-15);
  const auto [zero, nn0] = svt(a, s.s[0] * 1.01);
  EXPECT_EQ(max_abs(zero), 0.0);
  EXPECT_EQ(nn0, 0.0);
  EXPECT_FALSE(std::signbit(nn0));
  const auto [same, nn] = svt(a, 0.0);
  EXPECT_LT(max_abs_diff(same, a), 1e-13);
  double total = 0.0;
  for (double v : s.s) total += v;
  EXPECT_NEAR(nn, total, 1e-13);
  const auto [half, nn_half] = svt(a, s.s[2]);
  const Svd hs = Svd::make_tol(half, 60, 1e-15);
  EXPECT_NEAR(hs.s[0], s.s[0] - s.s[2], 1e-12);
  EXPECT_NEAR(nn_half, (s.s[0] - s.s[2]) + (s.s[1] - s.s[2]), 1e-12);
}

TEST(Svd, WarmStartFromANearbyMatrix) {
  for (const auto& [m, n] : {std::pair<std::size_t, std::size_t>{30, 12}, {12, 30}}) {
    SCOPED_TRACE(m);
    Mat a = random_mat(m, n, 21);
    Mat rotation;
    const Svd first = Svd::make_warm(a, rotation, 60, 1e-15);
    EXPECT_EQ(first.s, Svd::make_tol(a, 60, 1e-15).s);  // an empty rotation starts cold
    const std::size_t k = std::min(m, n);
    ASSERT_EQ(rotation.rows(), k);
    // A nearby matrix, decomposed from the first one's rotation: the same decomposition as a
    // cold start, to rounding.
    const Mat nudge = random_mat(m, n, 22);
    for (std::size_t i = 0; i < a.data().size(); ++i) a.data()[i] += 1e-3 * nudge.data()[i];
    const Svd warm = Svd::make_warm(a, rotation, 60, 1e-15);
    const Svd cold = Svd::make_tol(a, 60, 1e-15);
    for (std::size_t j = 0; j < k; ++j) EXPECT_NEAR(warm.s[j], cold.s[j], 1e-13 * cold.s[0]);
    EXPECT_LT(max_abs_diff(warm.reconstruct_with(warm.s), a), 1e-13 * max_abs(a));
    EXPECT_LT(max_abs_diff(product(warm.v.transpose(), warm.v), Mat::identity(k)), 1e-13);
  }
}

TEST(RandomizedSvd, SeededLowRankApproximation) {
  const Mat a = low_rank(60, 40, 3, 8);
  const Svd exact = Svd::make_tol(a, 60, 1e-15);
  const RandomizedSvd r = randomized_svd(a, 3, 6, 1, 99);
  ASSERT_EQ(r.s.size(), 3u);
  for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(r.s[j], exact.s[j], 1e-10 * exact.s[0]);
  EXPECT_LT(max_abs_diff(r.reconstruct_with(r.s), a), 1e-10 * max_abs(a));
  const RandomizedSvd again = randomized_svd(a, 3, 6, 1, 99);
  EXPECT_EQ(again.u, r.u);
  EXPECT_EQ(again.s, r.s);
  EXPECT_EQ(again.v, r.v);
  EXPECT_NE(randomized_svd(a, 3, 6, 1, 100).u, r.u);
  // Rank 0 behaves as rank 1; a rank beyond min(m, n) gives min(m, n) components.
  EXPECT_EQ(randomized_svd(a, 0, 2, 0, 1).s.size(), 1u);
  EXPECT_EQ(randomized_svd(random_mat(5, 9, 3), 50, 6, 1, 1).s.size(), 5u);
  // Truncated thresholding agrees with the full one on a low-rank matrix.
  const auto [full, nn_full] = svt(a, 0.5);
  const auto [trunc, nn_trunc] = svt_truncated(a, 3, 7, 0.5);
  EXPECT_LT(max_abs_diff(full, trunc), 1e-9 * max_abs(a));
  EXPECT_NEAR(nn_full, nn_trunc, 1e-9 * nn_full);
}

// A sketch drawn once serves every same-shaped matrix with the bits of drawing it per call,
// for tall, wide and rank-capped shapes.
TEST(RandomizedSvd, SketchDrawnOnceGivesTheSeededBits) {
  struct Case {
    std::size_t m, n, rank;
  };
  for (const Case& c : {Case{60, 40, 3}, Case{30, 70, 5}, Case{9, 5, 50}}) {
    SCOPED_TRACE(std::to_string(c.m) + " x " + std::to_string(c.n));
    const GaussianSketch sketch = GaussianSketch::make(c.m, c.n, c.rank, 6, 17);
    for (std::uint64_t data_seed : {1u, 2u}) {
      const Mat a = random_mat(c.m, c.n, data_seed);
      const RandomizedSvd seeded = randomized_svd(a, c.rank, 6, 1, 17);
      const RandomizedSvd drawn = randomized_svd(a, sketch, 1);
      EXPECT_EQ(drawn.u, seeded.u);
      EXPECT_EQ(drawn.s, seeded.s);
      EXPECT_EQ(drawn.v, seeded.v);
      EXPECT_EQ(svt_truncated(a, sketch, 0.3), svt_truncated(a, c.rank, 17, 0.3));
    }
  }
}

// A matrix with the given singular values: orthonormal factors from the cold decomposition
// of random matrices.
Mat with_values(std::size_t m, std::size_t n, const std::vector<double>& values,
                std::uint64_t seed) {
  const Svd left = Svd::make_tol(random_mat(m, values.size(), seed), 60, 1e-15);
  const Svd right = Svd::make_tol(random_mat(n, values.size(), seed + 1), 60, 1e-15);
  return reconstruct_from(left.u, right.u, values);
}

TEST(LargestSingularValue, MatchesTheColdJacobiDecomposition) {
  struct Case {
    const char* name;
    Mat a;
  };
  const std::vector<Case> cases = {
      {"tall", random_mat(80, 30, 31)},
      {"wide", random_mat(25, 70, 32)},
      {"square", random_mat(40, 40, 33)},
      {"one row", random_mat(1, 9, 34)},
      {"rank two", low_rank(50, 20, 2, 35)},
      {"tied top values", with_values(60, 24, {3.0, 3.0, 3.0 - 1e-12, 1.0}, 36)},
      {"tiny", with_values(30, 12, {4e-300, 1e-300}, 37)},
      {"huge", with_values(12, 30, {4e300, 3.9e300}, 38)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double cold = Svd::make_tol(c.a, 60, 1e-15).s[0];
    EXPECT_NEAR(largest_singular_value(c.a), cold, 1e-14 * cold);
  }
  EXPECT_EQ(largest_singular_value(Mat(7, 5)), 0.0);
  EXPECT_EQ(largest_singular_value(Mat(0, 5)), 0.0);
  Mat bad = random_mat(6, 4, 39);
  bad(2, 1) = std::nan("");
  EXPECT_TRUE(std::isnan(largest_singular_value(bad)));
}

TEST(LargestEigenvalue, KnownSpectraOfTridiagonalMatrices) {
  // The second-difference matrix (2 on the diagonal, -1 beside it) has eigenvalues
  // 2 - 2 cos(k pi / (n + 1)); a diagonal matrix has its diagonal.
  for (std::size_t n : {1u, 2u, 7u, 200u}) {
    SCOPED_TRACE(n);
    const Tridiagonal t{std::vector<double>(n, 2.0), std::vector<double>(n - 1, -1.0)};
    const double top = 2.0 + 2.0 * std::cos(M_PI / static_cast<double>(n + 1));
    EXPECT_NEAR(largest_eigenvalue(t), top, 4e-16 * top);
  }
  EXPECT_NEAR(largest_eigenvalue({{-3.0, -1.0, -2.0}, {0.0, 0.0}}), -1.0, 4e-16);
  // Tridiagonal reduction keeps the spectrum: a random symmetric matrix against the
  // squared singular values of a matrix whose Gram it is.
  const Mat a = random_mat(30, 12, 40);
  const double top = Svd::make_tol(a, 60, 1e-15).s[0];
  EXPECT_NEAR(largest_eigenvalue(tridiagonalize(syrk_ata(a))), top * top, 1e-14 * top * top);
}

// The back-transformation of many vectors at once gives each vector the bits of the
// one-vector form, and maps eigenvectors of the tridiagonal form to those of the Gram matrix.
TEST(TridiagonalForm, BlockBackTransformationKeepsTheBitsOfOneVector) {
  struct Case {
    std::size_t rows, cols, vectors;
  };
  for (const Case& c : {Case{40, 12, 5}, Case{30, 30, 30}, Case{9, 3, 1}}) {
    SCOPED_TRACE(std::to_string(c.cols) + " columns, " + std::to_string(c.vectors) + " vectors");
    const Mat gram = syrk_ata(random_mat(c.rows, c.cols, c.cols));
    const TridiagonalForm form = tridiagonal_form(gram);
    Mat block = top_eigenpairs(form.t, c.vectors).vectors;
    Mat one_by_one = block;
    form.to_original(block);
    for (std::size_t j = 0; j < c.vectors; ++j) form.to_original(one_by_one.col(j));
    EXPECT_EQ(block, one_by_one);
    const Svd cold = Svd::make_tol(gram, 60, 1e-15);
    for (std::size_t j = 0; j < c.vectors; ++j) {
      const double along = std::fabs(dot(block.col(j), cold.v.col(j)));
      EXPECT_NEAR(along, 1.0, 1e-9);
    }
  }
}

// Every eigenvalue from the QL iteration has as many eigenvalues below it as its rank, by
// Sturm counts some tens of rounding units of the norm to either side (an inertia oracle that
// shares nothing with the iteration; both err by a small multiple of eps |T| at order 200):
// random, split, diagonal, graded and Wilkinson matrices, and the second difference matrix
// with its closed form.
TEST(AllEigenvalues, AgreeWithSturmCounts) {
  struct Case {
    const char* name;
    Tridiagonal t;
  };
  const Mat r = random_mat(200, 2, 49);
  Tridiagonal random{std::vector<double>(r.col(0).begin(), r.col(0).end()),
                     std::vector<double>(r.col(1).begin(), r.col(1).end() - 1)};
  Tridiagonal split = random;
  for (std::size_t k = 0; k < split.e.size(); k += 7) split.e[k] = 0.0;
  Tridiagonal graded{{}, {}}, wilkinson{{}, {}};
  for (int k = 0; k < 30; ++k) {
    graded.d.push_back(std::ldexp(1.0, -k));
    wilkinson.d.push_back(std::fabs(10.0 - k));
    if (k > 0) {
      graded.e.push_back(std::ldexp(1.0, -k));
      wilkinson.e.push_back(1.0);
    }
  }
  wilkinson.d.push_back(11.0);  // 31 x 31, pairs agreeing to many digits
  wilkinson.e.push_back(1.0);
  const std::vector<Case> cases = {
      {"random", random},
      {"split", split},
      {"diagonal with repeats", {{3.0, -1.0, 3.0, 3.0, 0.0, -1.0}, std::vector<double>(5, 0.0)}},
      {"graded", graded},
      {"wilkinson", wilkinson},
      {"two by two", {{1.0, 4.0}, {2.0}}},
      {"one", {{-2.5}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto values = all_eigenvalues(c.t);
    ASSERT_TRUE(values.has_value());
    ASSERT_EQ(values->size(), c.t.d.size());
    double norm = 0.0;
    for (std::size_t k = 0; k < c.t.d.size(); ++k) {
      norm = std::max(norm, std::fabs(c.t.d[k]) + (k > 0 ? std::fabs(c.t.e[k - 1]) : 0.0) +
                                (k < c.t.e.size() ? std::fabs(c.t.e[k]) : 0.0));
    }
    const double slack = 64.0 * std::numeric_limits<double>::epsilon() * norm;
    for (std::size_t k = 0; k < values->size(); ++k) {
      EXPECT_LE(count_below(c.t, (*values)[k] - slack), k) << k;
      EXPECT_GT(count_below(c.t, (*values)[k] + slack), k) << k;
    }
  }
  const std::size_t n = 60;
  const auto second =
      all_eigenvalues({std::vector<double>(n, 2.0), std::vector<double>(n - 1, -1.0)});
  ASSERT_TRUE(second.has_value());
  for (std::size_t k = 0; k < n; ++k) {
    EXPECT_NEAR((*second)[k], 2.0 - 2.0 * std::cos(M_PI * double(k + 1) / double(n + 1)), 1e-14);
  }
  EXPECT_FALSE(all_eigenvalues({{1.0, std::nan(""), 2.0}, {1.0, 1.0}}).has_value());
  EXPECT_TRUE(all_eigenvalues({{}, {}})->empty());
}

// Q diag(values) Q^T for a random orthogonal Q.
Mat symmetric_with(const std::vector<double>& values, std::uint64_t seed) {
  const Mat q = Svd::make_tol(random_mat(values.size(), values.size(), seed), 60, 1e-15).u;
  return reconstruct_from(q, q, values);
}

// Positive definiteness by Cholesky follows the sign of the smallest eigenvalue, at orders
// that fill the four-column panels exactly, partly and not at all.
TEST(PositiveDefinite, FollowsTheSignOfTheSmallestEigenvalue) {
  for (std::size_t n : {1, 4, 9, 14}) {
    for (double smallest : {1e-6, -1e-6}) {
      SCOPED_TRACE(::testing::Message() << n << " x " << n << ", smallest " << smallest);
      std::vector<double> values(n);
      for (std::size_t j = 0; j < n; ++j) values[j] = j + 1 == n ? smallest : 1.0 + 0.2 * double(j);
      EXPECT_EQ(positive_definite(symmetric_with(values, 60 + n)), smallest > 0.0);
    }
  }
  Mat bad = Mat::identity(5);
  bad(3, 3) = std::nan("");
  EXPECT_FALSE(positive_definite(bad));
}

// Subspace iteration from a rough basis finds the eigenpairs above the threshold; it
// declines when the basis misses one of them (the certificate fails) and when the block's
// Ritz values lie too close to the wanted ones to settle quickly.
TEST(EigenpairsAboveFrom, FindsTheLeadingPairsAndDeclinesWhatItCannotCertify) {
  constexpr std::size_t n = 60, b = 6;
  std::vector<double> values(n);
  for (std::size_t j = 0; j < n; ++j) {
    values[j] = j < 3 ? 100.0 * double(3 - j) : 1.0 / double(1 + j);
  }
  const Mat q = Svd::make_tol(random_mat(n, n, 61), 60, 1e-15).u;
  const Mat s = reconstruct_from(q, q, values);
  const Mat noise = random_mat(n, b + 1, 62);
  Mat rough(n, b), missing(n, b);
  for (std::size_t j = 0; j < b; ++j) {
    for (std::size_t i = 0; i < n; ++i) {
      rough(i, j) = q(i, j) + 1e-3 * noise(i, j);
      missing(i, j) = q(i, j + 1);
    }
  }
  Mat block;
  const auto found = eigenpairs_above_from(s, 50.0, rough, block);
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->values.size(), 3u);
  EXPECT_EQ(block.cols(), b);
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_NEAR(found->values[j], values[j], 1e-12 * values[0]);
    EXPECT_NEAR(std::fabs(dot(found->vectors.col(j), q.col(j))), 1.0, 1e-12);
  }
  EXPECT_FALSE(eigenpairs_above_from(s, 50.0, missing, block).has_value());
  std::vector<double> slow(n);
  for (std::size_t j = 0; j < n; ++j) slow[j] = 100.0 - double(j);
  EXPECT_FALSE(eigenpairs_above_from(symmetric_with(slow, 63), 99.5, rough, block).has_value());
}

// The reduction reads the lower triangle alone: garbage above the diagonal changes nothing.
TEST(TridiagonalForm, ReadsTheLowerTriangleOnly) {
  const Mat gram = syrk_ata(random_mat(50, 23, 48));
  Mat lower = gram;
  for (std::size_t j = 1; j < lower.cols(); ++j) {
    for (std::size_t i = 0; i < j; ++i) lower(i, j) = std::nan("");
  }
  const TridiagonalForm from_full = tridiagonal_form(gram);
  const TridiagonalForm from_lower = tridiagonal_form(lower);
  EXPECT_EQ(from_lower.t.d, from_full.t.d);
  EXPECT_EQ(from_lower.t.e, from_full.t.e);
}

TEST(SvtAbove, EqualsTheColdFullThresholding) {
  struct Case {
    const char* name;
    Mat a;
    double tau;
  };
  // Noise plus a strong low-rank part, thresholded inside the noise bulk and above it; values
  // clustered at and around the threshold; a threshold above everything; an exact rank
  // deficiency below the threshold.
  Mat noisy = random_mat(120, 50, 41);
  const Mat signal = low_rank(120, 50, 3, 42);
  for (std::size_t i = 0; i < noisy.data().size(); ++i) noisy.data()[i] += 4.0 * signal.data()[i];
  const std::vector<Case> cases = {
      {"tall, inside the bulk", noisy, 9.0},
      {"tall, above the bulk", noisy, 20.0},
      {"wide, inside the bulk", noisy.transpose(), 9.0},
      {"clustered at the threshold",
       with_values(40, 25, {8.0, 5.0 + 1e-9, 5.0, 5.0, 5.0 - 1e-9, 4.0, 4.0, 1.0}, 43), 5.0},
      {"clustered above the threshold", with_values(25, 40, {6.0, 6.0, 6.0, 2.0}, 44), 3.0},
      {"threshold above everything", random_mat(30, 20, 45), 1e3},
      {"rank two", low_rank(30, 12, 2, 46), 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [cold, cold_nuclear] = svt(c.a, c.tau);
    Mat rotation;
    const auto [fast, fast_nuclear] = svt_above(c.a, c.tau, rotation);
    EXPECT_LT(max_abs_diff(fast, cold), 1e-13 * std::max(max_abs(c.a), 1.0));
    EXPECT_NEAR(fast_nuclear, cold_nuclear, 1e-13 * std::max(cold_nuclear, 1.0));
    EXPECT_TRUE(rotation.empty());
    // Given the Gram matrix, at the matrix's own scale (tall matrices only): from the
    // tridiagonal form, then by subspace iteration from the eigenvectors that left behind.
    if (c.a.rows() >= c.a.cols()) {
      Mat basis;
      for (int call = 0; call < 2; ++call) {
        const auto given = svt_above_gram(c.a, syrk_ata(c.a), c.tau, basis);
        ASSERT_TRUE(given.has_value());
        EXPECT_LT(max_abs_diff(given->first, cold), 1e-13 * std::max(max_abs(c.a), 1.0)) << call;
      }
    }
  }
  // The Gram route declines what it cannot do at the given scale.
  Mat bad = random_mat(20, 9, 48);
  Mat basis;
  EXPECT_FALSE(svt_above_gram(bad.transpose(), syrk_ata(bad.transpose()), 1.0, basis).has_value());
  Mat huge = bad;
  for (double& x : huge.data()) x = std::ldexp(x, 500);
  EXPECT_FALSE(svt_above_gram(huge, Mat(9, 9), 1.0, basis).has_value());
  bad(3, 4) = std::nan("");
  EXPECT_FALSE(svt_above_gram(bad, Mat(9, 9), 1.0, basis).has_value());
  // A threshold far below the largest value takes the full decomposition, warm-started.
  const Mat a = random_mat(20, 9, 47);
  Mat rotation;
  const auto [small, small_nuclear] = svt_above(a, 1e-6, rotation);
  EXPECT_EQ(small, svt(a, 1e-6).first);
  EXPECT_EQ(rotation.rows(), 9u);
}

// U diag(values) V^T equals the sum of the outer products taken component by component, bit
// for bit, at sizes that use the register tiles; a zero value drops its component even when
// its vectors hold NaN.
TEST(ReconstructFrom, EqualsTheOuterProductsInComponentOrder) {
  for (auto [m, n, k] : {std::tuple<std::size_t, std::size_t, std::size_t>{5, 3, 2},
                         {40, 24, 7}, {19, 33, 12}}) {
    SCOPED_TRACE(::testing::Message() << m << " x " << n << " rank " << k);
    Mat u = random_mat(m, k, 41), v = random_mat(n, k, 42);
    std::vector<double> values(k);
    for (std::size_t j = 0; j < k; ++j) values[j] = j % 3 == 1 ? 0.0 : 1.0 + double(j);
    u(0, 1) = std::nan("");
    v(n - 1, 1) = std::nan("");
    Mat expected(m, n);
    for (std::size_t j = 0; j < k; ++j) {
      if (values[j] == 0.0) continue;
      for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t i = 0; i < m; ++i) expected(i, c) += (values[j] * v(c, j)) * u(i, j);
      }
    }
    EXPECT_EQ(reconstruct_from(u, v, values), expected);
  }
}

// The leading eigenvalues of the second-difference matrix (2 - 2 cos(k pi / (n + 1))) and of
// diagonal matrices with repeated entries, for counts that fill the lock-step groups of the
// bisection exactly, partly, or not at all, and enough to take the QL route; the eigenvectors
// are orthonormal.
TEST(TopEigenpairs, KnownLeadingSpectra) {
  struct Case {
    Tridiagonal t;
    std::size_t count;
    std::vector<double> expected;  // descending
  };
  std::vector<Case> cases;
  for (auto [n, count] :
       {std::pair<std::size_t, std::size_t>{9, 9}, {30, 8}, {30, 5}, {64, 1}, {64, 40}}) {
    std::vector<double> expected;
    for (std::size_t k = n; k > n - count; --k) {
      expected.push_back(2.0 - 2.0 * std::cos(M_PI * double(k) / double(n + 1)));
    }
    cases.push_back({{std::vector<double>(n, 2.0), std::vector<double>(n - 1, -1.0)}, count,
                     expected});
  }
  cases.push_back({{{1.0, 5.0, 3.0, 5.0, -2.0, 3.0}, std::vector<double>(5, 0.0)}, 6,
                   {5.0, 5.0, 3.0, 3.0, 1.0, -2.0}});
  // Nine equal values: one cluster long enough to be orthogonalised in blocks of four.
  cases.push_back({{{3.0, 3.0, 3.0, 3.0, 1.0, 3.0, 3.0, 3.0, 3.0, 3.0},
                    std::vector<double>(9, 0.0)},
                   9,
                   std::vector<double>(9, 3.0)});
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.t.d.size() << " top " << c.count);
    const Eigenpairs pairs = top_eigenpairs(c.t, c.count);
    ASSERT_EQ(pairs.values.size(), c.count);
    for (std::size_t j = 0; j < c.count; ++j) {
      EXPECT_NEAR(pairs.values[j], c.expected[j], 1e-14 * 4.0);
      for (std::size_t k = 0; k <= j; ++k) {
        EXPECT_NEAR(dot(pairs.vectors.col(j), pairs.vectors.col(k)), j == k ? 1.0 : 0.0, 1e-12);
      }
    }
  }
}

}  // namespace
}  // namespace tessarix::linalg
