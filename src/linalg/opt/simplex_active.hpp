// Simplex-constrained quadratic programs of low rank solved exactly by a primal active set:
//   minimise f(w) = 1/2 w^T G w - b^T w  over {w >= 0, sum w = 1}
// with G positive semidefinite. Lawson and Hanson's NNLS strategy with the sum-to-one row:
// the free set grows by the coordinate whose multiplier most violates optimality and shrinks
// when its equality-constrained minimiser leaves the simplex. When G = A^T A with A of k rows
// (k predictors), the free set stays within k + 1 coordinates, so each step solves a system
// of at most k + 2 unknowns and the answer is exact up to rounding, where first-order methods
// crawl on the problems whose minimum is attained on a whole face (a treated point inside the
// donors' hull).
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// The minimiser, or none where a step meets a singular free-set system (affinely dependent
// free columns) or the step cap; callers then fall back to a first-order solver.
std::optional<std::vector<double>> solve_simplex_active_set(const Mat& g, std::span<const double> b);

}  // namespace tessarix::linalg
