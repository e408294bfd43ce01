// Compact Householder QR of a tall matrix (m >= n), thin Q, and the rank-tolerant
// minimum-residual least-squares solve.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

class Qr {
public:
  // QR of a (m >= n); DimMismatch { expected: n, got: m } otherwise.
  static std::expected<Qr, LinalgError> make(Mat a);

  // R on and above the diagonal; below the diagonal of column k, reflector k's tail.
  const Mat& factors() const { return factors_; }
  const std::vector<double>& tau() const { return tau_; }
  std::size_t m() const { return factors_.rows(); }
  std::size_t n() const { return factors_.cols(); }

  // The m x n matrix with orthonormal columns spanning the columns of A.
  Mat q_thin() const;

  // Least-squares coefficients of y (at least m entries): columns whose R pivot is at or
  // below 1e-12 times the largest are numerically dependent and get exactly-zero
  // coefficients, and the others a least-squares fit.
  std::vector<double> solve_lstsq(std::span<const double> y) const;

private:
  bool dependent_before_independent(double tol) const;
  std::vector<double> solve_without_dependent(std::span<const double> y, double tol) const;

  Mat factors_;
  std::vector<double> tau_;
};

}  // namespace tessarix::linalg
