#include "linalg/opt/simplex_active.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tessarix::linalg {

namespace {

// Multipliers above -kDualTol * (largest diagonal of G) count as optimal: rounding in the
// gradient is of that relative size.
constexpr double kDualTol = 1e-12;
// A pivot below kPivotTol times its column's largest entry marks a singular free-set system.
constexpr double kPivotTol = 1e-13;
// Each free-set change strictly lowers f, so no set repeats; a cap of a few passes over the
// coordinates only guards against rounding loops.
constexpr std::size_t kStepsPerCoordinate = 4;

// Solves the dense n x n system m x = r (row-major) by Gaussian elimination with partial
// pivoting; none when a pivot is negligible.
std::optional<std::vector<double>> solve_dense(std::vector<double> m, std::vector<double> r, std::size_t n) {
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    double scale = 0.0;
    for (std::size_t i = c; i < n; ++i) {
      scale = std::max(scale, std::fabs(m[i * n + c]));
      if (std::fabs(m[i * n + c]) > std::fabs(m[piv * n + c])) piv = i;
    }
    if (!(std::fabs(m[piv * n + c]) > kPivotTol * scale) || scale == 0.0) return std::nullopt;
    for (std::size_t j = 0; j < n; ++j) std::swap(m[c * n + j], m[piv * n + j]);
    std::swap(r[c], r[piv]);
    for (std::size_t i = c + 1; i < n; ++i) {
      const double f = m[i * n + c] / m[c * n + c];
      for (std::size_t j = c; j < n; ++j) m[i * n + j] -= f * m[c * n + j];
      r[i] -= f * r[c];
    }
  }
  std::vector<double> x(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = r[i];
    for (std::size_t j = i + 1; j < n; ++j) s -= m[i * n + j] * x[j];
    x[i] = s / m[i * n + i];
  }
  return x;
}

// The minimiser of f over {sum w_F = 1} with the other coordinates zero: the KKT system
// [G_FF 1; 1^T 0] [w_F; mu] = [b_F; 1].
std::optional<std::vector<double>> free_set_minimiser(const Mat& g, std::span<const double> b,
                                                      const std::vector<std::size_t>& free) {
  const std::size_t m = free.size(), n = m + 1;
  std::vector<double> kkt(n * n, 0.0), rhs(n, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < m; ++j) kkt[i * n + j] = g(free[i], free[j]);
    kkt[i * n + m] = 1.0;
    kkt[m * n + i] = 1.0;
    rhs[i] = b[free[i]];
  }
  rhs[m] = 1.0;
  auto x = solve_dense(std::move(kkt), std::move(rhs), n);
  if (x) x->pop_back();
  return x;
}

// The gradient G w - b, from the free columns only (w is zero elsewhere).
std::vector<double> gradient(const Mat& g, std::span<const double> b, std::span<const double> w,
                             const std::vector<std::size_t>& free) {
  std::vector<double> out(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) out[i] = -b[i];
  for (std::size_t j : free) {
    const std::span<const double> col = g.col(j);
    for (std::size_t i = 0; i < b.size(); ++i) out[i] += col[i] * w[j];
  }
  return out;
}

// The coordinate outside the free set whose multiplier grad_j + mu (mu = -mean of grad over
// the free set) is most negative, or none when every multiplier passes the tolerance.
std::optional<std::size_t> most_violating(std::span<const double> grad, const std::vector<std::size_t>& free,
                                          const std::vector<bool>& in_free, double tol) {
  double mu = 0.0;
  for (std::size_t j : free) mu -= grad[j];
  mu /= static_cast<double>(free.size());
  std::optional<std::size_t> best;
  double most = -tol;
  for (std::size_t j = 0; j < grad.size(); ++j) {
    if (in_free[j]) continue;
    const double lambda = grad[j] + mu;
    if (lambda < most) most = lambda, best = j;
  }
  return best;
}

// The vertex of the simplex with the smallest f: the best single coordinate.
std::size_t best_vertex(const Mat& g, std::span<const double> b) {
  std::size_t best = 0;
  for (std::size_t j = 1; j < b.size(); ++j) {
    if (0.5 * g(j, j) - b[j] < 0.5 * g(best, best) - b[best]) best = j;
  }
  return best;
}

// Moves w towards the free-set minimiser z until the first coordinate reaches zero (the
// blocking one, set to exactly zero) and drops every free coordinate at zero. Returns false
// when the step was empty and dropped only `entering`: rounding has undone its entry, and w
// is optimal to rounding.
bool step_back(std::vector<double>& w, const std::vector<double>& z, std::vector<std::size_t>& free,
               std::vector<bool>& in_free, std::size_t entering) {
  double alpha = 1.0;
  std::size_t blocking = free.size();
  for (std::size_t i = 0; i < free.size(); ++i) {
    if (z[i] > 0.0) continue;
    const double a = w[free[i]] / (w[free[i]] - z[i]);
    if (blocking == free.size() || a < alpha) alpha = a, blocking = i;
  }
  std::vector<std::size_t> kept;
  bool dropped_other = false;
  for (std::size_t i = 0; i < free.size(); ++i) {
    const std::size_t j = free[i];
    w[j] = i == blocking ? 0.0 : w[j] + alpha * (z[i] - w[j]);
    if (w[j] > 0.0) {
      kept.push_back(j);
      continue;
    }
    w[j] = 0.0;
    in_free[j] = false;
    dropped_other = dropped_other || j != entering;
  }
  free = std::move(kept);
  return dropped_other || alpha > 0.0;
}

}  // namespace

std::optional<std::vector<double>> solve_simplex_active_set(const Mat& g, std::span<const double> b) {
  const std::size_t n = b.size();
  double diag = 0.0;
  for (std::size_t j = 0; j < n; ++j) diag = std::max(diag, std::fabs(g(j, j)));
  const double tol = kDualTol * std::max(diag, 1e-300);
  std::vector<double> w(n, 0.0);
  std::vector<bool> in_free(n, false);
  const std::size_t first = best_vertex(g, b);
  std::vector<std::size_t> free{first};
  w[first] = 1.0;
  in_free[first] = true;
  for (std::size_t steps = 0; steps < kStepsPerCoordinate * n + 8; ++steps) {
    const std::optional<std::size_t> entering = most_violating(gradient(g, b, w, free), free, in_free, tol);
    if (!entering) return w;
    free.push_back(*entering);
    in_free[*entering] = true;
    while (true) {
      const auto z = free_set_minimiser(g, b, free);
      if (!z) return std::nullopt;
      if (std::all_of(z->begin(), z->end(), [](double v) { return v > 0.0; })) {
        for (std::size_t i = 0; i < free.size(); ++i) w[free[i]] = (*z)[i];
        break;
      }
      if (!step_back(w, *z, free, in_free, *entering)) return w;
      if (free.empty()) return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace tessarix::linalg
