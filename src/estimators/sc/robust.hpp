// Robust (spectrally de-noised) synthetic control (Amjad, Shah and Shen): hard-threshold the
// donors' spectrum and regress the treated pre-period path on the retained factors. The
// weights are unconstrained, which lets the fit extrapolate beyond the donors' convex hull.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::robust {

struct RscOptions {
  std::optional<std::size_t> rank;  // pinned retained rank; absent = chosen by energy
  double energy = 0.999;            // share of the squared spectrum to retain
  double ridge = 0.0;               // ridge of the regression; OLS when not > 0
};

// The number of retained components for singular values s (descending), t0 pre-periods
// and J donors.
std::size_t retained_rank(std::span<const double> s, std::size_t t0, std::size_t n_donors,
                          const RscOptions& options);

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post, const Mat& x0,
                 const Mat& x1, std::vector<std::size_t> donor_ids, const RscOptions& options);

ScFit fit_at(const Panel& panel, std::size_t t0, const RscOptions& options);

}  // namespace tessarix::sc::robust
