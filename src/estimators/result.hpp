// The record every synthetic-control-family fit returns, and the summary statistics
// (mean, overflow-safe root mean square) its fields are defined with.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tessarix {

struct ScFit {
  double att = 0.0;                     // mean of att_path; 0 with no post-period
  std::vector<double> att_path;         // treated_post[k] - counterfactual[k]
  std::vector<double> counterfactual;   // estimated untreated path of the averaged treated unit
  std::vector<double> treated_post;     // observed post-period path, averaged over treated units
  std::vector<double> weights;          // one per donor, in donor_ids order
  std::vector<std::size_t> donor_ids;   // never-treated units, ascending
  double pre_rmspe = 0.0;
  double post_rmspe = 0.0;
};

// Plain left-to-right sum divided by the count; 0 for an empty slice.
double mean(std::span<const double> x);

// Sum of squared deviations from the mean (the mean as above); 0 for an empty slice.
double sum_sq_dev(std::span<const double> x);

// Root mean square via the scaled Euclidean norm: norm / sqrt(max(n, 1)); 0 when empty.
double rms(std::span<const double> x);

}  // namespace tessarix
