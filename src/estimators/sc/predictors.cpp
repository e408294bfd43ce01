#include "estimators/sc/predictors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "estimators/sc/common.hpp"
#include "estimators/scale.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/opt/simplex.hpp"
#include "linalg/opt/simplex_active.hpp"
#include "linalg/solve/lstsq.hpp"
#include "runtime/interrupt.hpp"

namespace tessarix::sc::predictors {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The inner simplex solve's fallback (Frank-Wolfe where the exact active set meets a singular
// step): the stopping gap is relative to the largest linear term, and standardised
// predictors under importances summing to 1 keep that term of order one.
constexpr std::size_t kInnerMaxIter = 20000;
constexpr double kInnerTol = 1e-13;

// A predictor fit counts as exact when its squared residual is below kExactFit times the
// treated predictors' squared size: rounding level for a match reached exactly.
constexpr double kExactFit = 1e-20;
// The weight of the outcome loss that breaks the tie among exact matches, relative to the
// predictor loss's scale (their Gram matrices' largest diagonals): small enough that the
// predictor match stays exact to about this relative size, large enough to dominate rounding.
constexpr double kTieBreak = 1e-8;

// Nelder-Mead on the unnormalised importances theta (v = |theta| / sum |theta|, the
// parametrisation Synth's outer search uses): the usual reflection, expansion, contraction
// and shrink coefficients; the first simplex steps 5% along each non-zero coordinate and
// kZeroStep along a zero one (both as in common practice).
constexpr double kReflect = 1.0;
constexpr double kExpand = 2.0;
constexpr double kContract = 0.5;
constexpr double kShrink = 0.5;
constexpr double kRelStep = 0.05;
constexpr double kZeroStep = 0.00025;
// A search stops when the simplex's losses agree to kLossTol relative and its vertices to
// kThetaTol, or after kEvalsPerPredictor evaluations per predictor.
constexpr double kLossTol = 1e-12;
constexpr double kThetaTol = 1e-9;
constexpr std::size_t kEvalsPerPredictor = 400;
// The outer loss is not convex in V and has flat stretches (where the chosen donors do not
// change); beside the equal and regression-based starts, the searches also start from the
// best kScanStarts of kScanPerPredictor * k importances spread over the simplex.
constexpr std::size_t kScanPerPredictor = 40;
constexpr std::size_t kScanStarts = 3;
// A search restarts from its best vertex (a collapsed simplex stalls Nelder-Mead short of a
// minimum) while a restart improves the loss, at most this often.
constexpr int kMaxRestarts = 4;

// --- the problem ---------------------------------------------------------------------------

// The predictor rows of the treated units averaged, and of the donors, k x (J + 1): column 0
// the treated average.
Mat predictor_columns(const Mat& x, std::span<const std::size_t> treated, std::span<const std::size_t> donors) {
  const std::size_t k = x.cols();
  Mat out(k, donors.size() + 1);
  for (std::size_t p = 0; p < k; ++p) {
    const std::span<const double> col = x.col(p);
    double s = 0.0;
    for (std::size_t u : treated) s += col[u];
    out(p, 0) = s / static_cast<double>(treated.size());
    for (std::size_t j = 0; j < donors.size(); ++j) out(p, j + 1) = col[donors[j]];
  }
  return out;
}

// Divides each row by its sample standard deviation across the columns; a row without spread
// becomes zero. The divisor's degrees of freedom do not matter: every row shares them.
void standardise_rows(Mat& m) {
  for (std::size_t p = 0; p < m.rows(); ++p) {
    std::vector<double> row(m.cols());
    for (std::size_t c = 0; c < m.cols(); ++c) row[c] = m(p, c);
    const double sd = std::sqrt(sum_sq_dev(row) / static_cast<double>(m.cols() - 1));
    for (std::size_t c = 0; c < m.cols(); ++c) m(p, c) = sd > 0.0 ? m(p, c) / sd : 0.0;
  }
}

std::vector<std::size_t> loss_periods_at(const PredictorOptions& options, std::size_t t0) {
  if (options.loss_periods.empty()) {
    std::vector<std::size_t> all(t0);
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
  }
  for (std::size_t t : options.loss_periods) {
    if (t >= t0) invariant_failure("loss period " + std::to_string(t) + " is not before treatment time " + std::to_string(t0));
  }
  return options.loss_periods;
}

// --- the outer search ----------------------------------------------------------------------

// v = |theta| / sum |theta|, or empty when theta is all zero.
std::vector<double> importances_of(std::span<const double> theta) {
  double s = 0.0;
  for (double t : theta) s += std::fabs(t);
  if (!(s > 0.0) || !std::isfinite(s)) return {};
  std::vector<double> v(theta.size());
  for (std::size_t p = 0; p < v.size(); ++p) v[p] = std::fabs(theta[p]) / s;
  return v;
}

// The outer objective: the outcome loss of W*(v(theta)); +inf where v is undefined.
double loss_of_theta(const Problem& problem, std::span<const double> theta) {
  const std::vector<double> v = importances_of(theta);
  if (v.empty()) return kInf;
  return outcome_loss(problem, inner_weights(problem, v));
}

struct Vertex {
  std::vector<double> theta;
  double loss = kInf;
};

// The first simplex around `start`: the start and one vertex stepped along each coordinate.
std::vector<Vertex> first_simplex(const Problem& problem, std::span<const double> start) {
  std::vector<Vertex> s;
  s.push_back({{start.begin(), start.end()}, loss_of_theta(problem, start)});
  for (std::size_t p = 0; p < start.size(); ++p) {
    std::vector<double> x(start.begin(), start.end());
    x[p] = x[p] != 0.0 ? x[p] * (1.0 + kRelStep) : kZeroStep;
    const double f = loss_of_theta(problem, x);
    s.push_back({std::move(x), f});
  }
  return s;
}

// centroid + a (centroid - worst): reflection (a = 1), expansion (2), contractions (+-1/2).
std::vector<double> along(const std::vector<double>& centroid, const std::vector<double>& worst, double a) {
  std::vector<double> x(centroid.size());
  for (std::size_t p = 0; p < x.size(); ++p) x[p] = centroid[p] + a * (centroid[p] - worst[p]);
  return x;
}

std::vector<double> centroid_of_best(const std::vector<Vertex>& s) {
  std::vector<double> c(s[0].theta.size(), 0.0);
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    for (std::size_t p = 0; p < c.size(); ++p) c[p] += s[i].theta[p];
  }
  for (double& v : c) v /= static_cast<double>(s.size() - 1);
  return c;
}

