// Demeaned synthetic control (Ferman and Pinto): each unit's pre-period mean is removed
// before the weights are solved, and the treated level is added back to the counterfactual,
// so a treated level outside the donors' convex hull can still be matched.
#pragma once

#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::demeaned {

struct FpOptions {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double ridge = 0.0;
};

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const FpOptions& options);

ScFit fit_at(const Panel& panel, std::size_t t0, const FpOptions& options);

}  // namespace tessarix::sc::demeaned
