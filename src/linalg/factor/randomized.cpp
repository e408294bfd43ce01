#include "linalg/factor/randomized.hpp"

#include <algorithm>

#include "linalg/factor/qr.hpp"
#include "linalg/factor/svd.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/rng.hpp"

namespace tessarix::linalg {

GaussianSketch GaussianSketch::make(std::size_t m, std::size_t n, std::size_t rank,
                                    std::size_t oversample, std::uint64_t seed) {
  const std::size_t l_max = std::min(m, n);
  const std::size_t r = std::min(l_max, std::max<std::size_t>(rank, 1));
  const std::size_t ell = std::min(l_max, r + oversample);
  Xoshiro256pp rng(seed);
  GaussianSketch out{m, n, r, Mat(n, ell)};
  for (double& x : out.omega.data()) x = rng.normal();
  return out;
}

RandomizedSvd randomized_svd(const Mat& a, std::size_t rank, std::size_t oversample,
                             std::size_t power_iters, std::uint64_t seed) {
  return randomized_svd(a, GaussianSketch::make(a.rows(), a.cols(), rank, oversample, seed),
                        power_iters);
}

RandomizedSvd randomized_svd(const Mat& a, const GaussianSketch& sketch,
                             std::size_t power_iters) {
  require_eq(a.rows(), sketch.rows, "randomized_svd: rows differ from the sketch's");
  require_eq(a.cols(), sketch.cols, "randomized_svd: columns differ from the sketch's");
  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  const std::size_t r = sketch.rank;
  const std::size_t ell = sketch.omega.cols();
  const Mat& omega = sketch.omega;

  // A^T in storage order, so that products with it run in register tiles like those with A.
  const Mat at = a.transpose();
  Mat y(m, ell);
  gemm(a, omega, y, 1.0, 0.0);
  if (power_iters > 0) {
    Mat z(n, ell);
    for (std::size_t it = 0; it < power_iters; ++it) {
      gemm(at, y, z, 1.0, 0.0);
      gemm(a, z, y, 1.0, 0.0);
    }
  }
  auto qr = Qr::make(std::move(y));
  if (!qr) invariant_failure("randomized_svd: QR of sample matrix");
  const Mat q = qr->q_thin();

  // B = Q^T A, built as A^T Q (column j the dot products of A's columns with q_j) and
  // transposed.
  Mat bt(n, ell);
  gemm(at, q, bt, 1.0, 0.0);
  const Svd small = Svd::make_tol(bt.transpose(), 60, 1e-15);
  Mat u_full(m, small.u.cols());
  gemm(q, small.u, u_full, 1.0, 0.0);

  RandomizedSvd out;
  out.u = u_full.leading_cols(r);
  out.v = small.v.leading_cols(r);
  out.s.assign(small.s.begin(), small.s.begin() + static_cast<std::ptrdiff_t>(r));
  return out;
}

Mat RandomizedSvd::reconstruct_with(std::span<const double> values) const {
  return reconstruct_from(u, v, values);
}

}  // namespace tessarix::linalg
