// Thin singular value decomposition A = U diag(s) V^T by one-sided (Hestenes) Jacobi
// rotations, with range scaling so that entries near the limits of double are handled.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

struct Svd {
  Mat u;                 // m x k left singular vectors (k = min(m, n))
  std::vector<double> s;  // k singular values, descending
  Mat v;                 // n x k right singular vectors
  std::size_t m = 0;
  std::size_t n = 0;

  // Decomposition of a with at most max_sweeps sweeps; pairs whose correlation is at most
  // tol times the geometric mean of their squared norms count as orthogonal. Never fails.
  static Svd make_tol(const Mat& a, std::size_t max_sweeps, double tol);

  // The same, with the Jacobi rotations started from `rotation` instead of the identity: the
  // accumulated rotation of a decomposition of a nearby matrix of the same shape, which leaves
  // the columns nearly orthogonal so that a sweep or two finish the job. An empty rotation
  // starts cold. On return `rotation` holds this decomposition's, ready for the next call.
  static Svd make_warm(const Mat& a, Mat& rotation, std::size_t max_sweeps, double tol);

  // U diag(values) V^T (values needs at least k entries; zero terms are skipped).
  Mat reconstruct_with(std::span<const double> values) const;
};

// sum_j values[j] u_j v_j^T over the first values.size() components, skipping zero terms.
Mat reconstruct_from(const Mat& u, const Mat& v, std::span<const double> values);

}  // namespace tessarix::linalg
