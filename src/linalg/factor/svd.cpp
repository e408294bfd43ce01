#include "linalg/factor/svd.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>

#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

// Descending by the IEEE total order.
std::uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Rotates columns p and q: p <- c p - s q, q <- s p + c q.
void rotate(double* cp, double* cq, std::size_t len, double c, double s) {
  for (std::size_t i = 0; i < len; ++i) {
    const double xp = cp[i];
    const double xq = cq[i];
    cp[i] = c * xp - s * xq;
    cq[i] = s * xp + c * xq;
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
  double* pw = w.data().data();
  double* pv = vv.data().data();
  for (std::size_t sweep = 0; sweep < max_sweeps; ++sweep) {
    bool rotated = false;
    for (std::size_t p = 0; p + 1 < nn; ++p) {
      for (std::size_t q = p + 1; q < nn; ++q) {
        double* cp = pw + p * mm;
        double* cq = pw + q * mm;
        double alpha = 0.0, beta = 0.0, gamma = 0.0;
        for (std::size_t i = 0; i < mm; ++i) {
          alpha += cp[i] * cp[i];
          beta += cq[i] * cq[i];
          gamma += cp[i] * cq[i];
        }
        if (std::fabs(gamma) <= tol * std::sqrt(alpha * beta)) continue;
        const double zeta = (beta - alpha) / (2.0 * gamma);
        const double sign = std::signbit(zeta) ? -1.0 : 1.0;
        const double t = sign / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
        const double c = 1.0 / std::sqrt(1.0 + t * t);
        const double s = c * t;
        rotate(cp, cq, mm, c, s);
        rotate(pv + p * nn, pv + q * nn, nn, c, s);
        rotated = true;
      }
    }
    if (!rotated) break;
  }

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
  Mat x(m, n);
  for (std::size_t j = 0; j < u.cols(); ++j) {
    if (values[j] == 0.0) continue;
    const double* uj = u.col(j).data();
    for (std::size_t c = 0; c < n; ++c) {
      const double t = values[j] * v(c, j);
      if (t == 0.0) continue;
      double* xc = x.col(c).data();
      for (std::size_t i = 0; i < m; ++i) xc[i] += t * uj[i];
    }
  }
  return x;
}

Mat Svd::reconstruct_with(std::span<const double> values) const {
  return reconstruct_from(u, v, values);
}

}  // namespace tessarix::linalg
