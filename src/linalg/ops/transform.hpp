// Householder reflectors H = I - tau v v^T mapping a vector x onto beta e1, the building
// block of the QR factorization.
#pragma once

#include <span>
#include <vector>

namespace tessarix::linalg {

struct Householder {
  std::vector<double> v;  // v[0] = 1
  double tau = 0.0;       // 0 means H = I
  double beta = 0.0;      // the first entry of H x

  // The reflector of x (overflow-safe norm of x[1..]); x of length 0 gives an empty one.
  static Householder make(std::span<const double> x);
};

}  // namespace tessarix::linalg
