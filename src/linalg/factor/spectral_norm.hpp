// The largest singular value of a matrix, to working precision, without a full
// decomposition: the largest eigenvalue of the smaller Gram matrix, found by bisection on its
// Householder tridiagonal form.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"
#include "linalg/ops/transform.hpp"

namespace tessarix::linalg {

// The diagonal d (n entries) and off-diagonal e (n - 1 entries, e[k] at (k + 1, k)) of a
// symmetric tridiagonal matrix.
struct Tridiagonal {
  std::vector<double> d;
  std::vector<double> e;
};

// Q^T S Q for the symmetric matrix s (its lower triangle read), by n - 2 Householder reflections.
Tridiagonal tridiagonalize(Mat s);

// The same with Q kept as its reflectors: reflector k acts on entries k + 1 .. n - 1.
struct TridiagonalForm {
  Tridiagonal t;
  std::vector<Householder> reflectors;

  // Q y in place: a vector in the tridiagonal basis back in the original one.
  void to_original(std::span<double> y) const;
  // The same for every column of y (n x k), with the bits of the one-vector form.
  void to_original(Mat& y) const;
};
TridiagonalForm tridiagonal_form(Mat s);

// All eigenvalues of t, ascending, by the root-free implicit QL iteration, each to a few
// rounding units of the largest magnitude; nullopt when an entry is not finite or the
// iteration does not settle (then bisection serves).
std::optional<std::vector<double>> all_eigenvalues(const Tridiagonal& t);

// Number of eigenvalues of t below x.
std::size_t count_below(const Tridiagonal& t, double x);

// The eigenpairs of t with the `count` largest eigenvalues, descending: the values by
// bisection, the vectors (orthonormal, each of unit length) by inverse iteration,
// orthogonalised against the earlier vectors of any cluster of close values.
struct Eigenpairs {
  std::vector<double> values;
  Mat vectors;  // n x count
};
Eigenpairs top_eigenpairs(const Tridiagonal& t, std::size_t count);

// The largest eigenvalue of t, by bisection on Sturm counts until the bracket is a few
// rounding units of the eigenvalue wide (or adjacent doubles).
double largest_eigenvalue(const Tridiagonal& t);

// The largest singular value of a (0 for an empty or zero matrix, NaN when an entry is not
// finite). Its relative error is a small multiple of the rounding unit: forming the Gram
// matrix loses accuracy only in the small singular values.
double largest_singular_value(const Mat& a);

}  // namespace tessarix::linalg