// Whether the simplex (sorted, best first) has collapsed in loss and in position.
bool converged(const std::vector<Vertex>& s) {
  const double f0 = s.front().loss;
  if (!(std::fabs(s.back().loss - f0) <= kLossTol * std::max(std::fabs(f0), 1e-300))) return false;
  for (const Vertex& v : s) {
    for (std::size_t p = 0; p < v.theta.size(); ++p) {
      if (std::fabs(v.theta[p] - s[0].theta[p]) > kThetaTol) return false;
    }
  }
  return true;
}

// Every vertex but the best moved halfway towards it.
void shrink(const Problem& problem, std::vector<Vertex>& s, std::size_t& evals) {
  for (std::size_t i = 1; i < s.size(); ++i) {
    for (std::size_t p = 0; p < s[i].theta.size(); ++p) {
      s[i].theta[p] = s[0].theta[p] + kShrink * (s[i].theta[p] - s[0].theta[p]);
    }
    s[i].loss = loss_of_theta(problem, s[i].theta);
    ++evals;
  }
}

// One Nelder-Mead step on the sorted simplex: the worst vertex replaced by a better point on
// the line through it and the others' centroid, or the simplex shrunk towards its best.
void nelder_mead_step(const Problem& problem, std::vector<Vertex>& s, std::size_t& evals) {
  Vertex& worst = s.back();
  const std::vector<double> c = centroid_of_best(s);
  Vertex r{along(c, worst.theta, kReflect), 0.0};
  r.loss = loss_of_theta(problem, r.theta);
  ++evals;
  if (r.loss < s.front().loss) {
    Vertex e{along(c, worst.theta, kExpand), 0.0};
    e.loss = loss_of_theta(problem, e.theta);
    ++evals;
    worst = e.loss < r.loss ? std::move(e) : std::move(r);
    return;
  }
  if (r.loss < s[s.size() - 2].loss) {
    worst = std::move(r);
    return;
  }
  const bool outside = r.loss < worst.loss;
  Vertex k{along(c, worst.theta, outside ? kContract : -kContract), 0.0};
  k.loss = loss_of_theta(problem, k.theta);
  ++evals;
  if (k.loss < (outside ? r.loss : worst.loss)) {
    worst = std::move(k);
    return;
  }
  shrink(problem, s, evals);
}

void sort_simplex(std::vector<Vertex>& s) {
  std::stable_sort(s.begin(), s.end(), [](const Vertex& a, const Vertex& b) { return a.loss < b.loss; });
}

