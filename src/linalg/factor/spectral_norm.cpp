#include "linalg/factor/spectral_norm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include "linalg/lanes.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/ops/transform.hpp"

namespace tessarix::linalg {
namespace {

// Sturm-count pivots that come out exactly zero are replaced by this share of the matrix's
// norm (the usual safe minimum pivot): the count stays that of a matrix within rounding.
constexpr double kPivotFloor = 1e-300;
// Bisection steps: far more than the ~2100 halvings between the largest and smallest double.
constexpr int kMaxBisections = 2200;
// Inverse iteration: eigenvalues closer than this share of the norm form a cluster whose
// vectors are orthogonalised against each other (the customary choice), and each vector
// gets this many solves from a fixed start; with a shift accurate to rounding each solve
// multiplies the wanted component by ~1/eps against the others, so two already leave the
// rest at rounding level and the third settles it.
constexpr double kClusterGap = 1e-3;
constexpr int kInverseSolves = 3;
// Computed eigenvalues of a cluster are pulled at least this many rounding units of the
// norm apart, so that each shift picks out a different direction.
constexpr double kShiftSeparation = 10.0;
// From this many wanted eigenvalues on, all of them come from the root-free QL iteration
// (O(n^2) in all) instead of bisection (O(n) per halving, some fifty halvings per value):
// measured on 200 x 200 Gram matrices the two cost the same near 30 values.
constexpr std::size_t kManyValues = 32;
// QL iterations allowed per eigenvalue before the values fall back to bisection; Wilkinson's
// shift converges in two or three.
constexpr std::size_t kMaxQlIterations = 30;

// The exact power of two that brings the largest magnitude of `a` near 1, so that squares
// neither overflow nor underflow (0 when the matrix is zero).
int range_exponent(const Mat& a) {
  double big = 0.0;
  for (double x : a.data()) big = std::max(big, std::fabs(x));
  return big > 0.0 ? -std::ilogb(big) : 0;
}

// y -= (u a + v b), elementwise: vector lanes are different elements, so the AVX2 clone
// gives the bits of the plain loop.
__attribute__((target_clones("avx2", "default"))) void sub_rank2(std::size_t len,
                                                                 const double* u, double a,
                                                                 const double* v, double b,
                                                                 double* y) {
  for (std::size_t i = 0; i < len; ++i) y[i] -= u[i] * a + v[i] * b;
}

// One column of q += S v for a symmetric S held in its lower triangle, below the diagonal:
// col = S(j + 1.., j), tail = v[j + 1..], q_tail = q[j + 1..]. Adds col v[j] to q_tail and
// returns col . tail, so each stored entry is read once for both of its places. The dot
// product runs in two four-lane sums (two, so that consecutive additions do not wait on each
// other) combined in a fixed order, the same in both clones.
__attribute__((target_clones("avx2", "default"))) double symv_column(std::size_t len,
                                                                     const double* col,
                                                                     const double* tail,
                                                                     double vj, double* q_tail) {
  const V4 scale = {vj, vj, vj, vj};
  V4 even = {0.0, 0.0, 0.0, 0.0}, odd = even;
  const auto step = [&](std::size_t at, V4& acc) {
    V4 c, t, q;
    __builtin_memcpy(&c, col + at, sizeof c);
    __builtin_memcpy(&t, tail + at, sizeof t);
    __builtin_memcpy(&q, q_tail + at, sizeof q);
    q += c * scale;
    acc += c * t;
    __builtin_memcpy(q_tail + at, &q, sizeof q);
  };
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    step(i, even);
    step(i + 4, odd);
  }
  if (i + 4 <= len) {
    step(i, even);
    i += 4;
  }
  const V4 both = even + odd;
  double dot = (both[0] + both[1]) + (both[2] + both[3]);
  for (; i < len; ++i) {
    q_tail[i] += col[i] * vj;
    dot += col[i] * tail[i];
  }
  return dot;
}

// S <- H S H for the reflector H = I - tau v v^T acting on rows and columns k + 1.. of the
// symmetric S (n x n, column-major, lower triangle kept): with p = tau S v and
// w = p - (tau / 2)(p . v) v, the trailing block loses v w^T + w v^T. Only the lower triangle
// is read and written, which halves the work of updating both.
void reflect_trailing(double* s, std::size_t n, std::size_t k, const Householder& h) {
  const std::size_t off = k + 1, r = n - off;
  const double* v = h.v.data();
  std::vector<double> w(r, 0.0);
  for (std::size_t j = 0; j < r; ++j) {
    const double* col = s + (off + j) * n + off;
    const double below = symv_column(r - j - 1, col + j + 1, v + j + 1, v[j], w.data() + j + 1);
    w[j] += col[j] * v[j] + below;
  }
  double pv = 0.0;
  for (std::size_t i = 0; i < r; ++i) {
    w[i] *= h.tau;
    pv += w[i] * v[i];
  }
  const double half = 0.5 * h.tau * pv;
  for (std::size_t i = 0; i < r; ++i) w[i] -= half * v[i];
  for (std::size_t j = 0; j < r; ++j) {
    sub_rank2(r - j, v + j, w[j], w.data() + j, v[j], s + (off + j) * n + off + j);
  }
}

// Number of eigenvalues of t below x (Sturm sequence of the LDL^T pivots of T - x I).
std::size_t sturm_count(const Tridiagonal& t, double x, double floor) {
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

// Gershgorin interval [lo, hi] of the spectrum and the infinity norm.
struct Bounds {
  double lo, hi, norm;
};
Bounds gershgorin(const Tridiagonal& t) {
  const std::size_t n = t.d.size();
  Bounds b{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
           0.0};
  for (std::size_t k = 0; k < n; ++k) {
    const double radius = (k > 0 ? std::fabs(t.e[k - 1]) : 0.0) +
                          (k + 1 < n ? std::fabs(t.e[k]) : 0.0);
    b.lo = std::min(b.lo, t.d[k] - radius);
    b.hi = std::max(b.hi, t.d[k] + radius);
    b.norm = std::max(b.norm, std::fabs(t.d[k]) + radius);
  }
  return b;
}

// Brackets [lo[b], hi[b]] of the eigenvalues with b = first .. n - 1 eigenvalues below
// them. Every Sturm count narrows all of them at once: a count c at x puts the eigenvalues
// with fewer than c below them under x and the others at or above it, so later
// eigenvalues start from brackets their predecessors have already cut down.
struct Brackets {
  std::size_t first;
  std::vector<double> lo, hi;

  void record(std::size_t c, double x) {
    for (std::size_t b = first; b < first + lo.size(); ++b) {
      if (b < c) {
        hi[b - first] = std::min(hi[b - first], x);
      } else {
        lo[b - first] = std::max(lo[b - first], x);
      }
    }
  }
};

// The eigenvalue with `below` eigenvalues under it, by bisection of its bracket until the
// bracket is a few rounding units of the eigenvalue wide.
double bisect(const Tridiagonal& t, std::size_t below, Brackets& br, double floor) {
  const double eps = std::numeric_limits<double>::epsilon();
  const std::size_t slot = below - br.first;
  for (int it = 0; it < kMaxBisections; ++it) {
    const double lo = br.lo[slot], hi = br.hi[slot];
    const double mid = 0.5 * lo + 0.5 * hi;
    if (mid <= lo || mid >= hi) break;
    if (hi - lo <= 2.0 * eps * std::max(std::fabs(lo), std::fabs(hi)) + floor) break;
    br.record(sturm_count(t, mid, floor), mid);
  }
  return 0.5 * br.lo[slot] + 0.5 * br.hi[slot];
}

// Sturm counts at kLockstep shifts at once, each lane the sturm_count of its own shift with
// the same operations in the same order (so the same counts); the lanes' divisions overlap
// instead of waiting on each other.
constexpr std::size_t kLockstep = 4;
typedef double ShiftLanes __attribute__((vector_size(8 * kLockstep)));
typedef long long CountLanes __attribute__((vector_size(8 * kLockstep)));

__attribute__((target_clones("avx2", "default"))) void sturm_counts(
    std::size_t n, const double* d, const double* e, const double* x, double floor,
    std::size_t* out) {
  ShiftLanes shift, q = {1.0, 1.0, 1.0, 1.0};
  __builtin_memcpy(&shift, x, sizeof shift);
  const ShiftLanes lift = {floor, floor, floor, floor};
  CountLanes count = {0, 0, 0, 0};
  for (std::size_t k = 0; k < n; ++k) {
    const double e2 = k == 0 ? 0.0 : e[k - 1] * e[k - 1];
    const ShiftLanes coupling = k == 0 ? ShiftLanes{} : e2 / q;
    q = (d[k] - shift) - coupling;
    const ShiftLanes magnitude = q < 0.0 ? -q : q;
    q = magnitude < lift ? -lift : q;
    count -= q < 0.0;
  }
  for (std::size_t l = 0; l < kLockstep; ++l) out[l] = static_cast<std::size_t>(count[l]);
}

// bisect for the eigenvalues with `below` = first .. last - 1 eigenvalues under them,
// kLockstep at a time: every step halves each unfinished bracket of the group, and every
// count narrows all brackets as in bisect. Values land in values[below - first].
void bisect_all(const Tridiagonal& t, std::size_t first, std::size_t last, Brackets& br,
                double floor, std::span<double> values) {
  const double eps = std::numeric_limits<double>::epsilon();
  const std::size_t n = t.d.size();
  const auto done = [&](std::size_t slot) {
    const double lo = br.lo[slot], hi = br.hi[slot];
    const double mid = 0.5 * lo + 0.5 * hi;
    return mid <= lo || mid >= hi ||
           hi - lo <= 2.0 * eps * std::max(std::fabs(lo), std::fabs(hi)) + floor;
  };
  for (std::size_t group = first; group < last; group += kLockstep) {
    for (int it = 0; it < kMaxBisections; ++it) {
      double x[kLockstep];
      bool any = false;
      for (std::size_t l = 0; l < kLockstep; ++l) {
        const std::size_t slot = std::min(group + l, last - 1) - br.first;
        x[l] = 0.5 * br.lo[slot] + 0.5 * br.hi[slot];
        any = any || !done(slot);
      }
      if (!any) break;
      std::size_t counts[kLockstep];
      sturm_counts(n, t.d.data(), t.e.data(), x, floor, counts);
      for (std::size_t l = 0; l < kLockstep; ++l) br.record(counts[l], x[l]);
    }
    for (std::size_t b = group; b < std::min(group + kLockstep, last); ++b) {
      values[b - first] = 0.5 * br.lo[b - br.first] + 0.5 * br.hi[b - br.first];
    }
  }
}

// The two eigenvalues of [[a, b], [b, c]] given b^2, into lo <= hi.
void eigenvalues_2x2(double a, double b2, double c, double& lo, double& hi) {
  const double mean = 0.5 * a + 0.5 * c;
  const double half = 0.5 * a - 0.5 * c;
  const double radius = std::sqrt(half * half + b2);
  lo = mean - radius;
  hi = mean + radius;
}

// One implicit QL step with Wilkinson's shift on the unreduced block l..m of (d, e2), e2
// holding the squared off-diagonal: the root-free form of Pal, Walker and Kahan, which
// carries the rotations' squared cosines and sines instead of the rotations.
void ql_step(std::vector<double>& d, std::vector<double>& e2, std::size_t l, std::size_t m) {
  const double rte = std::sqrt(e2[l]);
  const double g = (d[l + 1] - d[l]) / (2.0 * rte);
  const double shift = d[l] - rte / (g + std::copysign(std::hypot(g, 1.0), g));
  double c = 1.0, s = 0.0, gamma = d[m] - shift, p = gamma * gamma;
  for (std::size_t i = m; i-- > l;) {
    const double bb = e2[i], r = p + bb;
    if (i + 1 != m) e2[i + 1] = s * r;
    const double old_c = c, old_gamma = gamma, alpha = d[i];
    c = p / r;
    s = bb / r;
    gamma = c * (alpha - shift) - s * old_gamma;
    d[i + 1] = old_gamma + (alpha - gamma);
    p = c != 0.0 ? gamma * gamma / c : old_c * bb;
  }
  e2[l] = s * p;
  d[l] = shift + gamma;
}

// LU factors with partial pivoting of the tridiagonal T - shift I: the solve of inverse
// iteration. Pivots smaller in magnitude than `floor` become +-floor, a perturbation of the
// size of rounding (as customary in inverse iteration), so each has a finite reciprocal and
// the back substitution multiplies instead of dividing.
struct ShiftedLu {
  std::vector<double> diag, upper, upper2, mult, inv_diag;
  std::vector<unsigned char> swapped;
};

// `pivot` moved out to +-floor when it is smaller in magnitude (0 goes to +floor).
double lifted(double pivot, double floor) {
  return std::fabs(pivot) < floor ? std::copysign(floor, pivot) : pivot;
}

ShiftedLu factor_shifted(const Tridiagonal& t, double shift, double floor) {
  const std::size_t n = t.d.size();
  ShiftedLu f{std::vector<double>(n),      std::vector<double>(n, 0.0),
              std::vector<double>(n, 0.0), std::vector<double>(n, 0.0),
              std::vector<double>(n),      std::vector<unsigned char>(n, 0)};
  for (std::size_t k = 0; k < n; ++k) f.diag[k] = t.d[k] - shift;
  for (std::size_t k = 0; k + 1 < n; ++k) f.upper[k] = t.e[k];
  for (std::size_t k = 0; k + 1 < n; ++k) {
    const double sub = t.e[k];
    if (std::fabs(f.diag[k]) >= std::fabs(sub)) {
      f.diag[k] = lifted(f.diag[k], floor);
      f.mult[k] = sub / f.diag[k];
      f.diag[k + 1] -= f.mult[k] * f.upper[k];
    } else {
      f.swapped[k] = 1;
      f.mult[k] = f.diag[k] / sub;
      f.diag[k] = sub;
      const double up = f.upper[k];
      f.upper[k] = f.diag[k + 1];
      f.diag[k + 1] = up - f.mult[k] * f.diag[k + 1];
      if (k + 2 < n) {
        f.upper2[k] = f.upper[k + 1];
        f.upper[k + 1] = -f.mult[k] * f.upper[k + 1];
      }
    }
  }
  if (n > 0) f.diag[n - 1] = lifted(f.diag[n - 1], floor);
  for (std::size_t k = 0; k < n; ++k) f.inv_diag[k] = 1.0 / f.diag[k];
  return f;
}

void solve_shifted(const ShiftedLu& f, std::span<double> b) {
  const std::size_t n = b.size();
  for (std::size_t k = 0; k + 1 < n; ++k) {
    if (f.swapped[k]) {
      const double top = b[k];
      b[k] = b[k + 1];
      b[k + 1] = top - f.mult[k] * b[k + 1];
    } else {
      b[k + 1] -= f.mult[k] * b[k];
    }
  }
  for (std::size_t k = n; k-- > 0;) {
    double r = b[k];
    if (k + 1 < n) r -= f.upper[k] * b[k + 1];
    if (k + 2 < n) r -= f.upper2[k] * b[k + 2];
    b[k] = r * f.inv_diag[k];
  }
}

// x <- x / |x| (overflow-safe).
void normalize(std::span<double> x) {
  const double len = scaled_norm(x);
  if (len > 0.0) {
    for (double& v : x) v /= len;
  }
}

// x <- x - (c0 . x) c0 - .. - (c3 . x) c3 in one pass over x (lanes are different entries,
// so the AVX2 clone gives the bits of the plain loop).
__attribute__((target_clones("avx2", "default"))) void sub_projections4(
    std::size_t n, const double* const* c, const double* proj, double* x) {
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = (((x[i] - proj[0] * c[0][i]) - proj[1] * c[1][i]) - proj[2] * c[2][i]) -
           proj[3] * c[3][i];
  }
}

// proj[c] = x . y[c] for four vectors at once, each dot product in four lanes summed in a
// fixed order at the end (the same in both clones).
__attribute__((target_clones("avx2", "default"))) void lane_dots4(std::size_t n,
                                                                  const double* x,
                                                                  const double* const* y,
                                                                  double* proj) {
  V4 acc[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    V4 xv;
    __builtin_memcpy(&xv, x + i, sizeof xv);
    for (std::size_t c = 0; c < 4; ++c) {
      V4 yv;
      __builtin_memcpy(&yv, y[c] + i, sizeof yv);
      acc[c] += xv * yv;
    }
  }
  for (std::size_t c = 0; c < 4; ++c) {
    double sum = (acc[c][0] + acc[c][1]) + (acc[c][2] + acc[c][3]);
    for (std::size_t j = i; j < n; ++j) sum += x[j] * y[c][j];
    proj[c] = sum;
  }
}

// x <- x minus its projections on the earlier unit vectors of the cluster, four vectors at a
// time: the four projections are measured together (in vector lanes) and then removed.
// Within a block this is classical Gram-Schmidt on vectors already orthonormal to rounding,
// so it matches the one-at-a-time form to rounding; inverse iteration repeats it after every
// solve.
void orthogonalize(std::span<double> x, const Mat& vectors, std::size_t first,
                   std::size_t last) {
  const std::size_t n = x.size();
  std::size_t c = first;
  for (; c + 4 <= last; c += 4) {
    const double* cols[4] = {vectors.col(c).data(), vectors.col(c + 1).data(),
                             vectors.col(c + 2).data(), vectors.col(c + 3).data()};
    double proj[4];
    lane_dots4(n, x.data(), cols, proj);
    sub_projections4(n, cols, proj, x.data());
  }
  for (; c < last; ++c) {
    const double* col = vectors.col(c).data();
    double proj = 0.0;
    for (std::size_t i = 0; i < n; ++i) proj += x[i] * col[i];
    for (std::size_t i = 0; i < n; ++i) x[i] -= proj * col[i];
  }
}

}  // namespace

