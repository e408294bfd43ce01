#include "linalg/opt/linprog.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/error.hpp"

namespace tessarix::linalg {
namespace {

// Rows are equilibrated to a largest entry of 1, so the tableau's entries are of order one and
// these tolerances can be absolute.
// A pivot element smaller than this is treated as zero: it would amplify rounding by more
// than the seven digits the callers need.
constexpr double kPivotTol = 1e-9;
// Phase one ends feasible when the artificial variables sum to at most this (in equilibrated
// rows): well above the rounding of a few hundred pivots, well below any real violation.
constexpr double kFeasTol = 1e-9;
// A reduced cost counts as negative below -kCostTol times the largest |c_j|.
constexpr double kCostTol = 1e-11;
// Consecutive degenerate pivots after which pricing switches to Bland's rule, which cannot
// cycle; a pivot that moves the objective switches back to Dantzig's rule.
constexpr std::size_t kDegenerateRun = 12;
// The iteration cap, a multiple of rows + columns: far above the pivots the simplex needs on
// these small problems, reached only on a numerical breakdown.
constexpr std::size_t kIterFactor = 50;

double max_abs(std::span<const double> v) {
  double m = 0.0;
  for (double x : v) m = std::fmax(m, std::fabs(x));
  return m;
}

// Entering column under the current rule, or n_cols when every reduced cost is nonnegative.
std::size_t entering_column(const std::vector<double>& cost, std::size_t n_cols, double tol, bool bland) {
  std::size_t best = n_cols;
  double most = -tol;
  for (std::size_t j = 0; j < n_cols; ++j) {
    if (cost[j] < most) {
      best = j;
      if (bland) break;
      most = cost[j];
    }
  }
  return best;
}

}  // namespace

StandardFormLp::StandardFormLp(const Mat& a, std::span<const double> b) : n_(a.cols()) {
  const std::size_t m = a.rows();
  require_eq(b.size(), m, "StandardFormLp: b must have one entry per row");
  // Tableau of phase one: [A | I | b] with every row scaled to a largest entry of 1 and signed
  // so that b >= 0, the artificial columns forming the starting basis.
  tab_ = Mat(m, n_ + m + 1);
  const std::size_t rhs = n_ + m;
  for (std::size_t i = 0; i < m; ++i) {
    double scale = std::fabs(b[i]);
    for (std::size_t j = 0; j < n_; ++j) scale = std::fmax(scale, std::fabs(a(i, j)));
    if (scale == 0.0) scale = 1.0;
    const double s = (b[i] < 0.0 ? -1.0 : 1.0) / scale;
    for (std::size_t j = 0; j < n_; ++j) tab_(i, j) = a(i, j) * s;
    tab_(i, n_ + i) = 1.0;
    tab_(i, rhs) = b[i] * s;
  }
  basis_.resize(m);
  for (std::size_t i = 0; i < m; ++i) basis_[i] = n_ + i;
  // Phase one minimises the sum of the artificials: reduced costs -1' A over the original
  // columns, 0 over the artificials.
  std::vector<double> cost(n_ + m + 1, 0.0);
  for (std::size_t j = 0; j < n_; ++j) {
    double s = 0.0;
    for (std::size_t i = 0; i < m; ++i) s += tab_(i, j);
    cost[j] = -s;
  }
  double total = 0.0;
  for (std::size_t i = 0; i < m; ++i) total += tab_(i, rhs);
  cost[rhs] = -total;
  const LpStatus status = iterate(cost, n_ + m);
  feasible_ = status == LpStatus::optimal && -cost[rhs] <= kFeasTol * double(m + 1);
  if (feasible_) drive_out_artificials(n_);
}

void StandardFormLp::pivot(std::size_t row, std::size_t col) {
  const std::size_t m = tab_.rows(), cols = tab_.cols();
  const double piv = tab_(row, col);
  for (std::size_t j = 0; j < cols; ++j) tab_(row, j) /= piv;
  const std::vector<double> pivot_col(tab_.col(col).begin(), tab_.col(col).end());
  for (std::size_t j = 0; j < cols; ++j) {
    const double f = tab_(row, j);
    if (f == 0.0) continue;
    auto cj = tab_.col(j);
    for (std::size_t i = 0; i < m; ++i) {
      if (i != row) cj[i] -= f * pivot_col[i];
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    if (i != row) tab_(i, col) = 0.0;  // exact zeros in the entering column
  }
  tab_(row, col) = 1.0;
  basis_[row] = col;
}

LpStatus StandardFormLp::iterate(std::vector<double>& cost, std::size_t n_cols) {
  const std::size_t m = tab_.rows(), rhs = tab_.cols() - 1;
  const double tol = kCostTol * std::fmax(max_abs(std::span<const double>(cost).first(n_cols)), 1e-300);
  const std::size_t max_iter = kIterFactor * (m + n_cols + 1);
  std::size_t degenerate = 0;
  for (std::size_t iter = 0; iter < max_iter; ++iter) {
    const bool bland = degenerate >= kDegenerateRun;
    const std::size_t q = entering_column(cost, n_cols, tol, bland);
    if (q == n_cols) return LpStatus::optimal;
    // Ratio test: the row whose basic variable reaches zero first; ties go to the larger
    // pivot (Dantzig) or the smaller basic index (Bland).
    std::size_t r = m;
    double best_ratio = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < m; ++i) {
      const double t = tab_(i, q);
      if (t <= kPivotTol) continue;
      const double ratio = std::fmax(tab_(i, rhs), 0.0) / t;
      const bool tie = r < m && std::fabs(ratio - best_ratio) <= 1e-12 * std::fmax(1.0, best_ratio);
      if (r == m || (!tie && ratio < best_ratio) ||
          (tie && (bland ? basis_[i] < basis_[r] : t > tab_(r, q)))) {
        r = i;
        best_ratio = std::fmin(ratio, best_ratio);
      }
    }
    if (r == m) return LpStatus::unbounded;
    degenerate = best_ratio <= kFeasTol ? degenerate + 1 : 0;
    pivot(r, q);
    const double f = cost[q];
    for (std::size_t j = 0; j <= rhs; ++j) cost[j] -= f * tab_(r, j);
    cost[q] = 0.0;
  }
  return LpStatus::iteration_limit;
}

void StandardFormLp::drive_out_artificials(std::size_t n_original) {
  std::vector<std::size_t> keep;
  for (std::size_t i = 0; i < tab_.rows(); ++i) {
    if (basis_[i] >= n_original) {
      std::size_t best = n_original;
      double size = kPivotTol;
      for (std::size_t j = 0; j < n_original; ++j) {
        if (std::fabs(tab_(i, j)) > size) {
          size = std::fabs(tab_(i, j));
          best = j;
        }
      }
      if (best == n_original) continue;  // a redundant equation: dropped
      pivot(i, best);
    }
    keep.push_back(i);
  }
  const std::size_t rhs = tab_.cols() - 1;
  Mat reduced(keep.size(), n_original + 1);
  std::vector<std::size_t> basis(keep.size());
  for (std::size_t k = 0; k < keep.size(); ++k) {
    for (std::size_t j = 0; j < n_original; ++j) reduced(k, j) = tab_(keep[k], j);
    reduced(k, n_original) = tab_(keep[k], rhs);
    basis[k] = basis_[keep[k]];
  }
  tab_ = std::move(reduced);
  basis_ = std::move(basis);
}

LpSolution StandardFormLp::minimize(std::span<const double> c) {
  require_eq(c.size(), n_, "StandardFormLp::minimize: c must have one entry per column");
  LpSolution out;
  if (!feasible_) return out;
  const std::size_t m = tab_.rows(), rhs = n_;
  std::vector<double> cost(n_ + 1);
  for (std::size_t j = 0; j <= n_; ++j) {
    double s = 0.0;
    for (std::size_t i = 0; i < m; ++i) s += c[basis_[i]] * tab_(i, j);
    cost[j] = (j < n_ ? c[j] : 0.0) - s;
  }
  for (std::size_t i = 0; i < m; ++i) cost[basis_[i]] = 0.0;
  out.status = iterate(cost, n_);
  if (out.status != LpStatus::optimal) return out;
  out.x.assign(n_, 0.0);
  for (std::size_t i = 0; i < m; ++i) out.x[basis_[i]] = std::fmax(tab_(i, rhs), 0.0);
  double value = 0.0;
  for (std::size_t j = 0; j < n_; ++j) value += c[j] * out.x[j];
  out.value = value;
  return out;
}

LpSolution solve_standard_lp(const Mat& a, std::span<const double> b, std::span<const double> c) {
  StandardFormLp lp(a, b);
  return lp.minimize(c);
}

LpSolution solve_lp(std::span<const double> c, const Mat& a_ub, std::span<const double> b_ub,
                    const Mat& a_eq, std::span<const double> b_eq,
                    const std::vector<bool>& nonnegative) {
  const std::size_t n = c.size(), m_ub = a_ub.rows(), m_eq = a_eq.rows();
  require_eq(nonnegative.size(), n, "solve_lp: one sign flag per variable");
  if (m_ub > 0) require_eq(a_ub.cols(), n, "solve_lp: A_ub must have one column per variable");
  if (m_eq > 0) require_eq(a_eq.cols(), n, "solve_lp: A_eq must have one column per variable");
  require_eq(b_ub.size(), m_ub, "solve_lp: b_ub must have one entry per row of A_ub");
  require_eq(b_eq.size(), m_eq, "solve_lp: b_eq must have one entry per row of A_eq");
  // Standard-form columns: x_j (or its positive part), the negative parts of the free
  // variables, then one slack per inequality.
  std::vector<std::size_t> neg_col(n, 0);
  std::size_t cols = n;
  for (std::size_t j = 0; j < n; ++j) {
    if (!nonnegative[j]) neg_col[j] = cols++;
  }
  const std::size_t first_slack = cols;
  cols += m_ub;
  Mat a(m_ub + m_eq, cols);
  std::vector<double> b(m_ub + m_eq), cost(cols, 0.0);
  const auto place = [&](std::size_t row, const Mat& src, std::size_t src_row) {
    for (std::size_t j = 0; j < n; ++j) {
      a(row, j) = src(src_row, j);
      if (!nonnegative[j]) a(row, neg_col[j]) = -src(src_row, j);
    }
  };
  for (std::size_t i = 0; i < m_ub; ++i) {
    place(i, a_ub, i);
    a(i, first_slack + i) = 1.0;
    b[i] = b_ub[i];
  }
  for (std::size_t i = 0; i < m_eq; ++i) {
    place(m_ub + i, a_eq, i);
    b[m_ub + i] = b_eq[i];
  }
  for (std::size_t j = 0; j < n; ++j) {
    cost[j] = c[j];
    if (!nonnegative[j]) cost[neg_col[j]] = -c[j];
  }
  LpSolution s = solve_standard_lp(a, b, cost);
  if (s.status != LpStatus::optimal) return s;
  std::vector<double> x(n);
  for (std::size_t j = 0; j < n; ++j) x[j] = nonnegative[j] ? s.x[j] : s.x[j] - s.x[neg_col[j]];
  s.x = std::move(x);
  return s;
}

}  // namespace tessarix::linalg
