// Resampling inference: the circular block bootstrap and the stationary bootstrap of the mean
// of a (possibly autocorrelated) series, and the multiplier bootstrap that turns per-event-time
// influence functions into simultaneous (sup-t) bands. Replicate r draws from its own stream,
// substream(seed, r), and replicates run on the shared pool, so every result is the same for
// any number of workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "inference/ci.hpp"

namespace tessarix::inference {

struct BootstrapMean {
  // estimate: the series mean; se: spread of the replicate means (n_reps - 1 divisor);
  // lower/upper: their raw percentile bounds. se and bounds are NaN with fewer than two
  // replicates, where no spread can be estimated.
  PercentileCi ci;
  std::vector<double> replicates;  // replicate means, in replicate order
};

// Circular block bootstrap of the mean: blocks of block_len consecutive values (0 counts as 1,
// more than the series length as the length) wrapping around the end, from uniform starts.
BootstrapMean block_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                   std::size_t n_reps, std::uint64_t seed, double level);

// Stationary bootstrap of the mean (Politis-Romano): blocks of geometric length with mean
// block_len (0 counts as 1, an i.i.d. bootstrap).
BootstrapMean stationary_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                        std::size_t n_reps, std::uint64_t seed, double level);

struct EventBands {
  std::vector<std::pair<double, double>> bands;  // (lower, upper) per event time
  double crit = 0.0;                              // sup-t critical value in standard errors
};

// The sup-t statistic of each multiplier replicate, in replicate order: the largest
// |mean of influence_e[u] xi_u over u < n_e| / se_e over the event times with n_e >= 1 and
// se_e > 0 (NaN terms ignored), with xi the replicate's Mammen multipliers of units 0, 1, ...
std::vector<double> sup_t_replicates(std::span<const std::vector<double>> influence,
                                     std::span<const double> se, std::size_t n_reps,
                                     std::uint64_t seed);

// Simultaneous bands att_e -/+ crit se_e, crit the `level` quantile of the sup-t replicates;
// (att_e, att_e) for all e and crit 0 when there is no event time or no unit. influence, att
// and se must have the same length (invariant failure otherwise).
EventBands multiplier_event_bands(std::span<const std::vector<double>> influence,
                                  std::span<const double> att, std::span<const double> se,
                                  std::size_t n_reps, std::uint64_t seed, double level);

}  // namespace tessarix::inference
