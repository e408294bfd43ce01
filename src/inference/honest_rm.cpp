// Relative magnitudes: Delta^RM(Mbar) as the union of polyhedral pieces, each tested by ARP's
// conditional (or least-favourable hybrid) test at every theta of a grid.
#include <algorithm>
#include <cmath>
#include <limits>

#include "inference/honest.hpp"
#include "inference/honest_arp.hpp"
#include "inference/honest_dist.hpp"
#include "linalg/error.hpp"
#include "runtime/interrupt.hpp"

namespace tessarix::inference {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Rows of the stacked constraints with a squared norm below this are the identically zero
// constraint of the largest difference against itself, and are dropped.
constexpr double kZeroRow = 1e-10;
// The default theta grid reaches this many standard deviations of l'betahat_post beyond the
// identified set on either side.
constexpr double kGridReachSd = 20.0;
// The hybrid's first stage spends this share of alpha.
constexpr double kLfKappaShare = 0.1;

// A Sigma B' for A (r x n), B (q x n).
Mat sandwich(const Mat& a, const Mat& sigma, const Mat& b) {
  const std::size_t n = sigma.rows();
  Mat as(a.rows(), n);
  for (std::size_t i = 0; i < a.rows(); ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double v = 0.0;
      for (std::size_t k = 0; k < n; ++k) v += a(i, k) * sigma(k, j);
      as(i, j) = v;
    }
  }
  Mat out(a.rows(), b.rows());
  for (std::size_t i = 0; i < a.rows(); ++i) {
    for (std::size_t j = 0; j < b.rows(); ++j) {
      double v = 0.0;
      for (std::size_t k = 0; k < n; ++k) v += as(i, k) * b(j, k);
      out(i, j) = v;
    }
  }
  return out;
}

Mat select_rows(const Mat& a, const std::vector<std::size_t>& rows) {
  Mat out(rows.size(), a.cols());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < a.cols(); ++j) out(i, j) = a(rows[i], j);
  }
  return out;
}

Mat select_square(const Mat& a, const std::vector<std::size_t>& rows) {
  Mat out(rows.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < rows.size(); ++j) out(i, j) = a(rows[i], rows[j]);
  }
  return out;
}

// The rows of A that involve a post-period coefficient: the moments the nuisance test uses.
std::vector<std::size_t> post_rows(const Mat& a, std::size_t num_pre) {
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < a.rows(); ++i) {
    bool any = false;
    for (std::size_t j = num_pre; j < a.cols(); ++j) any = any || a(i, j) != 0.0;
    if (any) rows.push_back(i);
  }
  return rows;
}

// Gamma: l' as the first row completed to a basis by unit vectors e_j, every j but the last
// index where l is nonzero (the pivot columns of the row-reduced [l, I]).
Mat basis_from_target(std::span<const double> l) {
  const std::size_t t = l.size();
  std::size_t last = 0;
  for (std::size_t j = 0; j < t; ++j) {
    if (l[j] != 0.0) last = j;
  }
  Mat g(t, t);
  for (std::size_t j = 0; j < t; ++j) g(0, j) = l[j];
  std::size_t row = 1;
  for (std::size_t j = 0; j < t; ++j) {
    if (j != last) g(row++, j) = 1.0;
  }
  return g;
}

// Inverse by Gauss-Jordan elimination with partial pivoting (a small, well-conditioned basis).
Mat inverse(Mat a) {
  const std::size_t n = a.rows();
  Mat inv = Mat::identity(n);
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t p = c;
    for (std::size_t i = c + 1; i < n; ++i) {
      if (std::fabs(a(i, c)) > std::fabs(a(p, c))) p = i;
    }
    if (a(p, c) == 0.0) invariant_failure("honest: the target's basis is singular");
    for (std::size_t j = 0; j < n; ++j) {
      std::swap(a(c, j), a(p, j));
      std::swap(inv(c, j), inv(p, j));
    }
    const double piv = a(c, c);
    for (std::size_t j = 0; j < n; ++j) {
      a(c, j) /= piv;
      inv(c, j) /= piv;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (i == c || a(i, c) == 0.0) continue;
      const double f = a(i, c);
      for (std::size_t j = 0; j < n; ++j) {
        a(i, j) -= f * a(c, j);
        inv(i, j) -= f * inv(c, j);
      }
    }
  }
  return inv;
}

// The theta grid, spaced as numpy.linspace spaces it (start + i * step, the end exact).
std::vector<double> theta_grid(double lb, double ub, std::size_t n) {
  std::vector<double> grid(n);
  if (n == 1) {
    grid[0] = lb;
    return grid;
  }
  const double step = (ub - lb) / double(n - 1);
  for (std::size_t i = 0; i < n; ++i) grid[i] = double(i) * step + lb;
  grid[n - 1] = ub;
  return grid;
}

