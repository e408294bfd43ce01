#include "linalg/opt/simplex.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "linalg/factor/cholesky.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"

namespace tessarix::linalg {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Bounds relaxed so that the uniform vector is feasible: lo' <= 1/J <= hi'. fmin/fmax
// ignore a NaN bound, which therefore never binds.
struct Bounds {
  double lo;
  double hi;
};

Bounds effective_bounds(std::size_t j, double lo, double hi) {
  const double u = 1.0 / static_cast<double>(j);
  return {std::fmin(std::fmax(lo, 0.0), u), std::fmin(std::fmax(hi, u), 1.0)};
}

double clamp(double x, double lo, double hi) { return x < lo ? lo : (x > hi ? hi : x); }

double sum(std::span<const double> x) {
  double s = 0.0;
  for (double v : x) s += v;
  return s;
}

// Key that orders doubles by the IEEE total order (-NaN < -inf < ... < -0 < +0 < ... < +NaN).
std::uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// out = G w + lambda w - b, with gw = G w kept for the caller.
void grad_into(const Mat& g, std::span<const double> b, std::span<const double> w, double lambda,
               std::span<double> gw, std::span<double> out) {
  gemv(g, w, gw, 1.0, 0.0);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = gw[i] + lambda * w[i] - b[i];
}

// Scratch buffers reused across iterations, so that no loop allocates.
struct Workspace {
  std::vector<double> gw, g, d, gd, z, w, w_old, y, s;
  std::vector<std::size_t> order;
  explicit Workspace(std::size_t j)
      : gw(j), g(j), d(j), gd(j), z(j), w(j), w_old(j), y(j), s(j), order(j) {}
};

void project_into(std::span<const double> z, Bounds bd, std::span<double> x) {
  const std::size_t j = z.size();
  double zmin = kInf, zmax = -kInf;
  for (std::size_t i = 0; i < j; ++i) {
    const double v = std::isfinite(z[i]) ? z[i] : 0.0;
    x[i] = v;  // x holds z' until the final clamp
    zmin = std::fmin(zmin, v);
    zmax = std::fmax(zmax, v);
  }
  double t_lo = zmin - bd.hi;
  double t_hi = zmax - bd.lo;
  double tau = 0.0;
  bool done = false;
  for (int k = 0; k < 100; ++k) {
    const double mid = (t_lo + t_hi) / 2.0;
    if (!(t_lo < mid && mid < t_hi)) {
      tau = mid;
      done = true;
      break;
    }
    double s = 0.0;
    for (std::size_t i = 0; i < j; ++i) s += clamp(x[i] - mid, bd.lo, bd.hi);
    if (s <= 1.0) {
      t_hi = mid;
    } else {
      t_lo = mid;
    }
  }
  if (!done) tau = (t_lo + t_hi) / 2.0;
  std::size_t interior = 0;
  double total = 0.0;
  for (std::size_t i = 0; i < j; ++i) {
    x[i] = clamp(x[i] - tau, bd.lo, bd.hi);
    total += x[i];
    if (bd.lo < x[i] && x[i] < bd.hi) ++interior;
  }
  const double r = 1.0 - total;
  if (r != 0.0 && interior > 0) {
    const double share = r / static_cast<double>(interior);
    for (std::size_t i = 0; i < j; ++i) {
      if (bd.lo < x[i] && x[i] < bd.hi) x[i] = clamp(x[i] + share, bd.lo, bd.hi);
    }
  }
}

void lmo_into(std::span<const double> g, Bounds bd, std::span<std::size_t> order,
              std::span<double> s) {
  const std::size_t j = g.size();
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return total_order_key(g[a]) < total_order_key(g[b]);
  });
  std::fill(s.begin(), s.end(), bd.lo);
  double budget = 1.0 - static_cast<double>(j) * bd.lo;
  for (std::size_t k = 0; k < j && budget > 0.0; ++k) {
    const double add = std::fmin(bd.hi - bd.lo, budget);
    s[order[k]] += add;
    budget -= add;
  }
}

