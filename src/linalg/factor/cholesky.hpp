// Left-looking Cholesky factorization A = L L^T, optionally of A + lambda I, and its solve.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

class Cholesky {
public:
  // Factor of a square, positive-definite A (only its lower triangle is read); NotSquare, or
  // NotPositiveDefinite at the first pivot that is not a finite positive number.
  static std::expected<Cholesky, LinalgError> make(const Mat& a);
  // Factor of A + lambda I.
  static std::expected<Cholesky, LinalgError> make_ridge(Mat a, double lambda);

  const Mat& l() const { return l_; }

  // x with L L^T x = b (b must have n entries).
  std::vector<double> solve_vec(std::span<const double> b) const;

private:
  Mat l_;
};

}  // namespace tessarix::linalg
