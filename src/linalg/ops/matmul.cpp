#include "linalg/ops/matmul.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "linalg/lanes.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

// y += s[0] x[0] + ... + s[K-1] x[K-1], each element receiving the K terms one after another
// in that order: exactly the additions of K axpy calls, with y kept in a register instead of
// being reloaded per column. Elements are independent, so vectorising changes no result; the
// AVX2 clone is chosen at load time where the CPU has it.
#define TESSARIX_AXPY_K(K)                                                                   \
  __attribute__((target_clones("avx2", "default"))) void axpy##K(                          \
      std::size_t n, const double* s, const double* const* x, double* y) {                  \
    for (std::size_t i = 0; i < n; ++i) {                                                   \
      double t = y[i];                                                                      \
      for (int k = 0; k < K; ++k) t += s[k] * x[k][i];                                      \
      y[i] = t;                                                                             \
    }                                                                                       \
  }
TESSARIX_AXPY_K(1)
TESSARIX_AXPY_K(2)
TESSARIX_AXPY_K(3)
TESSARIX_AXPY_K(4)
#undef TESSARIX_AXPY_K

// out[j] = column j of `a` (m entries, contiguous) dotted with x, for columns [first, last),
// four at a time.
void column_dots(const double* a, std::size_t m, std::size_t first, std::size_t last,
                 const double* x, double* out) {
  std::size_t j = first;
  for (; j + 4 <= last; j += 4) {
    const double* cols[4] = {a + j * m, a + (j + 1) * m, a + (j + 2) * m, a + (j + 3) * m};
    dot4(m, x, cols, out + (j - first));
  }
  for (; j < last; ++j) out[j - first] = dot({a + j * m, m}, {x, m});
}

// y += sum over k of scale(k) * column(k), for k = 0 .. count-1 in order, skipping every k
// whose scale is 0 (its column is never read). Non-zero terms are applied four at a time.
template <class Scale, class Column>
inline void accumulate_columns(std::size_t n, std::size_t count, Scale scale, Column column,
                               double* y) {
  double s[4];
  const double* x[4];
  int held = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const double sk = scale(k);
    if (sk == 0.0) continue;
    s[held] = sk;
    x[held] = column(k);
    if (++held == 4) {
      axpy4(n, s, x, y);
      held = 0;
    }
  }
  switch (held) {
    case 3: axpy3(n, s, x, y); break;
    case 2: axpy2(n, s, x, y); break;
    case 1: axpy1(n, s, x, y); break;
    default: break;
  }
}

// Register tiles of the product: kTileRows rows (two 4-lane vectors) by kTileCols columns of
// C held in registers while the inner index runs, so that each loaded entry of A serves
// kTileCols products and each entry of C is loaded and stored once per tile instead of once
// per four terms.
constexpr std::size_t kTileRows = 8;
constexpr std::size_t kTileCols = 4;

// The scales S(p, j) = alpha B(p, j) of one group of kTileCols columns of C, interleaved
// (entry p kTileCols + j), with the kind of each p: every scale non-zero, some zero (those
// columns skip the term), or all zero (the term is skipped outright). Packed once per group,
// read by every row tile.
enum TermKind : unsigned char { kAllTerms, kSomeTerms, kNoTerms };
struct PackedScales {
  std::vector<double> s;
  std::vector<unsigned char> kind;
  bool dense = false;  // every scale non-zero: the tile needs no per-term checks
};

void pack_scales(std::size_t k, const double* b, std::size_t ldb, double alpha,
                 PackedScales& out) {
  out.s.resize(k * kTileCols);
  out.kind.resize(k);
  for (std::size_t p = 0; p < k; ++p) {
    std::size_t zeros = 0;
    for (std::size_t j = 0; j < kTileCols; ++j) {
      const double sj = alpha * b[p + j * ldb];
      out.s[p * kTileCols + j] = sj;
      zeros += sj == 0.0 ? 1 : 0;
    }
    out.kind[p] = zeros == 0 ? kAllTerms : zeros == kTileCols ? kNoTerms : kSomeTerms;
  }
  out.dense = std::all_of(out.kind.begin(), out.kind.end(),
                          [](unsigned char kind) { return kind == kAllTerms; });
}

// The accumulators of one register tile: C[0..8, j] for j = 0 .. 3 as two four-lane vectors
// each (rows 0..3 and 4..7), loaded before and stored after the run over the inner index.
struct TileSums {
  V4 lo[kTileCols], hi[kTileCols];

