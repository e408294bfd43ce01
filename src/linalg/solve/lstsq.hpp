// Ordinary least squares (via QR) and ridge regression (via the normal equations).
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// Minimum-residual coefficients of y on the columns of X (m >= n), rank tolerant.
std::expected<std::vector<double>, LinalgError> ols(const Mat& x, std::span<const double> y);

// Solution of (X^T X + lambda I) beta = X^T y; every column, an intercept included, is
// penalised.
std::expected<std::vector<double>, LinalgError> ridge(const Mat& x, std::span<const double> y,
                                                      double lambda);

}  // namespace tessarix::linalg
