// Logistic regression of a 0/1 outcome on a design matrix by maximum likelihood: Newton's
// method (iteratively reweighted least squares) with step halving on the log-likelihood, and
// the inverse information that the influence function of a propensity-score estimator needs.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

struct LogitFit {
  std::vector<double> beta;    // one coefficient per design column
  std::vector<double> fitted;  // P(d = 1 | x_i) = 1 / (1 + exp(-x_i' beta)), one per row
  // n (X' W X)^-1 with W = diag(p (1 - p)) at the solution: the asymptotic covariance of
  // sqrt(n) (beta_hat - beta), through which the estimation of beta enters an influence function.
  Mat inverse_information;
  std::size_t iterations = 0;  // Newton steps taken
};

// Why the maximum-likelihood estimate was not found.
enum class LogitFailure {
  Separation,    // a fitted probability reached exactly 0 or 1: the design (quasi-)completely
                 // separates the two outcomes and the coefficients diverge
  NotConverged,  // no convergence within the iteration limit (coefficients drifting off,
                 // as under quasi-complete separation)
  Singular,      // X' W X cannot be factored: collinear design columns
  Empty,         // no rows, no columns, or rows of only one outcome
};

// What a failure means, in a few words for an error message.
std::string_view describe(LogitFailure failure);

// The logit fit of d (entries 0 or 1, one per row of x) on the columns of x, which should
// include a constant column for an intercept.
std::expected<LogitFit, LogitFailure> logit(const Mat& x, std::span<const double> d);

}  // namespace tessarix::linalg
