#include "linalg/factor/qr.hpp"

#include <cmath>
#include <vector>
#include <string>

#include "linalg/ops/matmul.hpp"
#include "linalg/ops/transform.hpp"

namespace tessarix::linalg {

namespace {

// Reflector (tau, v) applied to the columns cols[0 .. count) (length len each), given the
// sums init[c] + v . col_c: col_c -= tau (init[c] + v . col_c) v. Columns are taken four at a
// time (dot4_from), each sum in index order, so every column gets the bits of its own loop.
void reflect_columns(std::size_t len, double tau, const double* v, double* const* cols,
                     std::size_t count, const double* init) {
  std::size_t c = 0;
  for (; c + 4 <= count; c += 4) {
    double s[4];
    dot4_from(len, v, cols + c, init + c, s);
    for (std::size_t q = 0; q < 4; ++q) sub_scaled(len, tau * s[q], v, cols[c + q]);
  }
  for (; c < count; ++c) {
    double s = init[c];
    for (std::size_t i = 0; i < len; ++i) s += v[i] * cols[c][i];
    sub_scaled(len, tau * s, v, cols[c]);
  }
}

}  // namespace

std::expected<Qr, LinalgError> Qr::make(Mat a) {
  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  if (m < n) return std::unexpected(LinalgError::dim_mismatch(n, m));
  Qr qr;
  qr.tau_.assign(n, 0.0);
  double* pa = a.data().data();
  std::vector<double*> cols(n);
  const std::vector<double> zeros(n, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    double* ck = pa + k * m;
    const Householder h = Householder::make({ck + k, m - k});
    qr.tau_[k] = h.tau;
    const std::size_t len = h.v.size();
    for (std::size_t j = k + 1; j < n; ++j) cols[j] = pa + j * m + k;
    reflect_columns(len, h.tau, h.v.data(), cols.data() + k + 1, n - k - 1, zeros.data());
    ck[k] = h.beta;
    for (std::size_t i = 1; i < len; ++i) ck[k + i] = h.v[i];
  }
  qr.factors_ = std::move(a);
  return qr;
}

Mat Qr::q_thin() const {
  // Q e_c for every c: the reflectors applied last to first, each to the columns it reaches
  // (reflector kk leaves e_c alone for c < kk: its rows kk.. are zero there). With v[0] = 1
  // implicit at row kk, each column's sum starts from its entry kk and adds v[i] q[i] over
  // the rows below, in index order as in the one-column form.
  const std::size_t m = this->m();
  const std::size_t n = this->n();
  Mat q(m, n);
  const double* pf = factors_.data().data();
  for (std::size_t c = 0; c < n; ++c) q(c, c) = 1.0;
  std::vector<double*> tails(n);
  std::vector<double> heads(n), sums(n);
  for (std::size_t kk = n; kk-- > 0;) {
    const double tau = tau_[kk];
    if (tau == 0.0) continue;
    const double* v = pf + kk * m + kk + 1;
    const std::size_t len = m - kk - 1, count = n - kk;
    for (std::size_t c = 0; c < count; ++c) {
      tails[c] = q.col(kk + c).data() + kk + 1;
      heads[c] = q(kk, kk + c);
    }
    std::size_t c = 0;
    for (; c + 4 <= count; c += 4) {
      dot4_from(len, v, tails.data() + c, heads.data() + c, sums.data() + c);
    }
    for (; c < count; ++c) {
      double s = heads[c];
      for (std::size_t i = 0; i < len; ++i) s += v[i] * tails[c][i];
      sums[c] = s;
    }
    for (c = 0; c < count; ++c) {
      const double ts = tau * sums[c];
      q(kk, kk + c) -= ts;
      sub_scaled(len, ts, v, tails[c]);
    }
  }
  return q;
}

std::vector<double> Qr::solve_lstsq(std::span<const double> y) const {
  const std::size_t m = this->m();
  const std::size_t n = this->n();
  if (y.size() < m) {
    invariant_failure("solve_lstsq: rhs length " + std::to_string(y.size()) + " < rows " +
                      std::to_string(m));
  }
  std::vector<double> z(y.begin(), y.end());
  const double* pf = factors_.data().data();
  // z <- Q^T y, one reflector at a time.
  for (std::size_t k = 0; k < n; ++k) {
    const double tau = tau_[k];
    if (tau == 0.0) continue;
    const double* vk = pf + k * m;
    double s = z[k];
    for (std::size_t i = k + 1; i < m; ++i) s += vk[i] * z[i];
    s *= tau;
    z[k] -= s;
    for (std::size_t i = k + 1; i < m; ++i) z[i] -= s * vk[i];
  }
  double rmax = 0.0;
  for (std::size_t k = 0; k < n; ++k) rmax = std::max(rmax, std::fabs(factors_(k, k)));
  const double tol = 1e-12 * rmax;
  if (dependent_before_independent(tol)) return solve_without_dependent(y, tol);
  std::vector<double> x(n, 0.0);
  for (std::size_t k = n; k-- > 0;) {
    const double rkk = factors_(k, k);
    if (std::fabs(rkk) <= tol) {
      x[k] = 0.0;
      continue;
    }
    double s = z[k];
    for (std::size_t j = k + 1; j < n; ++j) s -= factors_(k, j) * x[j];
    x[k] = s / rkk;
  }
  return x;
}

bool Qr::dependent_before_independent(double tol) const {
  bool seen_dependent = false;
  for (std::size_t k = 0; k < n(); ++k) {
    const bool dependent = std::fabs(factors_(k, k)) <= tol;
    if (!dependent && seen_dependent) return true;
    seen_dependent = seen_dependent || dependent;
  }
  return false;
}

// Without pivoting, a numerically dependent column k leaves row k of R coupling the later
// columns, and zeroing x[k] alone would discard that row's equation: the result would not be
// a least-squares solution. Refit on the independent columns instead (A = Q R rebuilt from
// the factors) and give the dependent ones exact zeros, as a rank-revealing fit would.
std::vector<double> Qr::solve_without_dependent(std::span<const double> y, double tol) const {
  const std::size_t m = this->m();
  const std::size_t n = this->n();
  Mat r(n, n);
  for (std::size_t j = 0; j < n; ++j)
    for (std::size_t i = 0; i <= j; ++i) r(i, j) = factors_(i, j);
  const Mat q = q_thin();
  std::vector<std::size_t> keep;
  for (std::size_t k = 0; k < n; ++k) {
    if (std::fabs(factors_(k, k)) > tol) keep.push_back(k);
  }
  Mat sub(m, keep.size());
  for (std::size_t c = 0; c < keep.size(); ++c) {
    // Column keep[c] of A = Q R: only the first keep[c] + 1 rows of R's column are non-zero.
    double* out = sub.col(c).data();
    for (std::size_t p = 0; p <= keep[c]; ++p) {
      const double s = r(p, keep[c]);
      if (s == 0.0) continue;
      const double* qp = q.col(p).data();
      for (std::size_t i = 0; i < m; ++i) out[i] += s * qp[i];
    }
  }
  std::vector<double> x(n, 0.0);
  const std::vector<double> coef = Qr::make(std::move(sub))->solve_lstsq(y);
  for (std::size_t c = 0; c < keep.size(); ++c) x[keep[c]] = coef[c];
  return x;
}

}  // namespace tessarix::linalg
