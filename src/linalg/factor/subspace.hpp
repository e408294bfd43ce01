// The leading eigenpairs of a symmetric matrix that changes little from one call to the next
// (the Gram matrices of successive SoftImpute iterates): subspace iteration from the previous
// call's eigenvectors, certified complete by a Cholesky factorization.
#pragma once

#include <optional>
#include <span>

#include "linalg/factor/spectral_norm.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// Whether the symmetric s (lower triangle read) is positive definite: its Cholesky
// factorization runs to the end with positive pivots.
bool positive_definite(Mat s);

// Whether subspace iteration on a block with these eigenvalues (descending), the first
// `wanted` of them above the threshold, settles in a few steps: the block holds more than
// the wanted ones and its smallest is far below the smallest wanted.
bool settles_quickly(std::span<const double> values, std::size_t wanted);

// The eigenpairs of the symmetric s (lower triangle read) with eigenvalues above
// `threshold`, descending, from `basis` (n x b, b < n, spanning nearly the leading
// eigenvectors): the Ritz pairs of subspace iteration once every pair above the threshold
// has a residual at rounding level, accepted only when threshold I - s + sum theta x x^T
// over those pairs is positive definite (no eigenvalue above the threshold is missing).
// `block` receives all b Ritz vectors, the basis for the next call. nullopt when the
// Ritz values do not settle quickly (settles_quickly) or the residuals do not settle in a
// few steps, or the certificate fails.
std::optional<Eigenpairs> eigenpairs_above_from(const Mat& s, double threshold,
                                                const Mat& basis, Mat& block);

}  // namespace tessarix::linalg