// One Nelder-Mead search from `start` until the simplex collapses or the budget is spent.
Vertex nelder_mead(const Problem& problem, std::span<const double> start, std::size_t budget) {
  std::vector<Vertex> s = first_simplex(problem, start);
  std::size_t evals = s.size();
  sort_simplex(s);
  while (evals < budget && !converged(s)) {
    runtime::interruption_point();
    nelder_mead_step(problem, s, evals);
    sort_simplex(s);
  }
  return s.front();
}

// Nelder-Mead from `start`, restarted from its best vertex while that improves the loss.
Vertex search_from(const Problem& problem, std::span<const double> start) {
  const std::size_t budget = kEvalsPerPredictor * start.size();
  Vertex best = nelder_mead(problem, start, budget);
  for (int r = 0; r < kMaxRestarts; ++r) {
    const std::vector<double> v = importances_of(best.theta);
    if (v.empty()) break;
    Vertex next = nelder_mead(problem, v, budget);
    const bool better = next.loss < best.loss;
    if (next.loss <= best.loss) best = std::move(next);
    if (!better) break;
  }
  return best;
}

// Importance vectors spread over the simplex, deterministically: point i has coordinates
// -log(u) normalised, u the fractional parts of i times irrational steps (an additive
// recurrence, evenly spread in the unit cube; exponential spacings map it onto the simplex).
std::vector<std::vector<double>> scan_points(std::size_t k, std::size_t count) {
  std::vector<double> step(k);
  for (std::size_t p = 0; p < k; ++p) step[p] = std::fmod(std::sqrt(2.0 + 3.0 * static_cast<double>(p)), 1.0);
  std::vector<std::vector<double>> out;
  for (std::size_t i = 1; i <= count; ++i) {
    std::vector<double> v(k);
    for (std::size_t p = 0; p < k; ++p) {
      const double u = std::fmod(static_cast<double>(i) * step[p], 1.0);
      v[p] = -std::log(std::max(u, 1e-12));
    }
    out.push_back(importances_of(v));
  }
  return out;
}

