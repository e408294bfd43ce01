#include "linalg/ops/matmul.hpp"

#include <algorithm>
#include <cstddef>

#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

// y += s * x over n contiguous elements; the elements are independent, so unrolling
// changes no result.
inline void axpy(std::size_t n, double s, const double* x, double* y) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    y[i] += s * x[i];
    y[i + 1] += s * x[i + 1];
    y[i + 2] += s * x[i + 2];
    y[i + 3] += s * x[i + 3];
  }
  for (; i < n; ++i) y[i] += s * x[i];
}

// v <- beta * v: beta == 0 overwrites (old contents, even NaN, are never read), beta == 1
// leaves v untouched.
inline void scale_by(std::span<double> v, double beta) {
  if (beta == 0.0) {
    std::fill(v.begin(), v.end(), 0.0);
  } else if (beta != 1.0) {
    for (double& e : v) e *= beta;
  }
}

}  // namespace

void gemm(const Mat& a, const Mat& b, Mat& c, double alpha, double beta) {
  require_eq(a.cols(), b.rows(), "gemm: A.cols != B.rows");
  require_eq(a.rows(), c.rows(), "gemm: A.rows != C.rows");
  require_eq(b.cols(), c.cols(), "gemm: B.cols != C.cols");
  if (c.cols() == 0) return;
  scale_by(c.data(), beta);
  if (alpha == 0.0 || a.cols() == 0) return;
  const std::size_t m = a.rows();
  const std::size_t k = a.cols();
  const double* pa = a.data().data();
  const double* pb = b.data().data();
  double* pc = c.data().data();
  for (std::size_t j = 0; j < c.cols(); ++j) {
    double* cj = pc + j * m;
    for (std::size_t p = 0; p < k; ++p) {
      const double s = alpha * pb[j * k + p];
      if (s == 0.0) continue;
      axpy(m, s, pa + p * m, cj);
    }
  }
}

void gemv(const Mat& a, std::span<const double> x, std::span<double> y, double alpha,
          double beta) {
  require_eq(x.size(), a.cols(), "gemv: x length != A.cols");
  require_eq(y.size(), a.rows(), "gemv: y length != A.rows");
  scale_by(y, beta);
  if (alpha == 0.0 || a.empty()) return;
  const std::size_t m = a.rows();
  const double* pa = a.data().data();
  for (std::size_t j = 0; j < a.cols(); ++j) {
    const double s = alpha * x[j];
    if (s == 0.0) continue;
    axpy(m, s, pa + j * m, y.data());
  }
}

void gemv_t(const Mat& a, std::span<const double> x, std::span<double> y, double alpha,
            double beta) {
  require_eq(x.size(), a.rows(), "gemv_t: x length != A.rows");
  require_eq(y.size(), a.cols(), "gemv_t: y length != A.cols");
  const std::size_t m = a.rows();
  const double* pa = a.data().data();
  for (std::size_t j = 0; j < a.cols(); ++j) {
    const double d = dot({pa + j * m, m}, x);
    y[j] = beta == 0.0 ? alpha * d : alpha * d + beta * y[j];
  }
}

std::vector<double> matvec(const Mat& a, std::span<const double> x) {
  std::vector<double> y(a.rows(), 0.0);
  gemv(a, x, y, 1.0, 0.0);
  return y;
}

Mat syrk_ata(const Mat& a) {
  const std::size_t n = a.cols();
  const std::size_t m = a.rows();
  Mat g(n, n);
  const double* pa = a.data().data();
  double* pg = g.data().data();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      const double d = dot({pa + j * m, m}, {pa + i * m, m});
      pg[j * n + i] = d;
      pg[i * n + j] = d;
    }
  }
  return g;
}

}  // namespace tessarix::linalg
