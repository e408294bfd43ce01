// Ordinary least squares (via QR) and ridge regression (via the SVD).
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "linalg/error.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// Minimum-residual coefficients of y on the columns of X (m >= n), rank tolerant.
std::expected<std::vector<double>, LinalgError> ols(const Mat& x, std::span<const double> y);

// Coefficients beta = (X^T X + lambda I)^-1 X^T y for lambda > 0, every column (an intercept
// included) penalised. Computed from the thin SVD X = U diag(s) V^T as V diag(s / (s^2 +
// lambda)) U^T y, so no normal equations are formed and the answer is sound for every
// lambda > 0 at every scale and rank of X: singular values at rounding level are numerically
// zero and contribute nothing, as exactly zero ones do. Rounding level is max(m, n) epsilon
// s_max, or `noise` when X carries larger errors of its own (X computed from larger numbers).
// An infinite lambda gives zeros.
std::vector<double> ridge(const Mat& x, std::span<const double> y, double lambda, double noise = 0.0);

}  // namespace tessarix::linalg