// The kScanStarts scan points of smallest outcome loss, best first.
std::vector<std::vector<double>> best_scan_points(const Problem& problem) {
  const std::size_t k = problem.x1.size();
  std::vector<std::pair<double, std::vector<double>>> scored;
  for (std::vector<double>& v : scan_points(k, kScanPerPredictor * k)) {
    if (v.empty()) continue;
    runtime::interruption_point();
    const double f = outcome_loss(problem, inner_weights(problem, v));
    scored.emplace_back(f, std::move(v));
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::vector<double>> out;
  for (std::size_t i = 0; i < std::min(kScanStarts, scored.size()); ++i) out.push_back(std::move(scored[i].second));
  return out;
}

// The regression-based importances: the loss-period outcomes of the treated average and the
// donors regressed on an intercept and the standardised predictors, V_p the sum over periods
// of predictor p's squared coefficient. Empty where the regression is not determined.
std::vector<double> regression_importances(const Problem& problem) {
  const std::size_t k = problem.x1.size(), n = problem.x0.cols() + 1;
  if (n <= k + 1) return {};
  Mat design(n, k + 1);
  for (std::size_t i = 0; i < n; ++i) design(i, 0) = 1.0;
  for (std::size_t p = 0; p < k; ++p) {
    design(0, p + 1) = problem.x1[p];
    for (std::size_t j = 0; j + 1 < n; ++j) design(j + 1, p + 1) = problem.x0(p, j);
  }
  std::vector<double> v(k, 0.0), z(n);
  for (std::size_t l = 0; l < problem.z1.size(); ++l) {
    z[0] = problem.z1[l];
    for (std::size_t j = 0; j + 1 < n; ++j) z[j + 1] = problem.z0(l, j);
    const auto beta = linalg::ols(design, z);
    if (!beta) return {};
    for (std::size_t p = 0; p < k; ++p) v[p] += (*beta)[p + 1] * (*beta)[p + 1];
  }
  return importances_of(v);
}

// The inner problem under importances v: A = diag(sqrt(v)) X0 and a1 = diag(sqrt(v)) x1, and
// the quadratic 1/2 w'Gw - b'w with G = A'A, b = A'a1 whose simplex minimiser W*(v) is.
struct Weighted {
  Mat a;
  std::vector<double> a1;
  Mat g;
  std::vector<double> b;
};

Weighted weighted(const Problem& problem, std::span<const double> v) {
  const std::size_t k = problem.x1.size();
  Weighted q{problem.x0, std::vector<double>(k), Mat(), std::vector<double>(problem.x0.cols())};
  for (std::size_t p = 0; p < k; ++p) {
    const double s = std::sqrt(v[p]);
    q.a1[p] = s * problem.x1[p];
    for (std::size_t j = 0; j < q.a.cols(); ++j) q.a(p, j) *= s;
  }
  q.g = linalg::syrk_ata(q.a);
  linalg::gemv_t(q.a, q.a1, q.b, 1.0, 0.0);
  return q;
}

// The simplex minimiser of 1/2 w'Gw - b'w: the exact active set, Frank-Wolfe where that meets a
// singular step.
std::vector<double> simplex_minimiser(const Mat& g, std::span<const double> b) {
  if (auto w = linalg::solve_simplex_active_set(g, b)) return std::move(*w);
  return linalg::solve_bounded(g, b, kInnerMaxIter, 0.0, 0.0, 1.0, kInnerTol).weights;
}

// Whether A w reproduces a1 to rounding (the treated predictors lie in the donors' hull).
bool exact_match(const Mat& a, std::span<const double> a1, std::span<const double> w) {
  const std::vector<double> r = residual(a1, a, w);
  double rr = 0.0, aa = 0.0;
  for (std::size_t p = 0; p < r.size(); ++p) rr += r[p] * r[p], aa += a1[p] * a1[p];
  return rr <= kExactFit * aa;
}

// G += d Z0'Z0/L and b += d Z0'z1/L with d = kTieBreak relative to the two largest diagonals.
void add_tie_break(const Problem& problem, Mat& g, std::vector<double>& b) {
  double g_max = 0.0, z_max = 0.0;
  for (std::size_t j = 0; j < g.cols(); ++j) g_max = std::max(g_max, g(j, j)), z_max = std::max(z_max, problem.zz(j, j));
  if (!(z_max > 0.0) || !(g_max > 0.0)) return;
  const double d = kTieBreak * g_max / z_max;
  for (std::size_t j = 0; j < g.cols(); ++j) {
    for (std::size_t i = 0; i < g.rows(); ++i) g(i, j) += d * problem.zz(i, j);
    b[j] += d * problem.zy[j];
  }
}

// Equal importances, then the regression-based ones when the regression gives them.
std::vector<std::vector<double>> plain_starts(const Problem& problem) {
  const std::size_t k = problem.x1.size();
  std::vector<std::vector<double>> starts{std::vector<double>(k, 1.0 / static_cast<double>(k))};
  std::vector<double> reg = regression_importances(problem);
  if (!reg.empty()) starts.push_back(std::move(reg));
  return starts;
}

// Whether the treated predictors lie in the donors' hull (an exact match under equal
// importances). Every V without zeros then has the same exact matches, so the outer loss is
// flat inside the simplex of importances (up to the tie-break's own scale) and only V with
// zeros can do better.
bool inside_hull(const Problem& problem) {
  const std::size_t k = problem.x1.size();
  const Weighted q = weighted(problem, std::vector<double>(k, 1.0 / static_cast<double>(k)));
  return exact_match(q.a, q.a1, simplex_minimiser(q.g, q.b));
}

// The fit record of weights w at t0 and the loss over the problem's loss periods.
PredictorFit assemble_fit(const Panel& panel, std::size_t t0, const Problem& problem,
                          std::vector<double> w, std::vector<double> v) {
  ScInputs in = prepare(panel, t0, "no donor (never-treated) units");
  PredictorFit out;
  out.loss = outcome_loss(problem, w);
  out.v = std::move(v);
  std::vector<double> resid = residual(in.y_pre, in.x0, w);
  std::vector<double> counterfactual = linalg::matvec(in.x1, w);
  out.fit = assemble(in.y_post, std::move(counterfactual), std::move(resid), std::move(w), std::move(in.donor_ids));
  return out;
}

PredictorFit fit_unscaled(const Panel& panel, std::size_t t0, const PredictorOptions& options) {
  const Problem problem = problem_at(panel, t0, options);
  if (options.v.empty()) {
    NestedSolution s = solve_nested(problem);
    return assemble_fit(panel, t0, problem, std::move(s.weights), std::move(s.v));
  }
  std::vector<double> v = importances_of(options.v);
  if (v.size() != problem.x1.size()) invariant_failure("importances must be non-negative, not all zero, one per predictor");
  std::vector<double> w = inner_weights(problem, v);
  return assemble_fit(panel, t0, problem, std::move(w), std::move(v));
}

}  // namespace

