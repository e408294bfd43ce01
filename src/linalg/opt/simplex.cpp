#include "linalg/opt/simplex.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

#include "linalg/factor/cholesky.hpp"
#include "linalg/lanes.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/ops/order.hpp"

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

// out = G w + lambda w - b, with gw = G w kept for the caller.
void grad_into(const Mat& g, std::span<const double> b, std::span<const double> w, double lambda,
               std::span<double> gw, std::span<double> out) {
  gemv(g, w, gw, 1.0, 0.0);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = gw[i] + lambda * w[i] - b[i];
}

// Scratch buffers of the bounded solver, reused across iterations so that no loop allocates
// (`candidate` holds the polish's trial point).
struct Workspace {
  std::vector<double> gw, g, candidate, z, w, w_old, y, s;
  std::vector<std::size_t> order;
  explicit Workspace(std::size_t j)
      : gw(j), g(j), candidate(j), z(j), w(j), w_old(j), y(j), s(j), order(j) {}
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

// --- Away-step Frank-Wolfe with O(J) steps ------------------------------------------------

// Every max(kMinRefresh, J / kRefreshPerDonor) steps G w and the line-search scalars are
// recomputed exactly (one product with G, over the support of w) and the iterate is put back
// onto sum 1; between refreshes they are updated in closed form. The interval keeps the
// rounding drift at the level of a few hundred rank-one updates at most and the amortised
// cost of the product at most about 4 J per step, so that a step stays O(J). Where a run stops
// at its iteration cap near a small duality gap, its last iterate moves with the rounding by
// up to about 1e-9; with this interval every fit of the Proposition 99 regression baseline
// stays within 1e-10 of the solver that recomputed everything at every step (measured).
constexpr std::size_t kMinRefresh = 113;
constexpr std::size_t kRefreshPerDonor = 4;
// Coordinates above this are the support from which the away vertex is chosen.
constexpr double kSupport = 1e-14;
// The iterate is rescaled onto the simplex once its sum has drifted further than this.
constexpr double kSumSlack = 1e-15;

// Exact minimiser over [0, gamma_max] of the quadratic along d with slope gd = g^T d and
// curvature q = d^T (G + lambda I) d; a non-positive curvature takes the longest useful step.
double line_search(double gd, double q, double gamma_max) {
  if (q <= 0.0) return gd < 0.0 ? std::fmin(gamma_max, 1.0) : 0.0;
  return clamp(-gd / q, 0.0, gamma_max);
}

// Toward vertex s (smallest gradient entry, lowest index on ties) and away vertex a (largest
// entry over the support, lowest index on ties; a == J when the support is empty).
struct Vertices {
  std::size_t s;
  std::size_t a;
  double g_s;
  double g_a;
};



// Running extrema of one set of four lanes: lane k keeps the first smallest entry and the
// first largest entry over the support among the indices it has seen, in ascending order.
struct LaneExtrema {
  V4 lo, hi;
  V4i lo_at, hi_at;
};

// The vertices of the gradient g = G w + lambda w - b, given G w, for J >= 4 and a finite
// gradient (s == J when no entry is finite). Two sets of four
// lanes take alternate blocks of four indices, and a last block overlapping the one before
// covers the remainder (a lane then sees a later index of its own, or an index another lane
// has seen, which the merge settles). Merging by value and then by index gives exactly the
// lowest-index extremum of a sequential scan, while the comparisons of one element no longer
// wait for those of the previous one.
inline Vertices find_vertices(std::size_t j, const double* gw, const double* w,
                                            const double* b, double lambda) {
  const auto none = static_cast<long long>(j);
  const LaneExtrema empty{V4{} + kInf, V4{} - kInf, V4i{} + none, V4i{} + none};
  LaneExtrema set[2] = {empty, empty};
  const auto scan = [&](LaneExtrema& e, std::size_t i) {
    V4 wi, gwi, bi;
    std::memcpy(&wi, w + i, sizeof wi);
    std::memcpy(&gwi, gw + i, sizeof gwi);
    std::memcpy(&bi, b + i, sizeof bi);
    const V4 gi = gwi + lambda * wi - bi;
    const V4i at = V4i{0, 1, 2, 3} + static_cast<long long>(i);
    // Strict comparisons with the +inf / -inf starting values: every finite entry is taken
    // first, and a later equal one never replaces it.
    const V4i lower = gi < e.lo;
    e.lo = lower ? gi : e.lo;
    e.lo_at = lower ? at : e.lo_at;
    const V4i higher = (wi > kSupport) & (gi > e.hi);
    e.hi = higher ? gi : e.hi;
    e.hi_at = higher ? at : e.hi_at;
  };
  std::size_t i = 0;
  for (; i + 8 <= j; i += 8) scan(set[0], i), scan(set[1], i + 4);
  if (i + 4 <= j) scan(set[0], i), i += 4;
  if (i < j) scan(set[1], j - 4);

  // Lane-wise merge of the two sets, then across the four lanes; "found" lanes (index < J)
  // win over empty ones, smaller (larger) values over others, lower indices on ties.
  const LaneExtrema& p = set[0];
  const LaneExtrema& q = set[1];
  const V4i q_lower = (q.lo_at != none) & ((p.lo_at == none) | (q.lo < p.lo) | ((q.lo == p.lo) & (q.lo_at < p.lo_at)));
  const V4i q_higher = (q.hi_at != none) & ((p.hi_at == none) | (q.hi > p.hi) | ((q.hi == p.hi) & (q.hi_at < p.hi_at)));
  const V4 lo = q_lower ? q.lo : p.lo;
  const V4i lo_at = q_lower ? q.lo_at : p.lo_at;
  const V4 hi = q_higher ? q.hi : p.hi;
  const V4i hi_at = q_higher ? q.hi_at : p.hi_at;
  Vertices v{static_cast<std::size_t>(lo_at[0]), static_cast<std::size_t>(hi_at[0]), lo[0], hi[0]};
  for (int k = 1; k < 4; ++k) {
    const auto s_k = static_cast<std::size_t>(lo_at[k]);
    const auto a_k = static_cast<std::size_t>(hi_at[k]);
    const bool lower = s_k < j && (v.s == j || lo[k] < v.g_s || (lo[k] == v.g_s && s_k < v.s));
    const bool higher = a_k < j && (v.a == j || hi[k] > v.g_a || (hi[k] == v.g_a && a_k < v.a));
    v.s = lower ? s_k : v.s, v.g_s = lower ? lo[k] : v.g_s;
    v.a = higher ? a_k : v.a, v.g_a = higher ? hi[k] : v.g_a;
  }
  return v;
}

// The same by a plain scan, for fewer than four coordinates or a gradient with non-finite
// entries.
Vertices find_vertices_short(std::size_t j, const double* gw, const double* w, const double* b,
                             double lambda) {
  Vertices v{0, j, 0.0, 0.0};
  for (std::size_t i = 0; i < j; ++i) {
    const double gi = gw[i] + lambda * w[i] - b[i];
    if (i == 0 || gi < v.g_s) v.s = i, v.g_s = gi;
    if (w[i] > kSupport && (v.a == j || gi > v.g_a)) v.a = i, v.g_a = gi;
  }
  return v;
}

// w <- w + gamma (e_v - w) and gw <- gw + gamma (G e_v - gw) (sign +1, a toward step), or
// w <- w + gamma (w - e_v) and gw <- gw + gamma (gw - G e_v) (sign -1, an away step).
inline void move_along(std::size_t j, std::size_t v, double sign, double gamma,
                                     const double* gv, double* w, double* gw) {
  const double wv = w[v];
  if (sign > 0.0) {
    for (std::size_t i = 0; i < j; ++i) {
      w[i] += gamma * -w[i];
      gw[i] += gamma * (gv[i] - gw[i]);
    }
    w[v] = wv + gamma * (1.0 - wv);
  } else {
    for (std::size_t i = 0; i < j; ++i) {
      w[i] += gamma * w[i];
      gw[i] += gamma * (gw[i] - gv[i]);
    }
    w[v] = wv + gamma * (wv - 1.0);
  }
}


// The iterate of away-step Frank-Wolfe with what a step needs of it kept current in O(J): a
// toward step moves w along e_s - w and an away step along w - e_a, so G w moves along one
// column of G and w^T G w, w^T w and b^T w have closed-form updates; the gradient
// G w + lambda w - b, g^T w and the exact line search follow from them.
class FrankWolfe {
public:
  // Starts at the barycentre (1/J, ..., 1/J).
  FrankWolfe(const Mat& g, std::span<const double> b, double lambda)
      : g_(g), b_(b), lambda_(lambda), w_(b.size(), 1.0 / static_cast<double>(b.size())),
        gw_(b.size()), refresh_every_(std::max(kMinRefresh, b.size() / kRefreshPerDonor)) {
    recompute();
  }

