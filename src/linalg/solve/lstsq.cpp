#include "linalg/solve/lstsq.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/factor/qr.hpp"
#include "linalg/factor/svd.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

// Jacobi sweeps and the orthogonality threshold of the decomposition, as for every other
// thin SVD of the system.
constexpr std::size_t kSvdSweeps = 60;
constexpr double kSvdTol = 1e-15;

// Singular values at or below max(m, n) * epsilon * s_max are rounding noise of a zero.
double rank_cutoff(const Svd& svd) {
  const double s_max = svd.s.empty() ? 0.0 : svd.s.front();
  return static_cast<double>(std::max(svd.m, svd.n)) * std::numeric_limits<double>::epsilon() * s_max;
}

}  // namespace

std::expected<std::vector<double>, LinalgError> ols(const Mat& x, std::span<const double> y) {
  auto qr = Qr::make(x);
  if (!qr) return std::unexpected(qr.error());
  return qr->solve_lstsq(y);
}

std::vector<double> ridge(const Mat& x, std::span<const double> y, double lambda, double noise) {
  std::vector<double> beta(x.cols(), 0.0);
  if (x.empty()) return beta;
  const Svd svd = Svd::make_tol(x, kSvdSweeps, kSvdTol);
  const double cutoff = std::fmax(rank_cutoff(svd), noise);
  // u_c^T y shrunk by s / (s^2 + lambda), written 1 / (s + lambda / s) so that no square
  // overflows; then accumulated along v_c.
  std::vector<double> shrunk(svd.s.size(), 0.0);
  for (std::size_t c = 0; c < svd.s.size(); ++c) {
    const double s = svd.s[c];
    if (!(s > cutoff)) continue;
    shrunk[c] = dot(svd.u.col(c), y) / (s + lambda / s);
  }
  gemv(svd.v, shrunk, beta, 1.0, 0.0);
  return beta;
}

}  // namespace tessarix::linalg