Problem problem_at(const Panel& panel, std::size_t t0, const PredictorOptions& options) {
  if (!panel.covariates() || panel.covariates()->cols() == 0) invariant_failure("the predictor fit needs at least one predictor");
  if (t0 == 0 || t0 > panel.n_periods()) invariant_failure("treatment time " + std::to_string(t0) + " leaves no pre-period");
  const std::vector<std::size_t> treated = panel.treated_units(), donors = panel.never_treated_units();
  if (treated.empty()) invariant_failure("no treated units");
  if (donors.empty()) invariant_failure("no donor (never-treated) units");
  Mat cols = predictor_columns(*panel.covariates(), treated, donors);
  standardise_rows(cols);
  Problem pr;
  const std::size_t k = cols.rows(), n_donors = donors.size();
  pr.x1.resize(k);
  pr.x0 = Mat(k, n_donors);
  for (std::size_t p = 0; p < k; ++p) {
    pr.x1[p] = cols(p, 0);
    for (std::size_t j = 0; j < n_donors; ++j) pr.x0(p, j) = cols(p, j + 1);
  }
  const std::vector<std::size_t> periods = loss_periods_at(options, t0);
  const std::vector<double> ybar = panel.unit_mean(treated);
  pr.z0 = Mat(periods.size(), n_donors);
  pr.z1.resize(periods.size());
  for (std::size_t l = 0; l < periods.size(); ++l) {
    pr.z1[l] = ybar[periods[l]];
    for (std::size_t j = 0; j < n_donors; ++j) pr.z0(l, j) = panel.y()(donors[j], periods[l]);
  }
  const double per_period = 1.0 / static_cast<double>(periods.size());
  pr.zz = linalg::syrk_ata(pr.z0);
  for (double& x : pr.zz.data()) x *= per_period;
  pr.zy.assign(n_donors, 0.0);
  linalg::gemv_t(pr.z0, pr.z1, pr.zy, per_period, 0.0);
  return pr;
}

std::vector<double> inner_weights(const Problem& problem, std::span<const double> v) {
  Weighted q = weighted(problem, v);
  std::vector<double> w = simplex_minimiser(q.g, q.b);
  if (!exact_match(q.a, q.a1, w)) return w;
  add_tie_break(problem, q.g, q.b);
  return simplex_minimiser(q.g, q.b);
}

double outcome_loss(const Problem& problem, std::span<const double> w) {
  const std::vector<double> r = residual(problem.z1, problem.z0, w);
  if (r.empty()) return 0.0;
  double s = 0.0;
  for (double e : r) s += e * e;
  return s / static_cast<double>(r.size());
}

std::vector<std::vector<double>> starting_importances(const Problem& problem) {
  const std::size_t k = problem.x1.size();
  std::vector<std::vector<double>> starts = plain_starts(problem);
  if (k > 1) {
    for (std::vector<double>& v : best_scan_points(problem)) starts.push_back(std::move(v));
  }
  return starts;
}

NestedSolution solve_nested(const Problem& problem) {
  NestedSolution best;
  best.loss = kInf;
  const bool flat = inside_hull(problem);
  for (const std::vector<double>& start : flat ? plain_starts(problem) : starting_importances(problem)) {
    Vertex found = flat ? Vertex{start, outcome_loss(problem, inner_weights(problem, start))} : search_from(problem, start);
    best.start_losses.push_back(found.loss);
    if (found.loss < best.loss) {
      best.loss = found.loss;
      best.v = importances_of(found.theta);
    }
  }
  // V with a single predictor: a corner the searches only approach, where the weights may
  // jump (the other predictors no longer constrain them).
  for (std::size_t p = 0; p < problem.x1.size() && problem.x1.size() > 1; ++p) {
    std::vector<double> corner(problem.x1.size(), 0.0);
    corner[p] = 1.0;
    const double f = outcome_loss(problem, inner_weights(problem, corner));
    if (f < best.loss) best.loss = f, best.v = std::move(corner);
  }
  if (best.v.empty()) best.v = plain_starts(problem).front();
  best.weights = inner_weights(problem, best.v);
  best.loss = outcome_loss(problem, best.weights);
  return best;
}

PredictorFit fit_nested(const Panel& panel, std::size_t t0, const PredictorOptions& options) {
  const int e = rescale_exponent(panel.y());
  if (e == 0) return fit_unscaled(panel, t0, options);
  PredictorFit out = fit_unscaled(rescaled(panel, e), t0, options);
  out.fit = unscaled(std::move(out.fit), e);
  out.loss = std::ldexp(out.loss, -2 * e);
  return out;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const PredictorOptions& options) {
  return fit_nested(panel, t0, options).fit;
}

}  // namespace tessarix::sc::predictors