  // Due at the end of each refresh interval, or as soon as a clean-up has left G w behind.
  bool refresh_due() {
    if (--until_refresh_ == 0 || stale_) {
      until_refresh_ = refresh_every_;
      return true;
    }
    return false;
  }

  // Puts w back onto sum 1 when its sum has drifted, then recomputes G w and the scalars.
  void refresh() {
    const double total = sum(w_);
    if (total > 0.0 && std::fabs(total - 1.0) > kSumSlack) {
      const double inv = 1.0 / total;
      for (double& v : w_) v *= inv;
    }
    recompute();
  }

  Vertices vertices() const {
    const std::size_t j = w_.size();
    if (j >= 4) {
      const Vertices v = find_vertices(j, gw_.data(), w_.data(), b_.data(), lambda_);
      if (v.s < j) return v;  // else no finite gradient entry: the plain scan decides
    }
    return find_vertices_short(j, gw_.data(), w_.data(), b_.data(), lambda_);
  }

  // g^T w = w^T G w + lambda w^T w - b^T w.
  double gtw() const { return wgw_ + lambda_ * ww_ - bw_; }

  // Step along d = e_s - w, at most to the vertex.
  void step_toward(std::size_t s, double g_s) {
    const Along d{g_s - gtw(), gw_[s] - wgw_, g_(s, s) - 2.0 * gw_[s] + wgw_, w_[s] - ww_,
                  1.0 - 2.0 * w_[s] + ww_, b_[s] - bw_};
    const double gamma = line_search(d.gd, d.dgd + lambda_ * d.dd, 1.0);
    move_along(w_.size(), s, 1.0, gamma, g_.col(s).data(), w_.data(), gw_.data());
    advance(gamma, d);
  }