  [[gnu::always_inline]] inline void load(const double* c, std::size_t ldc) {
    for (std::size_t j = 0; j < kTileCols; ++j) {
      __builtin_memcpy(&lo[j], c + j * ldc, 32), __builtin_memcpy(&hi[j], c + j * ldc + 4, 32);
    }
  }
  [[gnu::always_inline]] inline void store(double* c, std::size_t ldc) const {
    for (std::size_t j = 0; j < kTileCols; ++j) {
      __builtin_memcpy(c + j * ldc, &lo[j], 32), __builtin_memcpy(c + j * ldc + 4, &hi[j], 32);
    }
  }
};

// C[0..8, 0..4) += sum over p of S(p, j) A[0..8, p], p = 0 .. k-1 in order, where column p
// of A starts at a + p lda and column j of C at c + j ldc. Each entry receives its terms one
// after another in order of p, with the products of the axpy kernels: exactly their bits. A
// zero S(p, j) adds nothing to column j (column p of A is not read for it), as in
// accumulate_columns.
__attribute__((target_clones("avx2", "default"))) void tile_8x4(
    std::size_t k, const double* a, std::size_t lda, const double* s, const unsigned char* kind,
    double* c, std::size_t ldc) {
  TileSums t;
  t.load(c, ldc);
  for (std::size_t p = 0; p < k; ++p, s += kTileCols) {
    if (kind[p] == kNoTerms) continue;
    V4 lo, hi;
    __builtin_memcpy(&lo, a + p * lda, 32);
    __builtin_memcpy(&hi, a + p * lda + 4, 32);
    const bool all = kind[p] == kAllTerms;
    for (std::size_t j = 0; j < kTileCols; ++j) {
      if (all || s[j] != 0.0) t.lo[j] += s[j] * lo, t.hi[j] += s[j] * hi;
    }
  }
  t.store(c, ldc);
}

// tile_8x4 for scales that are all non-zero: the same operations in the same order, without
// the per-term checks, which otherwise cost as many instructions as the products.
__attribute__((target_clones("avx2", "default"))) void tile_8x4_dense(
    std::size_t k, const double* a, std::size_t lda, const double* s, double* c,
    std::size_t ldc) {
  TileSums t;
  t.load(c, ldc);
  for (std::size_t p = 0; p < k; ++p, s += kTileCols) {
    V4 lo, hi;
    __builtin_memcpy(&lo, a + p * lda, 32);
    __builtin_memcpy(&hi, a + p * lda + 4, 32);
    for (std::size_t j = 0; j < kTileCols; ++j) t.lo[j] += s[j] * lo, t.hi[j] += s[j] * hi;
  }
  t.store(c, ldc);
}

