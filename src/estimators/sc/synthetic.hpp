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

// The fit at treatment time t0 (first post-period column).
ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options);

}  // namespace tessarix::sc::synthetic
