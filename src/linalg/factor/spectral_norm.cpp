#include "linalg/factor/spectral_norm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "linalg/ops/matmul.hpp"
#include "linalg/ops/transform.hpp"

namespace tessarix::linalg {
namespace {

// Sturm-count pivots that come out exactly zero are replaced by this share of the matrix's
// norm (the usual safe minimum pivot): the count stays that of a matrix within rounding.
constexpr double kPivotFloor = 1e-300;
// Bisection steps: far more than the ~2100 halvings between the largest and smallest double.
constexpr int kMaxBisections = 2200;

// The exact power of two that brings the largest magnitude of `a` near 1, so that squares
// neither overflow nor underflow (0 when the matrix is zero).
int range_exponent(const Mat& a) {
  double big = 0.0;
  for (double x : a.data()) big = std::max(big, std::fabs(x));
  return big > 0.0 ? -std::ilogb(big) : 0;
}

// S <- H S H for the reflector H = I - tau v v^T acting on rows and columns k + 1.. of the
// symmetric S (n x n, column-major): with p = tau S v and w = p - (tau / 2)(p . v) v, the
// trailing block loses v w^T + w v^T.
void reflect_trailing(double* s, std::size_t n, std::size_t k, const Householder& h) {
  const std::size_t off = k + 1, r = n - off;
  const std::vector<double>& v = h.v;
  std::vector<double> w(r, 0.0);
  for (std::size_t j = 0; j < r; ++j) {
    const double* col = s + (off + j) * n + off;
    const double vj = h.tau * v[j];
    for (std::size_t i = 0; i < r; ++i) w[i] += vj * col[i];
  }
  double pv = 0.0;
  for (std::size_t i = 0; i < r; ++i) pv += w[i] * v[i];
  const double half = 0.5 * h.tau * pv;
  for (std::size_t i = 0; i < r; ++i) w[i] -= half * v[i];
  for (std::size_t j = 0; j < r; ++j) {
    double* col = s + (off + j) * n + off;
    const double wj = w[j], vj = v[j];
    for (std::size_t i = 0; i < r; ++i) col[i] -= v[i] * wj + w[i] * vj;
  }
}

// Number of eigenvalues of t below x (Sturm sequence of the LDL^T pivots of T - x I).
std::size_t count_below(const Tridiagonal& t, double x, double floor) {
  std::size_t count = 0;
  double q = 1.0;
  for (std::size_t k = 0; k < t.d.size(); ++k) {
    const double coupling = k == 0 ? 0.0 : t.e[k - 1] * t.e[k - 1] / q;
    q = t.d[k] - x - coupling;
    if (std::fabs(q) < floor) q = -floor;
    if (q < 0.0) ++count;
  }
  return count;
}

}  // namespace

Tridiagonal tridiagonalize(Mat s) {
  const std::size_t n = s.rows();
  double* ps = s.data().data();
  for (std::size_t k = 0; k + 2 < n; ++k) {
    const Householder h = Householder::make({ps + k * n + k + 1, n - k - 1});
    if (h.tau != 0.0) reflect_trailing(ps, n, k, h);
    ps[k * n + k + 1] = h.beta;
  }
  Tridiagonal t;
  for (std::size_t k = 0; k < n; ++k) t.d.push_back(ps[k * n + k]);
  for (std::size_t k = 0; k + 1 < n; ++k) t.e.push_back(ps[k * n + k + 1]);
  return t;
}

double largest_eigenvalue(const Tridiagonal& t) {
  const std::size_t n = t.d.size();
  if (n == 0) return 0.0;
  // Gershgorin bounds of the whole spectrum.
  double lo = std::numeric_limits<double>::infinity(), hi = -lo, norm = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double radius = (k > 0 ? std::fabs(t.e[k - 1]) : 0.0) +
                          (k + 1 < n ? std::fabs(t.e[k]) : 0.0);
    lo = std::min(lo, t.d[k] - radius);
    hi = std::max(hi, t.d[k] + radius);
    norm = std::max(norm, std::fabs(t.d[k]) + radius);
  }
  if (norm == 0.0) return 0.0;
  const double floor = kPivotFloor * norm;
  const double eps = std::numeric_limits<double>::epsilon();
  // The largest eigenvalue stays in [lo, hi]: at least one eigenvalue is >= lo, none > hi.
  for (int it = 0; it < kMaxBisections; ++it) {
    const double mid = 0.5 * lo + 0.5 * hi;
    if (mid <= lo || mid >= hi) break;
    if (hi - lo <= 2.0 * eps * std::max(std::fabs(lo), std::fabs(hi)) + floor) break;
    if (count_below(t, mid, floor) == n) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return 0.5 * lo + 0.5 * hi;
}

double largest_singular_value(const Mat& a) {
  if (a.empty()) return 0.0;
  for (double x : a.data()) {
    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
  }
  const int e = range_exponent(a);
  Mat scaled = a.rows() >= a.cols() ? a : a.transpose();
  for (double& x : scaled.data()) x = std::ldexp(x, e);
  const double top = largest_eigenvalue(tridiagonalize(syrk_ata(scaled)));
  return std::ldexp(std::sqrt(std::max(top, 0.0)), -e);
}

}  // namespace tessarix::linalg