TridiagonalForm tridiagonal_form(Mat s) {
  const std::size_t n = s.rows();
  double* ps = s.data().data();
  TridiagonalForm f;
  for (std::size_t k = 0; k + 2 < n; ++k) {
    Householder h = Householder::make({ps + k * n + k + 1, n - k - 1});
    if (h.tau != 0.0) reflect_trailing(ps, n, k, h);
    ps[k * n + k + 1] = h.beta;
    f.reflectors.push_back(std::move(h));
  }
  for (std::size_t k = 0; k < n; ++k) f.t.d.push_back(ps[k * n + k]);
  for (std::size_t k = 0; k + 1 < n; ++k) f.t.e.push_back(ps[k * n + k + 1]);
  return f;
}

Tridiagonal tridiagonalize(Mat s) { return tridiagonal_form(std::move(s)).t; }

void TridiagonalForm::to_original(std::span<double> y) const {
  for (std::size_t k = reflectors.size(); k-- > 0;) {
    const Householder& h = reflectors[k];
    if (h.tau == 0.0) continue;
    const std::span<double> tail = y.subspan(k + 1);
    double proj = 0.0;
    for (std::size_t i = 0; i < tail.size(); ++i) proj += h.v[i] * tail[i];
    sub_scaled(tail.size(), h.tau * proj, h.v.data(), tail.data());
  }
}

