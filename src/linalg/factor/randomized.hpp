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

// The Gaussian test matrix of randomized_svd for an m x n matrix and a given rank,
// oversampling and seed (n x ell standard normals in storage order): it depends on the
// shape alone, so a sequence of same-shaped matrices draws it once.
struct GaussianSketch {
  std::size_t rows = 0, cols = 0, rank = 0;
  Mat omega;

  static GaussianSketch make(std::size_t m, std::size_t n, std::size_t rank,
                             std::size_t oversample, std::uint64_t seed);
};

// randomized_svd with the test matrix drawn beforehand (the same bits as drawing it here
// from the sketch's seed); a's shape must be the sketch's.
RandomizedSvd randomized_svd(const Mat& a, const GaussianSketch& sketch,
                             std::size_t power_iters);

}  // namespace tessarix::linalg