// One register tile with the scales of `packed`, by the kernel their kinds call for.
void run_tile(std::size_t k, const double* a, std::size_t lda, const PackedScales& packed,
              double* c, std::size_t ldc) {
  if (packed.dense) {
    tile_8x4_dense(k, a, lda, packed.s.data(), c, ldc);
  } else {
    tile_8x4(k, a, lda, packed.s.data(), packed.kind.data(), c, ldc);
  }
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

// out[c] = init[c] + x . y[c] for four columns at once, each sum accumulated in index order
// exactly as `dot` does: four independent chains of additions instead of one, so products of
// different columns overlap in the pipeline while every result keeps its bits.
__attribute__((target_clones("avx2", "default"))) void dot4_from(std::size_t n,
                                                                const double* x,
                                                                const double* const* y,
                                                                const double* init,
                                                                double* out) {
  double s0 = init[0], s1 = init[1], s2 = init[2], s3 = init[3];
  for (std::size_t k = 0; k < n; ++k) {
    const double xk = x[k];
    s0 += xk * y[0][k];
    s1 += xk * y[1][k];
    s2 += xk * y[2][k];
    s3 += xk * y[3][k];
  }
  out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3;
}

// Lanes are different entries, so the AVX2 clone gives the bits of the plain loop.
__attribute__((target_clones("avx2", "default"))) void sub_scaled(std::size_t len, double s,
                                                                  const double* x, double* y) {
  for (std::size_t i = 0; i < len; ++i) y[i] -= s * x[i];
}

void dot4(std::size_t n, const double* x, const double* const* y, double* out) {
  static constexpr double kZeros[4] = {0.0, 0.0, 0.0, 0.0};
  dot4_from(n, x, y, kZeros, out);
}

void dots(std::size_t n, const double* x, std::span<const double* const> cols, double* out) {
  for (std::size_t c = 0; c < cols.size(); c += 4) {
    // A short last group repeats its first vector in the unused lanes.
    const double* group[4];
    for (std::size_t k = 0; k < 4; ++k) group[k] = cols[c + k < cols.size() ? c + k : c];
    double sums[4];
    dot4(n, x, group, sums);
    for (std::size_t k = 0; k < 4 && c + k < cols.size(); ++k) out[c + k] = sums[k];
  }
}

void gemm(const Mat& a, const Mat& b, Mat& c, double alpha, double beta) {
  require_eq(a.cols(), b.rows(), "gemm: A.cols != B.rows");
  require_eq(a.rows(), c.rows(), "gemm: A.rows != C.rows");
  require_eq(b.cols(), c.cols(), "gemm: B.cols != C.cols");
  if (c.cols() == 0) return;
  scale_by(c.data(), beta);
  if (alpha == 0.0 || a.cols() == 0) return;
  const std::size_t m = a.rows();
  const std::size_t k = a.cols();
  const std::size_t n = c.cols();
  const double* pa = a.data().data();
  const double* pb = b.data().data();
  double* pc = c.data().data();
  // Full tiles, row block by row block: the scales of every column group are packed first,
  // so that a row block of A (kTileRows x k) stays in the first-level cache while every
  // column group passes over it, instead of all of A streaming in once per group.
  const std::size_t m_tiled = m - m % kTileRows, n_tiled = n - n % kTileCols;
  std::vector<PackedScales> groups(m_tiled > 0 ? n_tiled / kTileCols : 0);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    pack_scales(k, pb + g * kTileCols * k, k, alpha, groups[g]);
  }
  for (std::size_t i = 0; i < m_tiled; i += kTileRows) {
    for (std::size_t g = 0; g < groups.size(); ++g) {
      run_tile(k, pa + i, m, groups[g], pc + g * kTileCols * m + i, m);
    }
  }
  // The rows below the last full tile in the tiled columns, then the remaining columns.
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t first = j < n_tiled ? m_tiled : 0;
    if (first == m) continue;
    const double* bj = pb + j * k;
    accumulate_columns(
        m - first, k, [&](std::size_t p) { return alpha * bj[p]; },
        [&](std::size_t p) { return pa + p * m + first; }, pc + j * m + first);
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
  accumulate_columns(
      m, a.cols(), [&](std::size_t j) { return alpha * x[j]; },
      [&](std::size_t j) { return pa + j * m; }, y.data());
}

void gemv_t(const Mat& a, std::span<const double> x, std::span<double> y, double alpha,
            double beta) {
  require_eq(x.size(), a.rows(), "gemv_t: x length != A.rows");
  require_eq(y.size(), a.cols(), "gemv_t: y length != A.cols");
  const std::size_t n = a.cols();
  std::vector<double> d(n);
  column_dots(a.data().data(), a.rows(), 0, n, x.data(), d.data());
  for (std::size_t j = 0; j < n; ++j) y[j] = beta == 0.0 ? alpha * d[j] : alpha * d[j] + beta * y[j];
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
  if (n == 0) return g;
  const double* pa = a.data().data();
  double* pg = g.data().data();
  // G(i, j) = sum over k of A(k, i) A(k, j), k ascending from 0.0. In register tiles down the
  // lower triangle, A's rows (the columns of A^T) supply the lanes i: each entry receives the
  // products of the dot product in its order (a zero A(k, j) adds nothing, as a zero product
  // leaves a sum that started at +0.0 unchanged).
  const Mat at = a.transpose();
  const double* pt = at.data().data();
  const std::size_t n_tiled = n - n % kTileRows;
  PackedScales packed;
  for (std::size_t j = 0; j < n_tiled; j += kTileCols) {
    pack_scales(m, pa + j * m, m, 1.0, packed);
    for (std::size_t i = j - j % kTileRows; i < n_tiled; i += kTileRows) {
      run_tile(m, pt + i, n, packed, pg + j * n + i, n);
    }
  }
  // Rows below the tiles: column i dotted with columns 0..i.
  std::vector<double> row(n);
  for (std::size_t i = n_tiled; i < n; ++i) {
    column_dots(pa, m, 0, i + 1, pa + i * m, row.data());
    for (std::size_t j = 0; j <= i; ++j) pg[j * n + i] = row[j];
  }
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j + 1; i < n; ++i) pg[i * n + j] = pg[j * n + i];
  }
  return g;
}

}  // namespace tessarix::linalg
