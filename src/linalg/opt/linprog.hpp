// Small dense linear programs by the simplex method on a full tableau:
//   minimise c'x  subject to  A x = b, x >= 0           (standard form)
// with a two-phase start (artificial variables), Dantzig pricing that falls back to Bland's
// rule after a run of degenerate pivots (so it cannot cycle), and a warm start for a family of
// objectives over one feasible set: phase one runs once, and each objective starts from the
// basis where the previous one ended. Meant for tens of rows and columns, where a dense
// tableau is both exact enough and faster than anything sparse.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

enum class LpStatus { optimal, infeasible, unbounded, iteration_limit };

struct LpSolution {
  LpStatus status = LpStatus::infeasible;
  double value = 0.0;     // c'x at the solution (meaningful when optimal)
  std::vector<double> x;  // a basic optimal solution (when optimal)
};

// The feasible set {x >= 0 : A x = b} with a feasible basis, over which objectives are
// minimised in turn.
class StandardFormLp {
public:
  // Runs phase one on A (m x n) and b (length m); redundant equality rows are dropped.
  StandardFormLp(const Mat& a, std::span<const double> b);

  // False when no x >= 0 satisfies A x = b (then every minimise reports infeasible).
  bool feasible() const { return feasible_; }

  // Minimises c'x (length n) starting from the basis the previous call ended in.
  LpSolution minimize(std::span<const double> c);

  // The basic variable of each kept row.
  std::span<const std::size_t> basis() const { return basis_; }

private:
  // Pivots the tableau on (row, col) and records col as the row's basic variable.
  void pivot(std::size_t row, std::size_t col);
  // Phase two on the reduced costs `cost` (length n_ + 1, last entry minus the objective):
  // iterates to optimality or unboundedness over the first `n_cols` columns.
  LpStatus iterate(std::vector<double>& cost, std::size_t n_cols);
  // Pivots artificial variables out of the basis after phase one, dropping rows with none
  // of the original columns left (redundant equations).
  void drive_out_artificials(std::size_t n_original);

  Mat tab_;                          // rows x (columns + 1): B^-1 A | B^-1 b
  std::vector<std::size_t> basis_;   // basic column of each row
  std::size_t n_ = 0;                // original columns
  bool feasible_ = false;
};

// Minimises c'x over {x >= 0 : A x = b}.
LpSolution solve_standard_lp(const Mat& a, std::span<const double> b, std::span<const double> c);

// Minimises c'x subject to A_ub x <= b_ub and A_eq x = b_eq, with x_j >= 0 where
// nonnegative[j] and x_j free otherwise (either matrix may have no rows; both have c.size()
// columns). Free variables are split into positive and negative parts and inequalities get
// slacks; the returned x is in the original variables.
LpSolution solve_lp(std::span<const double> c, const Mat& a_ub, std::span<const double> b_ub,
                    const Mat& a_eq, std::span<const double> b_eq,
                    const std::vector<bool>& nonnegative);

}  // namespace tessarix::linalg
