// The exact solution path of the l1-penalised quadratic program
//   minimise 1/2 g'Q g + r'g + lambda ||g||_1   (Q positive definite)
// over all lambda >= 0, by the homotopy method (LARS with the lasso modification): the
// solution is piecewise linear in lambda, zero from lambda_max = ||r||_inf up, and each knot
// is where a coordinate joins the active set (its gradient reaches lambda) or leaves it (it
// crosses zero). Between knots the active coordinates solve Q_AA g_A = -(r_A + lambda s_A).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

struct L1Path {
  std::vector<double> lambdas;               // knots, decreasing from lambda_max to 0
  std::vector<std::vector<double>> points;   // the solution at each knot
};

// The path of min 1/2 g'Qg + r'g + lambda ||g||_1 (Q n x n symmetric positive definite; its
// lower triangle is read). A singular Q is regularised by a ridge of kL1PathRidge times its
// largest diagonal entry.
L1Path l1_path(const Mat& q, std::span<const double> r);

// The solution at lambda, interpolated linearly between the path's knots.
std::vector<double> l1_path_at(const L1Path& path, double lambda);

// Relative ridge added to a Q that is not numerically positive definite.
inline constexpr double kL1PathRidge = 1e-12;

}  // namespace tessarix::linalg
