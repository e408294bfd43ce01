// Simplex-constrained quadratic programs for donor weights:
//   minimise f(w) = 1/2 w^T (G + lambda I) w - b^T w  over {w >= 0, sum w = 1}
// (away-step Frank-Wolfe) or over the bounded simplex {lo <= w_i <= hi, sum w = 1}
// (accelerated projected gradient with adaptive restart and an active-set Newton polish).
// Requested bounds are relaxed so that the uniform vector 1/J is always feasible.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

struct SimplexSolution {
  std::vector<double> weights;  // feasible; sums to 1 up to rounding
  std::size_t iters = 0;        // iteration at which the stopping test passed, or the cap
  double gap = 0.0;             // last Frank-Wolfe duality gap (+inf when the cap is 0)
};

// 1/2 sum_i w_i ((G w)_i + lambda w_i) - sum_i b_i w_i.
double objective(const Mat& g, std::span<const double> b, std::span<const double> w,
                 double lambda);

// G w + lambda w - b.
std::vector<double> grad(const Mat& g, std::span<const double> b, std::span<const double> w,
                         double lambda);

// Euclidean projection of z onto the bounded simplex (non-finite entries count as 0).
std::vector<double> project_bounded_simplex(std::span<const double> z, double lo, double hi);

// The bounded-simplex vertex minimising g^T s.
std::vector<double> lmo_bounded(std::span<const double> g, double lo, double hi);

// Away-step Frank-Wolfe over the unit simplex with exact line search; absolute gap tolerance.
SimplexSolution solve_fw(const Mat& g, std::span<const double> b, std::size_t max_iter,
                         double lambda, double tol);

// Bounded-simplex solver; the tolerance is relative to max |b_i| + 1. Delegates to solve_fw
// when neither bound binds.
SimplexSolution solve_bounded(const Mat& g, std::span<const double> b, std::size_t max_iter,
                              double lambda, double lo, double hi, double tol);

// Synthetic-control weights of x1 (T0 pre-periods) on the donor columns of x0 (T0 x J).
SimplexSolution sc_weights(const Mat& x0, std::span<const double> x1, double lambda);

// As sc_weights with per-donor bounds; exactly sc_weights when neither bound binds.
SimplexSolution sc_weights_bounded(const Mat& x0, std::span<const double> x1, double lambda,
                                   double min_weight, double max_weight);

}  // namespace tessarix::linalg