  // Step along d = w - e_a, at most until w_a reaches 0 (a drop step).
  void step_away(std::size_t a, double g_a) {
    const double wa = w_[a];
    const Along d{gtw() - g_a, wgw_ - gw_[a], wgw_ - 2.0 * gw_[a] + g_(a, a), ww_ - wa,
                  ww_ - 2.0 * wa + 1.0, bw_ - b_[a]};
    const double gamma_max = wa >= 1.0 ? kInf : wa / (1.0 - wa);
    const double gamma = line_search(d.gd, d.dgd + lambda_ * d.dd, gamma_max);
    move_along(w_.size(), a, -1.0, gamma, g_.col(a).data(), w_.data(), gw_.data());
    advance(gamma, d);
    // Only w_a can round below zero; clearing it leaves G w behind, so refresh next.
    if (w_[a] < 0.0) w_[a] = 0.0, stale_ = true;
  }

  std::vector<double> weights() && { return std::move(w_); }

private:
  // A direction d through its products: g^T d, d^T G w, d^T G d, d^T w, d^T d, d^T b.
  struct Along {
    double gd, dgw, dgd, dw, dd, db;
  };

  // G w (whose product skips zero weights: Frank-Wolfe iterates are sparse) and the scalars.
  void recompute() {
    gemv(g_, w_, gw_, 1.0, 0.0);
    // Three sums, each in index order, in one pass.
    double wgw = 0.0, ww = 0.0, bw = 0.0;
    for (std::size_t i = 0; i < w_.size(); ++i) {
      wgw += w_[i] * gw_[i];
      ww += w_[i] * w_[i];
      bw += b_[i] * w_[i];
    }
    wgw_ = wgw, ww_ = ww, bw_ = bw;
    stale_ = false;
  }