void TridiagonalForm::to_original(Mat& y) const {
  // Reflector by reflector, the vectors four at a time: their projections are four
  // independent sums in index order (dot4), so every vector gets the bits of the one-vector
  // form while the sums overlap in the pipeline.
  const std::size_t n = y.rows(), k = y.cols();
  for (std::size_t r = reflectors.size(); r-- > 0;) {
    const Householder& h = reflectors[r];
    if (h.tau == 0.0) continue;
    const std::size_t len = n - r - 1;
    std::size_t j = 0;
    for (; j + 4 <= k; j += 4) {
      double* tails[4] = {y.col(j).data() + r + 1, y.col(j + 1).data() + r + 1,
                          y.col(j + 2).data() + r + 1, y.col(j + 3).data() + r + 1};
      double proj[4];
      dot4(len, h.v.data(), tails, proj);
      for (std::size_t c = 0; c < 4; ++c) sub_scaled(len, h.tau * proj[c], h.v.data(), tails[c]);
    }
    for (; j < k; ++j) {
      double* tail = y.col(j).data() + r + 1;
      double proj = 0.0;
      for (std::size_t i = 0; i < len; ++i) proj += h.v[i] * tail[i];
      sub_scaled(len, h.tau * proj, h.v.data(), tail);
    }
  }
}

