#include "linalg/factor/cholesky.hpp"

#include <cmath>
#include <string>

namespace tessarix::linalg {

std::expected<Cholesky, LinalgError> Cholesky::make(const Mat& a) {
  if (a.rows() != a.cols()) return std::unexpected(LinalgError::not_square(a.rows(), a.cols()));
  const std::size_t n = a.rows();
  Cholesky c;
  c.l_ = Mat(n, n);
  Mat& l = c.l_;
  for (std::size_t i = 0; i < n; ++i) {
    double d = a(i, i);
    for (std::size_t k = 0; k < i; ++k) d -= l(i, k) * l(i, k);
    if (!(std::isfinite(d) && d > 0.0)) return std::unexpected(LinalgError::not_positive_definite(i));
    const double lii = std::sqrt(d);
    l(i, i) = lii;
    for (std::size_t j = i + 1; j < n; ++j) {
      double s = a(j, i);
      for (std::size_t k = 0; k < i; ++k) s -= l(j, k) * l(i, k);
      l(j, i) = s / lii;
    }
  }
  return c;
}

std::expected<Cholesky, LinalgError> Cholesky::make_ridge(Mat a, double lambda) {
  const std::size_t d = std::min(a.rows(), a.cols());
  for (std::size_t i = 0; i < d; ++i) a(i, i) += lambda;
  return make(a);
}

std::vector<double> Cholesky::solve_vec(std::span<const double> b) const {
  const std::size_t n = l_.rows();
  if (b.size() != n) {
    invariant_failure("rhs length " + std::to_string(b.size()) + " != system size " +
                      std::to_string(n));
  }
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    double s = b[i];
    for (std::size_t j = 0; j < i; ++j) s -= l_(i, j) * y[j];
    y[i] = s / l_(i, i);
  }
  std::vector<double> x(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = y[i];
    for (std::size_t j = i + 1; j < n; ++j) s -= l_(j, i) * x[j];
    x[i] = s / l_(i, i);
  }
  return x;
}

}  // namespace tessarix::linalg
