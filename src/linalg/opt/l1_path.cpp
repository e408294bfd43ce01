#include "linalg/opt/l1_path.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/error.hpp"
#include "linalg/factor/cholesky.hpp"

namespace tessarix::linalg {
namespace {

// A knot closer than this (relative to the current lambda) to the current one is the same
// event seen again through rounding, and is skipped.
constexpr double kKnotTol = 1e-12;
// A direction coefficient below this cannot move a coordinate or gradient to its bound.
constexpr double kSlopeTol = 1e-14;

struct Segment {
  std::vector<std::size_t> active;
  std::vector<double> sign;   // of each active coordinate
  std::vector<double> a, d;   // g_A(lambda) = a + lambda d
};

// Solves the active block for the segment's offset and slope.
void solve_segment(const Mat& q, std::span<const double> r, double ridge, Segment& seg) {
  const std::size_t k = seg.active.size();
  Mat qa(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) qa(i, j) = q(seg.active[i], seg.active[j]);
  }
  auto chol = ridge > 0.0 ? Cholesky::make_ridge(qa, ridge) : Cholesky::make(qa);
  if (!chol) chol = Cholesky::make_ridge(std::move(qa), kL1PathRidge);
  if (!chol) invariant_failure("l1_path: the active block is not positive definite");
  std::vector<double> ra(k), sa(k);
  for (std::size_t i = 0; i < k; ++i) {
    ra[i] = -r[seg.active[i]];
    sa[i] = -seg.sign[i];
  }
  seg.a = chol->solve_vec(ra);
  seg.d = chol->solve_vec(sa);
}

// The largest lambda below `lambda` at which the segment meets an event, and the event:
// the coordinate (joining when not active, leaving when active) and a joining sign.
struct Event {
  double lambda = 0.0;
  std::size_t coord = 0;
  double sign = 0.0;
  bool found = false;
};

Event next_event(const Mat& q, std::span<const double> r, const Segment& seg, double lambda) {
  const std::size_t n = r.size();
  const double below = lambda * (1.0 - kKnotTol);
  Event ev;
  const auto consider = [&](double at, std::size_t coord, double sign) {
    if (at >= 0.0 && at < below && (!ev.found || at > ev.lambda)) ev = {at, coord, sign, true};
  };
  std::vector<bool> is_active(n, false);
  for (std::size_t i : seg.active) is_active[i] = true;
  for (std::size_t j = 0; j < n; ++j) {
    if (is_active[j]) continue;
    // Gradient of the smooth part at coordinate j: c0 + lambda c1; joins at |.| = lambda.
    double c0 = r[j], c1 = 0.0;
    for (std::size_t i = 0; i < seg.active.size(); ++i) {
      c0 += q(j, seg.active[i]) * seg.a[i];
      c1 += q(j, seg.active[i]) * seg.d[i];
    }
    if (std::fabs(1.0 - c1) > kSlopeTol) consider(c0 / (1.0 - c1), j, -1.0);
    if (std::fabs(1.0 + c1) > kSlopeTol) consider(-c0 / (1.0 + c1), j, 1.0);
  }
  for (std::size_t i = 0; i < seg.active.size(); ++i) {
    if (std::fabs(seg.d[i]) > kSlopeTol) consider(-seg.a[i] / seg.d[i], seg.active[i], 0.0);
  }
  return ev;
}

std::vector<double> point_on(const Segment& seg, std::size_t n, double lambda) {
  std::vector<double> g(n, 0.0);
  for (std::size_t i = 0; i < seg.active.size(); ++i) g[seg.active[i]] = seg.a[i] + lambda * seg.d[i];
  return g;
}

}  // namespace

L1Path l1_path(const Mat& q, std::span<const double> r) {
  const std::size_t n = r.size();
  require_eq(q.rows(), n, "l1_path: Q must be n x n");
  require_eq(q.cols(), n, "l1_path: Q must be n x n");
  L1Path path;
  double lambda = 0.0;
  std::size_t first = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (std::fabs(r[j]) > lambda) {
      lambda = std::fabs(r[j]);
      first = j;
    }
  }
  path.lambdas.push_back(lambda);
  path.points.emplace_back(n, 0.0);
  if (lambda == 0.0) return path;
  double ridge = 0.0;
  if (!Cholesky::make(q)) {
    double diag = 0.0;
    for (std::size_t j = 0; j < n; ++j) diag = std::fmax(diag, q(j, j));
    ridge = kL1PathRidge * diag;
  }
  Segment seg;
  seg.active = {first};
  seg.sign = {r[first] > 0.0 ? -1.0 : 1.0};
  // Each knot changes the active set; a path has at most a few times n knots, and the cap
  // stops a numerical breakdown from looping.
  const std::size_t max_knots = 50 * (n + 1);
  for (std::size_t step = 0; step < max_knots && lambda > 0.0; ++step) {
    solve_segment(q, r, ridge, seg);
    const Event ev = next_event(q, r, seg, lambda);
    lambda = ev.found ? ev.lambda : 0.0;
    std::vector<double> g = point_on(seg, n, lambda);
    if (ev.found && ev.sign == 0.0) g[ev.coord] = 0.0;
    path.lambdas.push_back(lambda);
    path.points.push_back(std::move(g));
    if (!ev.found) break;
    if (ev.sign != 0.0) {
      seg.active.push_back(ev.coord);
      seg.sign.push_back(ev.sign);
    } else {
      const auto at = std::find(seg.active.begin(), seg.active.end(), ev.coord) - seg.active.begin();
      seg.active.erase(seg.active.begin() + at);
      seg.sign.erase(seg.sign.begin() + at);
    }
  }
  if (path.lambdas.back() != 0.0) invariant_failure("l1_path: the homotopy did not reach lambda = 0");
  return path;
}

std::vector<double> l1_path_at(const L1Path& path, double lambda) {
  const std::size_t k = path.lambdas.size();
  if (lambda >= path.lambdas.front()) return path.points.front();
  for (std::size_t i = 1; i < k; ++i) {
    if (lambda >= path.lambdas[i]) {
      const double hi = path.lambdas[i - 1], lo = path.lambdas[i];
      const double t = (lambda - lo) / (hi - lo);
      std::vector<double> g(path.points[i].size());
      for (std::size_t j = 0; j < g.size(); ++j) g[j] = path.points[i][j] + t * (path.points[i - 1][j] - path.points[i][j]);
      return g;
    }
  }
  return path.points.back();
}

}  // namespace tessarix::linalg