std::optional<std::vector<double>> all_eigenvalues(const Tridiagonal& t) {
  const std::size_t n = t.d.size();
  const double eps = std::numeric_limits<double>::epsilon();
  // At the scale where the largest entry is near 1 the squares keep their range.
  double big = 0.0;
  for (double x : t.d) big = std::max(big, std::fabs(x));
  for (double x : t.e) big = std::max(big, std::fabs(x));
  if (!std::isfinite(big)) return std::nullopt;
  const int scale = big > 0.0 ? -std::ilogb(big) : 0;
  std::vector<double> d(n), e2(n, 0.0);
  for (std::size_t k = 0; k < n; ++k) d[k] = std::ldexp(t.d[k], scale);
  for (std::size_t k = 0; k + 1 < n; ++k) {
    const double e = std::ldexp(t.e[k], scale);
    e2[k] = e * e;
  }
  // An off-diagonal square is negligible against its neighbours' product, or against the
  // norm (absolute accuracy is what the reduction to tridiagonal form leaves anyway).
  const double tiny = eps * eps;
  const auto negligible = [&](std::size_t k) {
    return e2[k] <= tiny * std::fabs(d[k] * d[k + 1]) || e2[k] <= tiny;
  };
  std::size_t iterations = 0;
  for (std::size_t l = 0; l < n;) {
    std::size_t m = l;
    while (m + 1 < n && !negligible(m)) ++m;
    if (m == l) {
      ++l;
    } else if (m == l + 1) {
      eigenvalues_2x2(d[l], e2[l], d[l + 1], d[l], d[l + 1]);
      e2[l] = 0.0;
      l += 2;
    } else {
      if (++iterations > kMaxQlIterations * n) return std::nullopt;
      ql_step(d, e2, l, m);
    }
  }
  for (double& x : d) x = std::ldexp(x, -scale);
  std::sort(d.begin(), d.end());
  return d;
}

