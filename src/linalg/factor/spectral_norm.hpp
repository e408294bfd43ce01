// The largest singular value of a matrix, to working precision, without a full
// decomposition: the largest eigenvalue of the smaller Gram matrix, found by bisection on its
// Householder tridiagonal form.
#pragma once

#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// The diagonal d (n entries) and off-diagonal e (n - 1 entries, e[k] at (k + 1, k)) of a
// symmetric tridiagonal matrix.
struct Tridiagonal {
  std::vector<double> d;
  std::vector<double> e;
};

// Q^T S Q for the symmetric matrix s (both triangles read), by n - 2 Householder reflections.
Tridiagonal tridiagonalize(Mat s);

// The largest eigenvalue of t, by bisection on Sturm counts until the bracket is a few
// rounding units of the eigenvalue wide (or adjacent doubles).
double largest_eigenvalue(const Tridiagonal& t);

// The largest singular value of a (0 for an empty or zero matrix, NaN when an entry is not
// finite). Its relative error is a small multiple of the rounding unit: forming the Gram
// matrix loses accuracy only in the small singular values.
double largest_singular_value(const Mat& a);

}  // namespace tessarix::linalg
