// Tiny timing harness: runs a body repeatedly and reports the median wall time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::bench {

// Median seconds per call over `reps` timed calls (after one warm-up call).
template <class F>
double median_seconds(int reps, F&& body) {
  body();
  std::vector<double> t(static_cast<std::size_t>(reps));
  for (double& s : t) {
    const auto a = std::chrono::steady_clock::now();
    body();
    s = std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
  }
  std::nth_element(t.begin(), t.begin() + reps / 2, t.end());
  return t[static_cast<std::size_t>(reps / 2)];
}

inline void report(const char* what, double seconds) {
  std::printf("%-58s %12.1f us\n", what, seconds * 1e6);
}

inline linalg::Mat random_mat(std::size_t rows, std::size_t cols, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist;
  linalg::Mat m(rows, cols);
  for (double& v : m.data()) v = dist(gen);
  return m;
}

}  // namespace tessarix::bench