// Active-set Newton step: solves the equality-constrained quadratic on the free coordinates
// of w and replaces w when the result stays within the bounds and does not increase f.
void polish(const Mat& g, std::span<const double> b, double lambda, Bounds bd, double delta,
            std::span<double> w, std::span<double> candidate) {
  const std::size_t j = w.size();
  std::vector<std::size_t> free;
  for (std::size_t i = 0; i < j; ++i) {
    if (bd.lo + delta < w[i] && w[i] < bd.hi - delta) free.push_back(i);
  }
  const std::size_t k = free.size();
  if (k == 0 || (j > 256 && k == j)) return;
  std::vector<bool> is_free(j, false);
  for (std::size_t i : free) is_free[i] = true;

  Mat h(k, k);
  for (std::size_t c = 0; c < k; ++c)
    for (std::size_t r = 0; r < k; ++r) h(r, c) = g(free[r], free[c]);
  double s_fix = 0.0;
  for (std::size_t i = 0; i < j; ++i) {
    if (!is_free[i]) s_fix += w[i];
  }
  std::vector<double> rhs(k);
  for (std::size_t r = 0; r < k; ++r) {
    double v = b[free[r]];
    for (std::size_t i = 0; i < j; ++i) {
      if (!is_free[i]) v -= g(free[r], i) * w[i];
    }
    rhs[r] = v;
  }
  double trace = 0.0;
  for (std::size_t r = 0; r < k; ++r) trace += h(r, r);
  const double mu = std::fmax(trace / static_cast<double>(k), 1e-300);
  const auto chol = Cholesky::make_ridge(std::move(h), lambda + 1e-12 * mu);
  if (!chol) return;
  const std::vector<double> u = chol->solve_vec(rhs);
  const std::vector<double> v = chol->solve_vec(std::vector<double>(k, 1.0));
  const double sv = sum(v);
  if (!std::isfinite(std::fabs(sv)) || std::fabs(sv) < 1e-300) return;
  const double nu = ((1.0 - s_fix) - sum(u)) / sv;
  std::copy(w.begin(), w.end(), candidate.begin());
  for (std::size_t r = 0; r < k; ++r) {
    const double x = u[r] + nu * v[r];
    if (!std::isfinite(x) || x > bd.hi + 1e-12 || x < bd.lo - 1e-12) return;
    candidate[free[r]] = clamp(x, bd.lo, bd.hi);
  }
  if (objective(g, b, candidate, lambda) <= objective(g, b, w, lambda)) {
    std::copy(candidate.begin(), candidate.end(), w.begin());
  }
}

}  // namespace

double objective(const Mat& g, std::span<const double> b, std::span<const double> w,
                 double lambda) {
  const std::vector<double> gw = matvec(g, w);
  double quad = 0.0;
  for (std::size_t i = 0; i < w.size(); ++i) quad += w[i] * (gw[i] + lambda * w[i]);
  return 0.5 * quad - dot(b, w);
}

std::vector<double> grad(const Mat& g, std::span<const double> b, std::span<const double> w,
                         double lambda) {
  std::vector<double> gw(w.size()), out(w.size());
  grad_into(g, b, w, lambda, gw, out);
  return out;
}

std::vector<double> project_bounded_simplex(std::span<const double> z, double lo, double hi) {
  if (z.empty()) return {};
  std::vector<double> x(z.size());
  project_into(z, effective_bounds(z.size(), lo, hi), x);
  return x;
}

std::vector<double> lmo_bounded(std::span<const double> g, double lo, double hi) {
  std::vector<double> s(g.size());
  if (g.empty()) return s;
  std::vector<std::size_t> order(g.size());
  lmo_into(g, effective_bounds(g.size(), lo, hi), order, s);
  return s;
}

