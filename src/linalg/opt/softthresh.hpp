// Singular-value soft-thresholding: the proximal step of nuclear-norm matrix completion.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "linalg/factor/randomized.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// (U diag(max(s - tau, 0)) V^T, sum of the thresholded values) from the full Jacobi SVD.
std::pair<Mat, double> svt(const Mat& a, double tau);

// The same, the SVD warm-started from `rotation` and leaving its own there (Svd::make_warm):
// for a sequence of nearby matrices, as in the iterations of matrix completion.
std::pair<Mat, double> svt_warm(const Mat& a, double tau, Mat& rotation);

// The same from the components above tau only: the eigenpairs of the smaller Gram matrix
// with eigenvalues above tau^2 (Householder tridiagonal form, bisection, inverse
// iteration), U_k S_k = A V_k. Squaring costs accuracy only in the components far below the
// largest, which matter here only when tau is: below a thousandth of the largest singular
// value this falls back to svt_warm, whose rotation it otherwise leaves alone.
std::pair<Mat, double> svt_above(const Mat& a, double tau, Mat& rotation);

// svt_above for a with at least as many rows as columns, given its Gram matrix A^T A (lower
// triangle read), for a sequence of nearby iterates whose Gram is cheaper to update than to
// form. `basis` carries leading eigenvectors from one call to the next: when it holds some,
// the eigenpairs come from subspace iteration started there (certified complete), else from
// the tridiagonal form. It works at the given scale: nullopt when a is wide, has an entry
// that is not finite or a largest magnitude outside [2^-400, 2^400], or when tau is too small
// for the Gram route; svt_above then serves.
std::optional<std::pair<Mat, double>> svt_above_gram(const Mat& a, Mat gram, double tau,
                                                     Mat& basis);

// The same from a rank-`rank` randomized SVD (oversampling 6, one power iteration).
std::pair<Mat, double> svt_truncated(const Mat& a, std::size_t rank, std::uint64_t seed,
                                     double tau);

// The same with the test matrix drawn beforehand (GaussianSketch::make(m, n, rank, 6, seed)).
std::pair<Mat, double> svt_truncated(const Mat& a, const GaussianSketch& sketch, double tau);

// The oversampling and power iterations of svt_truncated.
inline constexpr std::size_t kSvtOversample = 6;
inline constexpr std::size_t kSvtPowerIters = 1;

}  // namespace tessarix::linalg
