// Synthetic difference-in-differences (Arkhangelsky, Athey, Hirshberg, Imbens and Wager):
// simplex unit weights with an intercept and a noise-scaled ridge, simplex time weights with
// an intercept, and the weighted double difference; plus the fixed-weights leave-one-unit-out
// jackknife of the effect.
#pragma once

#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::sdid {

struct SdidOptions {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double zeta_scale = 1.0;  // multiplier of the regularisation strength zeta
};

// Weights w (one per column of a, n x m) minimising 1/2 ||a w + c - b||^2 + 1/2 ridge ||w||^2
// over the bounded simplex and a free intercept c; only w is returned.
std::vector<double> simplex_with_intercept(const Mat& a, std::span<const double> b, double ridge,
                                           double min_weight, double max_weight);

// The SDID fit: weights are the unit weights; pre/post RMSPE are deviations around the mean.
ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options);

// The SDID effect for the given treated and donor lists with fixed unit weights omega (one
// per donor, used as given) and time weights lambda (one per pre-period).
double att_given_weights(const Panel& panel, std::size_t t0, std::span<const std::size_t> treated,
                         std::span<const std::size_t> donors, std::span<const double> omega,
                         std::span<const double> lambda);

// Leave-one-out effects with the full-sample weights held fixed: each treated unit left out
// in turn, then each donor whose weight is below 1 - 1e-12 (remaining weights renormalised).
std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       const SdidOptions& options);

}  // namespace tessarix::sc::sdid
