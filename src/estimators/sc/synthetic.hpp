// Classic synthetic control: simplex (optionally bounded, ridged or pairwise-penalised)
// donor weights that reproduce the averaged treated path before t0; the same weights after
// t0 give the counterfactual.
#pragma once

#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::synthetic {

struct ScOptions {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double ridge = 0.0;
  double penalty = 0.0;  // pairwise-discrepancy penalty, active when > 0
};

// Donor weights for the pre-period donor matrix x0 (t0 x J) and treated path y_pre.
std::vector<double> solve_weights(const Mat& x0, std::span<const double> y_pre,
                                  const ScOptions& options);

// The same with the donors' Gram x0^T x0 given instead of formed: the bits of solve_weights
// when each entry is the dot product of two columns of x0 summed in index order.
std::vector<double> solve_weights(const Mat& x0, Mat gram, std::span<const double> y_pre,
                                  const ScOptions& options);

// The fit at treatment time t0 (first post-period column).
ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options);

// The same fit from the donors' pre-period Gram at the panel's canonical scale (see
// gram_over), with the bits of fit_at.
ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options, const Mat& gram);

// The Gram over periods [0, t0) of every row of y (each row a unit), y as given: that of a
// fit's donors is its sub-block at their rows.
Mat gram_over(const Mat& y, std::size_t t0);

}  // namespace tessarix::sc::synthetic
