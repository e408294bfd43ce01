// Seeded randomized truncated SVD (range finder with Gaussian sketch and power iterations)
// for large low-rank problems.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

struct RandomizedSvd {
  Mat u;                 // m x r
  std::vector<double> s;  // r values, descending
  Mat v;                 // n x r

  // U diag(values) V^T over the r components.
  Mat reconstruct_with(std::span<const double> values) const;
};

// Rank-r approximation with r = min(min(m, n), max(rank, 1)), a sketch of r + oversample
// columns (capped at min(m, n)) and power_iters power iterations; bit-identical per seed.
RandomizedSvd randomized_svd(const Mat& a, std::size_t rank, std::size_t oversample,
                             std::size_t power_iters, std::uint64_t seed);

}  // namespace tessarix::linalg