SimplexSolution solve_fw(const Mat& g, std::span<const double> b, std::size_t max_iter,
                         double lambda, double tol) {
  const std::size_t j = b.size();
  SimplexSolution out;
  if (j == 0) return out;
  Workspace ws(j);
  std::vector<double>& w = ws.w;
  std::vector<double>& gr = ws.g;
  std::vector<double>& gw = ws.gw;
  std::vector<double>& d = ws.d;
  std::fill(w.begin(), w.end(), 1.0 / static_cast<double>(j));
  double gap = kInf;
  // Each iteration makes four passes over the coordinates; every sum still runs in index
  // order, so fusing the loops changes no result.
  for (std::size_t it = 0; it < max_iter; ++it) {
    // Gradient, toward vertex (smallest entry, lowest index on ties), away vertex (largest
    // entry among the support) and g^T w.
    gemv(g, w, gw, 1.0, 0.0);
    const double* pw = w.data();
    const double* pgw = gw.data();
    double* pg = gr.data();
    std::size_t s = 0;
    std::size_t a = j;  // j: no away vertex
    double g_s = 0.0, g_a = 0.0, gtw = 0.0;
    for (std::size_t i = 0; i < j; ++i) {
      const double gi = pgw[i] + lambda * pw[i] - b[i];
      pg[i] = gi;
      if (i == 0 || gi < g_s) {
        if (i == 0) g_s = gi;
        else s = i, g_s = gi;
      }
      if (pw[i] > 1e-14 && (a == j || gi > g_a)) a = i, g_a = gi;
      gtw += gi * pw[i];
    }
    gap = gtw - g_s;
    if (gap <= tol) {
      out.weights = std::move(w);
      out.iters = it;
      out.gap = gap;
      return out;
    }
    // Direction d and, without a second product, G d = G e_s - G w (toward) or G w - G e_a
    // (away); then g^T d and d^T (G + lambda I) d for the exact line search.
    const bool away = a < j && (g_a - gtw) > (gtw - g_s);
    double* pd = d.data();
    double gd = 0.0;
    double q = 0.0;
    if (away) {
      const double* gv = g.col(a).data();
      for (std::size_t i = 0; i < j; ++i) {
        const double di = i == a ? pw[i] - 1.0 : pw[i];
        const double gdi = pgw[i] - gv[i];
        pd[i] = di;
        gd += pg[i] * di;
        q += di * (gdi + lambda * di);
      }
    } else {
      const double* gv = g.col(s).data();
      for (std::size_t i = 0; i < j; ++i) {
        const double di = i == s ? 1.0 - pw[i] : -pw[i];
        const double gdi = gv[i] - pgw[i];
        pd[i] = di;
        gd += pg[i] * di;
        q += di * (gdi + lambda * di);
      }
    }
    const double gamma_max = !away ? 1.0 : (w[a] >= 1.0 ? kInf : w[a] / (1.0 - w[a]));
    double gamma;
    if (q <= 0.0) {
      gamma = gd < 0.0 ? std::fmin(gamma_max, 1.0) : 0.0;
    } else {
      gamma = clamp(-gd / q, 0.0, gamma_max);
    }
    // Step, clean-up of negative round-off, and renormalisation of the sum.
    double total = 0.0;
    for (std::size_t i = 0; i < j; ++i) {
      double v = w[i] + gamma * pd[i];
      if (v < 0.0) v = 0.0;
      w[i] = v;
      total += v;
    }
    if (total > 0.0 && std::fabs(total - 1.0) > 1e-15) {
      const double inv = 1.0 / total;
      for (double& v : w) v *= inv;
    }
  }
  out.weights = std::move(w);
  out.iters = max_iter;
  out.gap = gap;
  return out;
}

