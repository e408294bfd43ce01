#include "linalg/factor/qr.hpp"

#include <cmath>
#include <string>

#include "linalg/ops/transform.hpp"

namespace tessarix::linalg {

std::expected<Qr, LinalgError> Qr::make(Mat a) {
  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  if (m < n) return std::unexpected(LinalgError::dim_mismatch(n, m));
  Qr qr;
  qr.tau_.assign(n, 0.0);
  double* pa = a.data().data();
  for (std::size_t k = 0; k < n; ++k) {
    double* ck = pa + k * m;
    const Householder h = Householder::make({ck + k, m - k});
    qr.tau_[k] = h.tau;
    const std::size_t len = h.v.size();
    for (std::size_t j = k + 1; j < n; ++j) {
      double* cj = pa + j * m + k;
      double s = 0.0;
      for (std::size_t i = 0; i < len; ++i) s += h.v[i] * cj[i];
      const double ts = h.tau * s;
      for (std::size_t i = 0; i < len; ++i) cj[i] -= ts * h.v[i];
    }
    ck[k] = h.beta;
    for (std::size_t i = 1; i < len; ++i) ck[k + i] = h.v[i];
  }
  qr.factors_ = std::move(a);
  return qr;
}

Mat Qr::q_thin() const {
  const std::size_t m = this->m();
  const std::size_t n = this->n();
  Mat q(m, n);
  const double* pf = factors_.data().data();
  for (std::size_t c = 0; c < n; ++c) {
    double* qc = q.col(c).data();
    qc[c] = 1.0;
    for (std::size_t kk = n; kk-- > 0;) {
      const double tau = tau_[kk];
      if (tau == 0.0) continue;
      const double* vk = pf + kk * m;  // v[0] = 1 is implicit at row kk
      double s = qc[kk];
      for (std::size_t i = kk + 1; i < m; ++i) s += vk[i] * qc[i];
      const double ts = tau * s;
      qc[kk] -= ts;
      for (std::size_t i = kk + 1; i < m; ++i) qc[i] -= ts * vk[i];
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