double sd_theta(const EventStudy& es) {
  double v = 0.0;
  for (std::size_t i = 0; i < es.num_post; ++i) {
    for (std::size_t j = 0; j < es.num_post; ++j) {
      v += es.l[i] * es.sigma(es.num_pre + i, es.num_pre + j) * es.l[j];
    }
  }
  return std::sqrt(v);
}

// sum_j |sum_{t >= j} l_t|: how far l'delta_post moves when every post-period first difference
// moves by one.
double target_reach(const EventStudy& es) {
  double reach = 0.0, tail = 0.0;
  for (std::size_t j = es.num_post; j-- > 0;) {
    tail += es.l[j];
    reach += std::fabs(tail);
  }
  return reach;
}

// The largest standard deviation of an estimated pre-period first difference (the last one
// against the reference period's zero).
double largest_difference_sd(const EventStudy& es) {
  double out = 0.0;
  for (std::size_t i = 0; i < es.num_pre; ++i) {
    double var = es.sigma(i, i);
    if (i + 1 < es.num_pre) var += es.sigma(i + 1, i + 1) - 2.0 * es.sigma(i, i + 1);
    out = std::fmax(out, std::sqrt(std::fmax(var, 0.0)));
  }
  return out;
}

// The s of piece k (s ascending, each with both signs) and its sign.
std::pair<std::ptrdiff_t, bool> piece_of(std::size_t num_pre, std::size_t k) {
  return {static_cast<std::ptrdiff_t>(k / 2) - static_cast<std::ptrdiff_t>(num_pre - 1), k % 2 == 0};
}

// Marks the grid points that one piece's test accepts.
void accept_piece(const EventStudy& es, const Mat& a, const std::vector<double>& grid,
                  const RmSettings& st, const Mat* draws, std::vector<char>& accepted) {
  const std::size_t n = es.num_pre + es.num_post;
  const double kappa = kLfKappaShare * st.alpha;
  std::optional<LfStage> lf;
  // Only the moments that involve a post-period coefficient enter the test (the others do
  // not depend on theta).
  const std::vector<std::size_t> rows = post_rows(a, es.num_pre);
  if (es.num_post == 1) {
    const std::vector<double> d(rows.size(), 0.0);
    const ArpPlainTest test(select_rows(a, rows), d, es.sigma);
    if (draws) lf = LfStage{test.least_favorable_cv(*draws, kappa), kappa};
    std::vector<double> y(es.betahat);
    for (std::size_t g = 0; g < grid.size(); ++g) {
      runtime::interruption_point();
      if (accepted[g]) continue;
      y[es.num_pre] = es.betahat[es.num_pre] - grid[g] / es.l[0];  // theta = l tau
      if (!test.reject(y, st.alpha, lf)) accepted[g] = 1;
    }
    return;
  }
  // Moments y = A betahat with covariance A Sigma A'; the post-period part of A in the basis
  // Gamma gives theta's column and the nuisance columns X.
  std::vector<double> y_all(a.rows());
  for (std::size_t i = 0; i < a.rows(); ++i) {
    double v = 0.0;
    for (std::size_t j = 0; j < n; ++j) v += a(i, j) * es.betahat[j];
    y_all[i] = v;
  }
  const Mat gamma_inv = inverse(basis_from_target(es.l));
  const std::size_t t = es.num_post, m = rows.size();
  Mat x(m, t - 1);
  std::vector<double> theta_col(m), y0(m);
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < t; ++c) {
      double v = 0.0;
      for (std::size_t k = 0; k < t; ++k) v += a(rows[r], es.num_pre + k) * gamma_inv(k, c);
      if (c == 0) theta_col[r] = v; else x(r, c - 1) = v;
    }
    y0[r] = y_all[rows[r]];
  }
  ArpNuisanceTest test(std::move(x), select_square(sandwich(a, es.sigma, a), rows));
  if (draws) lf = LfStage{test.least_favorable_cv(*draws, kappa), kappa};
  std::vector<double> y(m);
  for (std::size_t g = 0; g < grid.size(); ++g) {
    runtime::interruption_point();
    if (accepted[g]) continue;
    for (std::size_t r = 0; r < m; ++r) y[r] = y0[r] - theta_col[r] * grid[g];
    if (!test.reject(y, st.alpha, lf)) accepted[g] = 1;
  }
}

}  // namespace

std::pair<double, double> original_interval(const EventStudy& es, double alpha) {
  double est = 0.0;
  for (std::size_t i = 0; i < es.num_post; ++i) est += es.l[i] * es.betahat[es.num_pre + i];
  const double half = normal_quantile_exact(1.0 - alpha / 2.0) * sd_theta(es);
  return {est - half, est + half};
}