std::size_t count_below(const Tridiagonal& t, double x) {
  return sturm_count(t, x, kPivotFloor * gershgorin(t).norm);
}

Eigenpairs top_eigenpairs(const Tridiagonal& t, std::size_t count) {
  const std::size_t n = t.d.size();
  count = std::min(count, n);
  Eigenpairs out{std::vector<double>(count), Mat(n, count)};
  if (count == 0) return out;
  const Bounds b = gershgorin(t);
  const double floor = kPivotFloor * std::max(b.norm, std::numeric_limits<double>::min());
  const double eps = std::numeric_limits<double>::epsilon();
  Brackets br{n - count, std::vector<double>(count, b.lo), std::vector<double>(count, b.hi)};
  // Values by lock-step bisection, smallest wanted first (bracket slot b holds the value
  // with b + n - count below it, that is out.values[count - 1 - b]).
  std::vector<double> ascending(count);
  std::optional<std::vector<double>> all;
  if (count >= kManyValues) all = all_eigenvalues(t);
  if (all) {
    std::copy(all->end() - static_cast<std::ptrdiff_t>(count), all->end(), ascending.begin());
  } else {
    bisect_all(t, n - count, n, br, floor, ascending);
  }
  // Start vectors x_j[i] = 1 + sin(1 + i + j) / 2: every entry non-zero, no special
  // direction; the sines are shared by all of them.
  std::vector<double> sines(n + count);
  for (std::size_t m = 0; m < sines.size(); ++m) sines[m] = std::sin(1.0 + static_cast<double>(m));
  std::size_t cluster = 0;  // first vector of the current cluster
  for (std::size_t j = 0; j < count; ++j) {
    const double value = ascending[count - 1 - j];
    out.values[j] = value;
    if (j > 0 && out.values[j - 1] - value > kClusterGap * b.norm) cluster = j;
    double shift = value;
    if (j > cluster) {
      shift = std::min(shift, out.values[j - 1] - kShiftSeparation * eps * b.norm);
    }
    const ShiftedLu lu = factor_shifted(t, shift, std::max(floor, eps * b.norm));
    const std::span<double> x = out.vectors.col(j);
    for (std::size_t i = 0; i < n; ++i) x[i] = 1.0 + 0.5 * sines[i + j];
    normalize(x);
    for (int solve = 0; solve < kInverseSolves; ++solve) {
      solve_shifted(lu, x);
      orthogonalize(x, out.vectors, cluster, j);
      normalize(x);
    }
  }
  return out;
}

double largest_eigenvalue(const Tridiagonal& t) {
  const std::size_t n = t.d.size();
  if (n == 0) return 0.0;
  const Bounds b = gershgorin(t);
  if (b.norm == 0.0) return 0.0;
  Brackets br{n - 1, {b.lo}, {b.hi}};
  return bisect(t, n - 1, br, kPivotFloor * b.norm);
}

double largest_singular_value(const Mat& a) {
  if (a.empty()) return 0.0;
  for (double x : a.data()) {
    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
  }
  const int e = range_exponent(a);
  Mat scaled = a.rows() >= a.cols() ? a : a.transpose();
  scale_by_pow2(scaled.data(), e);
  const double top = largest_eigenvalue(tridiagonalize(syrk_ata(scaled)));
  return std::ldexp(std::sqrt(std::max(top, 0.0)), -e);
}

}  // namespace tessarix::linalg
