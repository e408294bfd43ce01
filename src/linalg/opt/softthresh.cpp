#include "linalg/opt/softthresh.hpp"

#include <vector>

#include "linalg/factor/randomized.hpp"
#include "linalg/factor/svd.hpp"

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

}  // namespace

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
  const RandomizedSvd svd = randomized_svd(a, rank, 6, 1, seed);
  auto [values, nuclear] = shrink(svd.s, tau);
  return {svd.reconstruct_with(values), nuclear};
}

}  // namespace tessarix::linalg