SimplexSolution solve_bounded(const Mat& g, std::span<const double> b, std::size_t max_iter,
                              double lambda, double lo, double hi, double tol) {
  const std::size_t j = b.size();
  if (j == 0) return {};
  if (!(lo > 0.0) && !(hi < 1.0)) return solve_fw(g, b, max_iter, lambda, tol);
  const Bounds bd = effective_bounds(j, lo, hi);

  double row_max = 0.0;
  for (std::size_t r = 0; r < g.rows(); ++r) {
    double s = 0.0;
    for (std::size_t c = 0; c < g.cols(); ++c) s += std::fabs(g(r, c));
    row_max = std::fmax(row_max, s);
  }
  const double lipschitz = g.rows() == 0 ? 0.0 : std::fmin(row_max, scaled_norm(g.data()));
  const double eta = 1.0 / std::fmax(lambda + lipschitz, 1e-12);
  double bmax = 0.0;
  for (double v : b) bmax = std::fmax(bmax, std::fabs(v));
  const double threshold = tol * (bmax + 1.0);
  const double delta = std::fmax(bd.hi - bd.lo, 1e-12) * 1e-10;

  Workspace ws(j);
  std::fill(ws.w_old.begin(), ws.w_old.end(), 1.0 / static_cast<double>(j));
  ws.y = ws.w_old;
  SimplexSolution out;
  if (max_iter == 0) {
    out.weights = ws.w_old;
    out.gap = kInf;
    return out;
  }
  double t = 1.0;
  double gap = kInf;
  for (std::size_t it = 0; it < max_iter; ++it) {
    grad_into(g, b, ws.y, lambda, ws.gw, ws.g);
    for (std::size_t i = 0; i < j; ++i) ws.z[i] = ws.y[i] - eta * ws.g[i];
    project_into(ws.z, bd, ws.w);
    if (it != 0 && it % 25 == 0) polish(g, b, lambda, bd, delta, ws.w, ws.d);
    if (it % 5 == 0 || it == max_iter - 1) {
      grad_into(g, b, ws.w, lambda, ws.gw, ws.g);
      lmo_into(ws.g, bd, ws.order, ws.s);
      gap = dot(ws.g, ws.w) - dot(ws.g, ws.s);
      if (gap <= threshold) {
        out.weights = std::move(ws.w);
        out.iters = it;
        out.gap = gap;
        return out;
      }
    }
    double restart = 0.0;
    for (std::size_t i = 0; i < j; ++i) restart += (ws.y[i] - ws.w[i]) * (ws.w[i] - ws.w_old[i]);
    double beta;
    if (restart > 0.0) {
      beta = 0.0;
      t = 1.0;
    } else {
      const double t_new = (1.0 + std::sqrt(4.0 * t * t + 1.0)) / 2.0;
      beta = (t - 1.0) / t_new;
      t = t_new;
    }
    for (std::size_t i = 0; i < j; ++i) ws.y[i] = ws.w[i] + beta * (ws.w[i] - ws.w_old[i]);
    std::swap(ws.w_old, ws.w);
  }
  out.weights = std::move(ws.w_old);  // the last iterate (swapped into w_old above)
  out.iters = max_iter;
  out.gap = gap;
  return out;
}

SimplexSolution sc_weights(const Mat& x0, std::span<const double> x1, double lambda) {
  const Mat g = syrk_ata(x0);
  std::vector<double> b(x0.cols());
  gemv_t(x0, x1, b, 1.0, 0.0);
  return solve_fw(g, b, 5000, lambda, 1e-10);
}

SimplexSolution sc_weights_bounded(const Mat& x0, std::span<const double> x1, double lambda,
                                   double min_weight, double max_weight) {
  if (x0.cols() == 0 || (!(min_weight > 0.0) && !(max_weight < 1.0))) {
    return sc_weights(x0, x1, lambda);
  }
  const Mat g = syrk_ata(x0);
  std::vector<double> b(x0.cols());
  gemv_t(x0, x1, b, 1.0, 0.0);
  return solve_bounded(g, b, 20000, lambda, min_weight, max_weight, 1e-12);
}

}  // namespace tessarix::linalg
