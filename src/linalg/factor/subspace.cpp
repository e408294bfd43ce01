#include "linalg/factor/subspace.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/ops/matmul.hpp"
#include "linalg/lanes.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

// Subspace iteration gains the ratio of the block's smallest Ritz value to the smallest
// wanted one per step; above this ratio it would need more steps than the tridiagonal route
// costs, so the caller takes that route instead.
constexpr double kMaxContraction = 0.05;
// Steps allowed: from a basis that is the previous call's eigenvectors, residuals reach
// rounding level in three to five at the contraction above.
constexpr int kMaxSteps = 8;
// A Ritz pair has settled when its residual is below this many rounding units of the
// matrix's Frobenius norm (the backward error of the tridiagonal route is a few units).
constexpr double kResidualUnits = 64.0;

// s with its upper triangle filled from the lower.
Mat symmetric_from_lower(Mat s) {
  const std::size_t n = s.rows();
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j + 1; i < n; ++i) s(j, i) = s(i, j);
  }
  return s;
}

// Frobenius norm of the symmetric matrix whose lower triangle s holds (overflow-safe:
// column pieces by scaled_norm, combined by hypot).
double symmetric_norm(const Mat& s) {
  const std::size_t n = s.rows();
  double norm = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double below = scaled_norm(s.col(j).subspan(j + 1));
    norm = std::hypot(norm, std::hypot(s(j, j), std::sqrt(2.0) * below));
  }
  return norm;
}

// Columns per panel of the blocked Cholesky.
constexpr std::size_t kPanel = 4;

// y -= a0 x0 + a1 x1 + a2 x2 + a3 x3, elementwise, in that order.
__attribute__((target_clones("avx2", "default"))) void sub_rank4(
    std::size_t len, const double* a, const double* x0, const double* x1, const double* x2,
    const double* x3, double* y) {
  for (std::size_t i = 0; i < len; ++i) {
    y[i] = (((y[i] - a[0] * x0[i]) - a[1] * x1[i]) - a[2] * x2[i]) - a[3] * x3[i];
  }
}

// x . y in four vector lanes summed in a fixed order at the end (the same in both clones).
__attribute__((target_clones("avx2", "default"))) double lane_dot(std::size_t n,
                                                                  const double* x,
                                                                  const double* y) {
  V4 acc = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    V4 xv, yv;
    __builtin_memcpy(&xv, x + i, sizeof xv);
    __builtin_memcpy(&yv, y + i, sizeof yv);
    acc += xv * yv;
  }
  double sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  for (; i < n; ++i) sum += x[i] * y[i];
  return sum;
}

// The Ritz pairs of s on the span of the orthonormal v (n x b): values descending, vectors
// x = v w, and s x = y w with y = s v.
struct Ritz {
  std::vector<double> values;
  Mat x, sx;
};

Ritz rayleigh_ritz(const Mat& v, const Mat& y) {
  const std::size_t b = v.cols();
  // H = V^T S V from y = S V, symmetrised (its lower triangle is what the reduction reads).
  Mat h(b, b);
  for (std::size_t j = 0; j < b; ++j) {
    for (std::size_t i = j; i < b; ++i) {
      const std::size_t n = v.rows();
      h(i, j) = 0.5 * lane_dot(n, v.col(i).data(), y.col(j).data()) +
                0.5 * lane_dot(n, v.col(j).data(), y.col(i).data());
    }
  }
  const TridiagonalForm form = tridiagonal_form(std::move(h));
  Eigenpairs small = top_eigenpairs(form.t, b);
  form.to_original(small.vectors);
  Ritz r{std::move(small.values), Mat(v.rows(), b), Mat(v.rows(), b)};
  gemm(v, small.vectors, r.x, 1.0, 0.0);
  gemm(y, small.vectors, r.sx, 1.0, 0.0);
  return r;
}

// Whether every Ritz pair above the threshold has a residual |s x - theta x| within tol.
bool settled(const Ritz& r, double threshold, double tol) {
  std::vector<double> res(r.x.rows());
  for (std::size_t j = 0; j < r.values.size() && r.values[j] > threshold; ++j) {
    const auto x = r.x.col(j), sx = r.sx.col(j);
    for (std::size_t i = 0; i < res.size(); ++i) res[i] = sx[i] - r.values[j] * x[i];
    if (!(scaled_norm(res) <= tol)) return false;
  }
  return true;
}

