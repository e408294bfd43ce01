// Design diagnostics of a proposed geo test (treated markets and test length), before it
// runs: volume share, pre-period fit of a synthetic control and its gain over a naive
// level-shifted average, volatility and seasonality of the treated series, a 0-100
// confidence score and plain-language warnings. Every score is scale-free: exactly the same
// for a panel and its power-of-two multiples, to solver precision for other multiples.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::geo {

using linalg::Mat;

struct Diagnostics {
  std::vector<std::string> warnings;
  double holdout_pct = 0.0;           // treated share of total volume, in [0, 1]
  double pre_fit_rel = 0.0;           // pre-period RMSPE over the treated series' spread
  double improvement_vs_naive = 0.0;  // in [0, 1]
  double seasonality_strength = 0.0;  // in [0, 1]
  double stability_score = 0.0;       // in [0, 1]
  double confidence = 0.0;            // in [0, 100]
};

// Per-period mean over the listed markets (all zeros for an empty list).
std::vector<double> unit_avg(const Mat& y, std::span<const std::size_t> markets);

// The diagnostics of treating `treated` for the last test_len periods (1 <= test_len < T).
Diagnostics diagnostics(const Mat& y, std::span<const std::size_t> treated, std::size_t test_len);

}  // namespace tessarix::geo