  void advance(double gamma, const Along& d) {
    wgw_ += gamma * (2.0 * d.dgw + gamma * d.dgd);
    ww_ += gamma * (2.0 * d.dw + gamma * d.dd);
    bw_ += gamma * d.db;
  }

  const Mat& g_;
  std::span<const double> b_;
  double lambda_;
  std::vector<double> w_;
  std::vector<double> gw_;
  std::size_t refresh_every_;
  std::size_t until_refresh_ = refresh_every_;
  double wgw_ = 0.0;
  double ww_ = 0.0;
  double bw_ = 0.0;
  bool stale_ = false;
};

// Away-step Frank-Wolfe from the barycentre until the gap is at most tol or max_iter steps.
// Every kernel of a step is inlined into this loop (flatten), which is compiled for AVX2 and
// for the baseline and chosen once per process; the two builds give the same bits.
__attribute__((target_clones("avx2", "default"), flatten)) SimplexSolution frank_wolfe_steps(
    const Mat& g, std::span<const double> b, std::size_t max_iter, double lambda, double tol) {
  const std::size_t j = b.size();
  SimplexSolution out;
  FrankWolfe fw(g, b, lambda);
  double gap = kInf;
  for (std::size_t it = 0; it < max_iter; ++it) {
    if (it > 0 && fw.refresh_due()) fw.refresh();
    const Vertices v = fw.vertices();
    const double gtw = fw.gtw();
    gap = gtw - v.g_s;
    if (gap <= tol) {
      out.iters = it;
      out.gap = gap;
      out.weights = std::move(fw).weights();
      return out;
    }
    // Away step when its gap beats the Frank-Wolfe gap.
    if (v.a < j && (v.g_a - gtw) > (gtw - v.g_s)) {
      fw.step_away(v.a, v.g_a);
    } else {
      fw.step_toward(v.s, v.g_s);
    }
  }
  out.iters = max_iter;
  out.gap = gap;
  out.weights = std::move(fw).weights();
  return out;
}

// An infinite ridge outweighs the rest of the objective: the minimiser of ||w||^2 over the
// (bounded) simplex, which is the uniform vector. Only a penalty put at a panel's canonical
// scale can become infinite.
SimplexSolution ridge_dominated(std::size_t j) {
  return {std::vector<double>(j, 1.0 / static_cast<double>(j)), 0, 0.0};
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
  if (j == 0) return {};
  if (std::isinf(lambda)) return ridge_dominated(j);
  return frank_wolfe_steps(g, b, max_iter, lambda, tol);
}

SimplexSolution solve_bounded(const Mat& g, std::span<const double> b, std::size_t max_iter,
                              double lambda, double lo, double hi, double tol) {
  const std::size_t j = b.size();
  if (j == 0) return {};
  if (!(lo > 0.0) && !(hi < 1.0)) return solve_fw(g, b, max_iter, lambda, tol);
  if (std::isinf(lambda)) return ridge_dominated(j);
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
    if (it != 0 && it % 25 == 0) polish(g, b, lambda, bd, delta, ws.w, ws.candidate);
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
