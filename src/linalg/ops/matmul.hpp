// Dense kernels every factorization, solver and estimator is written on. The inner loops
// run down contiguous columns (axpy for gemm/gemv, dot products for gemv_t/syrk_ata).
#pragma once

#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::linalg {

// C <- alpha * A * B + beta * C. beta == 0 never reads C; a zero alpha * B(p, j) skips
// column p of A entirely, so infinities or NaN there cannot leak into C.
void gemm(const Mat& a, const Mat& b, Mat& c, double alpha, double beta);

// y <- alpha * A * x + beta * y, with the same beta and zero-skip rules as gemm.
void gemv(const Mat& a, std::span<const double> x, std::span<double> y, double alpha,
          double beta);

// y <- alpha * A^T * x + beta * y; beta == 0 never reads y.
void gemv_t(const Mat& a, std::span<const double> x, std::span<double> y, double alpha,
            double beta);

// A new vector A * x.
std::vector<double> matvec(const Mat& a, std::span<const double> x);

// The Gram matrix A^T A (lower triangle computed, mirrored to the upper).
Mat syrk_ata(const Mat& a);

// y[i] -= s x[i] for i < len.
void sub_scaled(std::size_t len, double s, const double* x, double* y);

// out[c] = x . y[c] (n entries each) for four vectors at once, every sum accumulated from 0
// in index order: four independent chains with the bits of four lone dot products.
void dot4(std::size_t n, const double* x, const double* const* y, double* out);

// out[c] = x . cols[c] (n entries each) for any number of vectors, four at a time through
// dot4: every sum has the bits of a lone dot product.
void dots(std::size_t n, const double* x, std::span<const double* const> cols, double* out);

// The same with sum c starting from init[c] instead of 0 (the first term added to it).
void dot4_from(std::size_t n, const double* x, const double* const* y, const double* init,
               double* out);

}  // namespace tessarix::linalg
