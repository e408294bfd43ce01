#include "linalg/factor/svd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>

#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/ops/order.hpp"

namespace tessarix::linalg {
namespace {

// Rotates columns p and q: p <- c p - s q, q <- s p + c q. Elements are independent, so
// the AVX2 clone gives the same bits as the plain loop.
__attribute__((target_clones("avx2", "default"))) void rotate(double* cp, double* cq,
                                                              std::size_t len, double c,
                                                              double s) {
  for (std::size_t i = 0; i < len; ++i) {
    const double xp = cp[i];
    const double xq = cq[i];
    cp[i] = c * xp - s * xq;
    cq[i] = s * xp + c * xq;
  }
}

// Pairs checked together while a sweep finds nothing to rotate: independent dot products
// that share the loads of column p and overlap in the pipeline.
constexpr std::size_t kCheckBlock = 4;

// out[b] = sum of cp[i] * cq[b][i] in index order, for `count` (at most kCheckBlock)
// columns at once: independent chains, each with the bits of a lone dot product.
void correlations(const double* cp, const double* const* cq, std::size_t count,
                  std::size_t len, double* out) {
  static_assert(kCheckBlock == 4, "full blocks go through dot4");
  if (count == kCheckBlock) {
    dot4(len, cp, cq, out);
    return;
  }
  for (std::size_t b = 0; b < count; ++b) {
    double g = 0.0;
    for (std::size_t i = 0; i < len; ++i) g += cp[i] * cq[b][i];
    out[b] = g;
  }
}

// What a sweep needs to know after rotating a pair: both new squared norms and the
// correlation of the new column p with the next column (when there is one), each summed in
// index order from the stored rotated values.
struct RotatedSums {
  double p_sq = 0.0;
  double q_sq = 0.0;
  double next_gamma = 0.0;
};

// rotate() and the sums of the rotated columns in the same pass over the data (the
// correlation with `next` only when kNext).
template <bool kNext>
RotatedSums rotate_and_measure(double* cp, double* cq, const double* next, std::size_t len,
                               double c, double s) {
  RotatedSums r;
  for (std::size_t i = 0; i < len; ++i) {
    const double xp = cp[i];
    const double xq = cq[i];
    const double yp = c * xp - s * xq;
    const double yq = s * xp + c * xq;
    cp[i] = yp;
    cq[i] = yq;
    r.p_sq += yp * yp;
    r.q_sq += yq * yq;
    if constexpr (kNext) r.next_gamma += yp * next[i];
  }
  return r;
}

// Cosine and sine of the rotation that makes a pair with squared norms alpha, beta and
// correlation gamma orthogonal.
std::pair<double, double> jacobi_rotation(double alpha, double beta, double gamma) {
  const double zeta = (beta - alpha) / (2.0 * gamma);
  const double sign = std::signbit(zeta) ? -1.0 : 1.0;
  const double t = sign / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
  const double c = 1.0 / std::sqrt(1.0 + t * t);
  return {c, c * t};
}

// Cyclic one-sided Jacobi on the columns of w (mm x nn), accumulating the rotations into
// vv. Pair (p, q) is rotated unless |gamma| <= tol sqrt(alpha beta), with alpha = |w_p|^2,
// beta = |w_q|^2 and gamma = w_p . w_q, each summed in index order from the current
// columns. Those sums are never formed twice from the same data: the squared norms are kept
// per column (a rotation pass re-measures both of its columns, and the correlation of the
// new column p with the next column), and after a skip the correlations of the next
// kCheckBlock pairs are formed together. The results are those of forming all three sums
// afresh for every pair.
void jacobi_sweeps(Mat& w, Mat& vv, std::size_t max_sweeps, double tol) {
  const std::size_t mm = w.rows();
  const std::size_t nn = w.cols();
  double* pw = w.data().data();
  double* pv = vv.data().data();
  std::vector<double> norm_sq(nn);
  for (std::size_t j = 0; j < nn; ++j) {
    const std::span<const double> col(pw + j * mm, mm);
    norm_sq[j] = dot(col, col);
  }
  for (std::size_t sweep = 0; sweep < max_sweeps; ++sweep) {
    bool rotated = false;
    for (std::size_t p = 0; p + 1 < nn; ++p) {
      double* cp = pw + p * mm;
      double gamma[kCheckBlock];
      std::size_t known = 0;  // correlations of pairs q, q+1, ... already in gamma
      for (std::size_t q = p + 1; q < nn;) {
        if (known == 0) {
          known = std::min(kCheckBlock, nn - q);
          const double* cq[kCheckBlock];
          for (std::size_t b = 0; b < known; ++b) cq[b] = pw + (q + b) * mm;
          correlations(cp, cq, known, mm, gamma);
        }
        std::size_t b = 0;
        while (b < known &&
               std::fabs(gamma[b]) <= tol * std::sqrt(norm_sq[p] * norm_sq[q + b])) {
          ++b;
        }
        if (b == known) {
          q += known;
          known = 0;
          continue;
        }
        const std::size_t r = q + b;
        const auto [c, s] = jacobi_rotation(norm_sq[p], norm_sq[r], gamma[b]);
        const double* next = r + 1 < nn ? pw + (r + 1) * mm : nullptr;
        const RotatedSums sums =
            next != nullptr ? rotate_and_measure<true>(cp, pw + r * mm, next, mm, c, s)
                            : rotate_and_measure<false>(cp, pw + r * mm, next, mm, c, s);
        rotate(pv + p * nn, pv + r * nn, nn, c, s);
        norm_sq[p] = sums.p_sq;
        norm_sq[r] = sums.q_sq;
        gamma[0] = sums.next_gamma;
        known = next != nullptr ? 1 : 0;
        rotated = true;
        q = r + 1;
      }
    }
    if (!rotated) break;
  }
}

}  // namespace

Svd Svd::make_tol(const Mat& a, std::size_t max_sweeps, double tol) {
  Mat rotation;
  return make_warm(a, rotation, max_sweeps, tol);
}

Svd Svd::make_warm(const Mat& a, Mat& rotation, std::size_t max_sweeps, double tol) {
  const bool transposed = a.rows() < a.cols();
  Mat w = transposed ? a.transpose() : a;
  const std::size_t mm = w.rows();
  const std::size_t nn = w.cols();

  // Bring the largest magnitude near 1 when it is beyond 2^+-100, by an exact power of two.
  double big = 0.0;
  for (double x : w.data()) {
    if (!std::isnan(x)) big = std::max(big, std::fabs(x));
  }
  int e = 0;
  if (std::isfinite(big) && big != 0.0 && std::fabs(std::log2(big)) > 100.0) {
    e = -static_cast<int>(std::round(std::log2(big)));
    // ldexp scales exactly even where 2^e itself is not a double (subnormal inputs).
    if (e != 0) {
      for (double& x : w.data()) x = std::ldexp(x, e);
    }
  }

  Mat vv = Mat::identity(nn);
  if (rotation.rows() == nn && rotation.cols() == nn) {
    Mat rotated(mm, nn);
    gemm(w, rotation, rotated, 1.0, 0.0);
    w = std::move(rotated);
    vv = std::move(rotation);
  }
  jacobi_sweeps(w, vv, max_sweeps, tol);

  rotation = vv;
  std::vector<double> sigma(nn);
  for (std::size_t j = 0; j < nn; ++j) {
    const std::span<double> col = w.col(j);
    sigma[j] = scaled_norm(col);
    if (sigma[j] > 0.0) {
      const double inv = 1.0 / sigma[j];
      for (double& x : col) x *= inv;
    }
    sigma[j] = std::ldexp(sigma[j], -e);
  }

  std::vector<std::size_t> order(nn);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return total_order_key(sigma[x]) > total_order_key(sigma[y]);
  });
  const std::size_t k = nn;  // = min(m, n) since mm >= nn
  Mat left(mm, k), right(nn, k);
  std::vector<double> s(k);
  for (std::size_t r = 0; r < k; ++r) {
    const std::size_t j = order[r];
    s[r] = sigma[j];
    std::copy_n(w.col(j).data(), mm, left.col(r).data());
    std::copy_n(vv.col(j).data(), nn, right.col(r).data());
  }
  Svd out;
  out.m = a.rows();
  out.n = a.cols();
  out.s = std::move(s);
  if (transposed) {
    out.u = std::move(right);
    out.v = std::move(left);
  } else {
    out.u = std::move(left);
    out.v = std::move(right);
  }
  return out;
}

Mat reconstruct_from(const Mat& u, const Mat& v, std::span<const double> values) {
  const std::size_t m = u.rows();
  const std::size_t n = v.rows();
  if (values.size() < u.cols()) {
    invariant_failure("reconstruct_with: " + std::to_string(values.size()) +
                      " values for " + std::to_string(u.cols()) + " components");
  }
  // x(i, c) = sum over j of (values[j] v(c, j)) u(i, j), j ascending, zero terms skipped:
  // the product U W with W(j, c) = values[j] v(c, j) (a zero value skips its component even
  // where its vectors are not finite).
  const std::size_t k = u.cols();
  Mat w(k, n);
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t j = 0; j < k; ++j) w(j, c) = values[j] == 0.0 ? 0.0 : values[j] * v(c, j);
  }
  Mat x(m, n);
  gemm(u, w, x, 1.0, 0.0);
  return x;
}

Mat Svd::reconstruct_with(std::span<const double> values) const {
  return reconstruct_from(u, v, values);
}

}  // namespace tessarix::linalg
