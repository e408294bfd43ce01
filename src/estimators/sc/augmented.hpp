// Augmented synthetic control (Ben-Michael, Feller and Rothstein): classic simplex weights
// plus a ridge-regression correction of the remaining pre-period imbalance.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::augmented {

struct AscOptions {
  std::optional<double> aug_lambda;  // ridge strength; absent = 0.1 * trace(K) / t0
  double sc_ridge = 0.0;             // ridge of the simplex weight solver
  double min_weight = 0.0;
  double max_weight = 1.0;
};

// The fit on prepared series: y_pre (t0), y_post (T - t0), donor blocks x0 (t0 x J) and
// x1 ((T - t0) x J). `weights` are the plain simplex weights (the correction is not folded in).
ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const AscOptions& options);

ScFit fit_at(const Panel& panel, std::size_t t0, const AscOptions& options);

}  // namespace tessarix::sc::augmented