Mat rm_constraints(std::size_t num_pre, std::size_t num_post, double mbar, std::ptrdiff_t s,
                   bool max_positive) {
  const std::size_t diffs = num_pre + num_post, full = diffs + 1;
  // First differences of (delta_pre, 0, delta_post): row r is delta_{r+1} - delta_r.
  Mat diff(diffs, full);
  for (std::size_t r = 0; r < diffs; ++r) {
    diff(r, r) = -1.0;
    diff(r, r + 1) = 1.0;
  }
  // The largest pre-period difference, at position num_pre - 1 + s.
  const std::size_t at = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(num_pre) - 1 + s);
  std::vector<double> vmax(full, 0.0);
  vmax[at] = max_positive ? -1.0 : 1.0;
  vmax[at + 1] = max_positive ? 1.0 : -1.0;
  std::vector<std::vector<double>> rows;
  for (int sign : {1, -1}) {
    for (std::size_t r = 0; r < diffs; ++r) {
      const double scale = r < num_pre ? 1.0 : mbar;
      std::vector<double> row(full);
      double norm2 = 0.0;
      for (std::size_t j = 0; j < full; ++j) {
        row[j] = double(sign) * diff(r, j) - scale * vmax[j];
        norm2 += row[j] * row[j];
      }
      if (norm2 > kZeroRow) rows.push_back(std::move(row));
    }
  }
  Mat a(rows.size(), diffs);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0, k = 0; j < full; ++j) {
      if (j != num_pre) a(i, k++) = rows[i][j];
    }
  }
  return a;
}

std::pair<double, double> rm_identified_set(const EventStudy& es, double mbar) {
  double largest = 0.0, prev = 0.0;
  for (std::size_t i = 0; i <= es.num_pre; ++i) {
    const double cur = i < es.num_pre ? es.betahat[i] : 0.0;
    if (i > 0) largest = std::fmax(largest, std::fabs(cur - prev));
    prev = cur;
  }
  // Each post-period difference moves delta_t by at most Mbar D; the worst l'delta_post puts
  // every difference at the sign of the weight it carries into the target.
  const double reach = target_reach(es);
  double est = 0.0;
  for (std::size_t i = 0; i < es.num_post; ++i) est += es.l[i] * es.betahat[es.num_pre + i];
  const double half = mbar * largest * reach;
  return {est - half, est + half};
}

std::vector<Mat> rm_draw_covariances(const EventStudy& es, std::span<const double> mbar) {
  std::vector<Mat> out;
  for (double mb : mbar) {
    for (std::size_t k = 0; k < rm_pieces(es.num_pre); ++k) {
      const auto [s, positive] = piece_of(es.num_pre, k);
      const Mat a = rm_constraints(es.num_pre, es.num_post, mb, s, positive);
      const Mat cov = sandwich(a, es.sigma, a);
      out.push_back(select_square(cov, post_rows(a, es.num_pre)));
    }
  }
  return out;
}

std::vector<HonestInterval> rm_intervals(const EventStudy& es, std::span<const double> mbar,
                                         const RmSettings& st, std::span<const Mat> draws) {
  const std::size_t pieces = rm_pieces(es.num_pre);
  const bool hybrid = st.method == RmMethod::lf_hybrid;
  if (hybrid) require_eq(draws.size(), pieces * mbar.size(), "rm_intervals: one draw matrix per piece");
  // The default grid of each Mbar spans its identified set and 20 standard deviations either
  // side: of l'betahat_post, plus Mbar times that of the bound's scale (the largest pre-period
  // difference, moved into the target by the reach of l), so that it holds the robust set
  // wherever the estimate lies and however the bound's noise widens it. (The original method
  // spans -/+ 20 sd(l'betahat_post) around zero for every Mbar, which misses an effect
  // estimated further from zero and cuts the sets of large Mbar.)
  const double sd = sd_theta(es);
  const double bound_sd = target_reach(es) * largest_difference_sd(es);
  std::vector<HonestInterval> out;
  for (std::size_t b = 0; b < mbar.size(); ++b) {
    const auto [id_lb, id_ub] = rm_identified_set(es, mbar[b]);
    const double reach = kGridReachSd * (sd + mbar[b] * bound_sd);
    const double lb = st.grid_lb.value_or(id_lb - reach);
    const double ub = st.grid_ub.value_or(id_ub + reach);
    const std::vector<double> grid = theta_grid(lb, ub, st.grid_points);
    std::vector<char> accepted(grid.size(), 0);
    for (std::size_t k = 0; k < pieces; ++k) {
      const auto [s, positive] = piece_of(es.num_pre, k);
      const Mat a = rm_constraints(es.num_pre, es.num_post, mbar[b], s, positive);
      accept_piece(es, a, grid, st, hybrid ? &draws[b * pieces + k] : nullptr, accepted);
    }
    HonestInterval iv{mbar[b], kNaN, kNaN, false};
    for (std::size_t g = 0; g < grid.size(); ++g) {
      if (!accepted[g]) continue;
      if (std::isnan(iv.lower)) iv.lower = grid[g];
      iv.upper = grid[g];
    }
    iv.open = !grid.empty() && (accepted.front() || accepted.back());
    out.push_back(iv);
  }
  return out;
}

}  // namespace tessarix::inference