// y's columns made orthonormal in place by modified Gram-Schmidt, run twice so that the
// result is orthonormal to rounding ("twice is enough"); false when a column is dependent on
// the earlier ones.
bool orthonormalize(Mat& y) {
  const std::size_t n = y.rows(), b = y.cols();
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t j = 0; j < b; ++j) {
      double* col = y.col(j).data();
      for (std::size_t p = 0; p < j; ++p) {
        const double* prev = y.col(p).data();
        sub_scaled(n, lane_dot(n, prev, col), prev, col);
      }
      const double len = scaled_norm(y.col(j));
      if (!(len > 0.0 && std::isfinite(len))) return false;
      for (std::size_t i = 0; i < n; ++i) col[i] /= len;
    }
  }
  return true;
}

// s <- s - theta x x^T on the lower triangle (each column an elementwise update).
void sub_outer_lower(Mat& s, double theta, std::span<const double> x) {
  const std::size_t n = s.rows();
  for (std::size_t j = 0; j < n; ++j) {
    sub_scaled(n - j, theta * x[j], x.data() + j, s.col(j).data() + j);
  }
}

}  // namespace

bool settles_quickly(std::span<const double> values, std::size_t wanted) {
  if (wanted >= values.size()) return false;  // the block may be missing wanted eigenvalues
  return wanted == 0 || values.back() <= kMaxContraction * values[wanted - 1];
}

bool positive_definite(Mat s) {
  // Right-looking Cholesky on the lower triangle, four columns at a time: the panel's
  // columns are factored among themselves, then each trailing column takes the rank-four
  // update of the panel in one pass.
  const std::size_t n = s.rows();
  for (std::size_t j0 = 0; j0 < n; j0 += kPanel) {
    const std::size_t j1 = std::min(j0 + kPanel, n);
    for (std::size_t j = j0; j < j1; ++j) {
      double* col = s.col(j).data();
      if (!(col[j] > 0.0 && std::isfinite(col[j]))) return false;
      const double pivot = std::sqrt(col[j]);
      for (std::size_t i = j + 1; i < n; ++i) col[i] /= pivot;
      for (std::size_t c = j + 1; c < j1; ++c) {
        sub_scaled(n - c, col[c], col + c, s.col(c).data() + c);
      }
    }
    if (j1 - j0 == kPanel) {
      const double* p[kPanel] = {s.col(j0).data(), s.col(j0 + 1).data(), s.col(j0 + 2).data(),
                                 s.col(j0 + 3).data()};
      for (std::size_t c = j1; c < n; ++c) {
        const double a[kPanel] = {p[0][c], p[1][c], p[2][c], p[3][c]};
        sub_rank4(n - c, a, p[0] + c, p[1] + c, p[2] + c, p[3] + c, s.col(c).data() + c);
      }
    } else {
      for (std::size_t j = j0; j < j1; ++j) {
        const double* col = s.col(j).data();
        for (std::size_t c = j1; c < n; ++c) {
          sub_scaled(n - c, col[c], col + c, s.col(c).data() + c);
        }
      }
    }
  }
  return true;
}

std::optional<Eigenpairs> eigenpairs_above_from(const Mat& s, double threshold,
                                                const Mat& basis, Mat& block) {
  const std::size_t n = s.rows(), b = basis.cols();
  if (b == 0 || b >= n || basis.rows() != n) return std::nullopt;
  const Mat full = symmetric_from_lower(s);
  const double tol = kResidualUnits * std::numeric_limits<double>::epsilon() * symmetric_norm(s);
  Mat v = basis;
  if (!orthonormalize(v)) return std::nullopt;
  for (int step = 0; step < kMaxSteps; ++step) {
    Mat y(n, b);
    gemm(full, v, y, 1.0, 0.0);
    Ritz r = rayleigh_ritz(v, y);
    const std::size_t k = static_cast<std::size_t>(
        std::count_if(r.values.begin(), r.values.end(), [&](double t) { return t > threshold; }));
    if (!settles_quickly(r.values, k)) return std::nullopt;
    if (settled(r, threshold, tol)) {
      // Certificate: with the pairs above the threshold taken out, nothing reaches it.
      Mat gap = s;
      for (std::size_t p = 0; p < k; ++p) sub_outer_lower(gap, r.values[p], r.x.col(p));
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j; i < n; ++i) gap(i, j) = (i == j ? threshold : 0.0) - gap(i, j);
      }
      if (!positive_definite(std::move(gap))) return std::nullopt;
      Eigenpairs out{std::vector<double>(r.values.begin(), r.values.begin() + k),
                     r.x.leading_cols(k)};
      block = std::move(r.x);
      return out;
    }
    // The next power step from the Ritz vectors: S X, whose columns are nearly orthogonal
    // already (theta_j x_j plus the residuals).
    v = std::move(r.sx);
    if (!orthonormalize(v)) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tessarix::linalg
