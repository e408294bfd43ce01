// The fixed-weights leave-one-out jackknife of a synthetic DiD fit (the procedure of
// `synthdid`): its refits run on the shared pool with the full fit's weights, and its
// standard error.
#pragma once

#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/sc/sdid.hpp"
#include "inference/fit_inference.hpp"

namespace tessarix::inference {

// The leave-one-out effects of the fit `full` of `panel` at t0, in case order (each treated
// unit left out, then each donor not carrying all the weight), computed in parallel at the
// panel's canonical scale: bit-identical at any worker count. Invariant failure with fewer
// than two treated units.
std::vector<double> sdid_jackknife(const Panel& panel, std::size_t t0, const sc::sdid::SdidFit& full);

// The jackknife standard error sqrt((n - 1) / n * sum (theta_i - mean)^2); 0 with fewer than
// two effects.
double jackknife_se(std::span<const double> loo);

// The SDID fit at t0 with the jackknife's standard error and the normal interval at `level`
// around its ATT.
InferredFit sdid_with_jackknife(const Panel& panel, std::size_t t0, const sc::sdid::SdidOptions& options,
                                double level);

}  // namespace tessarix::inference
