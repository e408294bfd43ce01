// Small helpers shared by the C++ test suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "linalg/error.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::testing {

// A rows x cols matrix of uniform(-1, 1) values from a fixed seed.
inline linalg::Mat random_mat(std::size_t rows, std::size_t cols, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  linalg::Mat m(rows, cols);
  for (double& v : m.data()) v = dist(gen);
  return m;
}

// Runs `f`, expecting an InvariantError whose message starts with `prefix`.
template <class F>
void expect_invariant(F&& f, const std::string& prefix) {
  try {
    f();
    ADD_FAILURE() << "expected InvariantError starting with: " << prefix;
  } catch (const InvariantError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
  }
}

}  // namespace tessarix::testing
