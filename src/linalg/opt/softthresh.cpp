#include "linalg/opt/softthresh.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "linalg/factor/randomized.hpp"
#include "linalg/factor/spectral_norm.hpp"
#include "linalg/factor/subspace.hpp"
#include "linalg/factor/svd.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

// max(s - tau, 0) per value (a NaN difference becomes 0) and their sum from -0.0.
std::pair<std::vector<double>, double> shrink(const std::vector<double>& s, double tau) {
  std::vector<double> out(s.size());
  double nuclear = -0.0;
  for (std::size_t j = 0; j < s.size(); ++j) {
    const double d = s[j] - tau;
    out[j] = d > 0.0 ? d : 0.0;
    nuclear += out[j];
  }
  return {std::move(out), nuclear};
}

// Thresholds below this share of the largest singular value go to the full decomposition:
// through the Gram matrix a component's error is about eps (s_1 / tau)^2 s_1, under 1e-10
// relative here.
constexpr double kGramFloor = 1e-3;

// The range of largest magnitudes in which a Gram matrix is used unscaled: squares stay below
// 2^800, far from overflow even summed over any row count, and the largest squares stay above
// 2^-800, so only products negligible beside them can fall into the subnormals.
constexpr double kGramRangeLow = 0x1p-400;
constexpr double kGramRangeHigh = 0x1p400;

// The exact power of two that brings the largest magnitude of `a` near 1.
int range_exponent(const Mat& a) {
  double big = 0.0;
  for (double x : a.data()) big = std::max(big, std::fabs(x));
  return big > 0.0 && std::isfinite(big) ? -std::ilogb(big) : 0;
}

// Eigenvectors kept beyond those above the threshold as the next call's subspace-iteration
// basis, and the largest such block (beyond it the tridiagonal route is cheaper).
constexpr std::size_t kBasisExtra = 3;
constexpr std::size_t kMaxBlock = 16;

// The eigenpairs of the Gram matrix above tau^2 and its largest eigenvalue, by subspace
// iteration from `basis` when there is one and it settles, else from the tridiagonal form;
// `basis` (when given) receives the next call's basis, empty when none is worth keeping.
std::pair<Eigenpairs, double> gram_eigenpairs_above(Mat gram, double tau, Mat* basis) {
  const std::size_t n = gram.rows();
  if (basis != nullptr && !basis->empty()) {
    Mat block;
    if (auto pairs = eigenpairs_above_from(gram, tau * tau, *basis, block)) {
      *basis = std::move(block);
      // Nothing outside the block reaches tau^2, so its top Ritz value bounds the rest.
      const double top = pairs->values.empty() ? 0.0 : pairs->values[0];
      return {std::move(*pairs), top};
    }
  }
  const TridiagonalForm form = tridiagonal_form(std::move(gram));
  const double top = largest_eigenvalue(form.t);
  const std::size_t k = n - count_below(form.t, tau * tau);
  const bool block = basis != nullptr && k + kBasisExtra <= kMaxBlock && k + kBasisExtra < n;
  Eigenpairs pairs = top_eigenpairs(form.t, block ? k + kBasisExtra : k);
  form.to_original(pairs.vectors);
  const bool keep = block && settles_quickly(pairs.values, k);
  if (basis != nullptr) *basis = keep ? pairs.vectors : Mat();
  if (block) {
    pairs.vectors = pairs.vectors.leading_cols(k);
    pairs.values.resize(k);
  }
  return {std::move(pairs), top};
}

// svt_above for a with at least as many rows as columns, given its Gram matrix (lower
// triangle), at a scale where squares keep their range; nullopt when tau is too small for
// the Gram route.
std::optional<std::pair<Mat, double>> svt_above_tall(const Mat& a, Mat gram, double tau,
                                                     Mat* basis) {
  auto [pairs, top] = gram_eigenpairs_above(std::move(gram), tau, basis);
  if (!(tau >= kGramFloor * std::sqrt(std::max(top, 0.0)))) return std::nullopt;
  const std::size_t k = pairs.values.size();
  std::vector<double> weight(k);
  double nuclear = 0.0;
  for (std::size_t j = 0; j < k; ++j) {
    const double s = std::sqrt(std::max(pairs.values[j], 0.0));
    const double d = s - tau;
    weight[j] = d > 0.0 ? d / s : 0.0;
    nuclear += d > 0.0 ? d : 0.0;
  }
  Mat av(a.rows(), k);
  gemm(a, pairs.vectors, av, 1.0, 0.0);
  return std::pair{reconstruct_from(av, pairs.vectors, weight), nuclear};
}

}  // namespace

std::pair<Mat, double> svt_above(const Mat& a, double tau, Mat& rotation) {
  for (double x : a.data()) {
    if (!std::isfinite(x)) return svt_warm(a, tau, rotation);
  }
  const int e = range_exponent(a);
  const bool transposed = a.rows() < a.cols();
  Mat w = transposed ? a.transpose() : a;
  scale_by_pow2(w.data(), e);
  auto out = svt_above_tall(w, syrk_ata(w), std::ldexp(tau, e), nullptr);
  if (!out) return svt_warm(a, tau, rotation);
  scale_by_pow2(out->first.data(), -e);
  out->second = std::ldexp(out->second, -e);
  if (transposed) out->first = out->first.transpose();
  return *out;
}

std::optional<std::pair<Mat, double>> svt_above_gram(const Mat& a, Mat gram, double tau,
                                                     Mat& basis) {
  if (a.rows() < a.cols()) return std::nullopt;
  double big = 0.0;
  bool finite = true;
  for (double x : a.data()) {
    finite = finite && std::isfinite(x);
    big = std::max(big, std::fabs(x));
  }
  if (!finite || !(big >= kGramRangeLow && big <= kGramRangeHigh)) return std::nullopt;
  return svt_above_tall(a, std::move(gram), tau, &basis);
}

std::pair<Mat, double> svt(const Mat& a, double tau) {
  const Svd svd = Svd::make_tol(a, 60, 1e-15);
  auto [values, nuclear] = shrink(svd.s, tau);
  return {svd.reconstruct_with(values), nuclear};
}

std::pair<Mat, double> svt_warm(const Mat& a, double tau, Mat& rotation) {
  const Svd svd = Svd::make_warm(a, rotation, 60, 1e-15);
  auto [values, nuclear] = shrink(svd.s, tau);
  return {svd.reconstruct_with(values), nuclear};
}

std::pair<Mat, double> svt_truncated(const Mat& a, std::size_t rank, std::uint64_t seed,
                                     double tau) {
  return svt_truncated(a, GaussianSketch::make(a.rows(), a.cols(), rank, kSvtOversample, seed),
                       tau);
}

std::pair<Mat, double> svt_truncated(const Mat& a, const GaussianSketch& sketch, double tau) {
  const RandomizedSvd svd = randomized_svd(a, sketch, kSvtPowerIters);
  auto [values, nuclear] = shrink(svd.s, tau);
  return {svd.reconstruct_with(values), nuclear};
}

}  // namespace tessarix::linalg
