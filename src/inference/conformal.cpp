#include "inference/conformal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "linalg/error.hpp"
#include "linalg/rng.hpp"
#include "runtime/interrupt.hpp"
#include "runtime/parallel.hpp"

namespace tessarix::inference {

namespace {

// Random permutations one pool item draws: enough work per item to outweigh the scheduling,
// few enough that a thousand draws still spread over the workers.
constexpr std::size_t kDrawsPerItem = 128;

// Grid points per search of an interval, odd so that the accepted centre is one of them.
constexpr std::size_t kGridPoints = 41;
// The first grid's half-width, in units of the fit's residual scale: the set of accepted
// values is about twice the largest residual wide, so most searches bracket it at once.
constexpr double kInitialHalfWidth = 4.0;
// Factor by which a grid that does not bracket the accepted set is widened, and how often at
// most: 4^20 residual scales (about 1e12) out, an end still accepted is reported as infinite.
constexpr double kWidening = 4.0;
constexpr int kMaxWidenings = 20;
// Secant steps at most in search of an accepted centre for the grid.
constexpr int kCentreSteps = 50;
// Bisection stops when the last rejected and the first accepted value are this close, in units
// of the residual scale.
constexpr double kRelativeTolerance = 1e-6;
// Slack of the comparison p <= alpha: alpha = 1 - level carries rounding (1 - 0.9 is below
// 0.1), which must not turn a p-value of exactly alpha into an acceptance. Far below the
// smallest step of a p-value, one over the number of permutations.
constexpr double kAlphaSlack = 1e-12;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// --- the p-value -----------------------------------------------------------------------------

// S of the residuals at `positions`, summed in ascending time order (the positions are sorted
// in place), so that a permutation that maps the tested periods onto themselves in another
// order reproduces the observed statistic to the bit and counts as reaching it.
double statistic_at(std::span<const double> u, std::span<std::size_t> positions, double q) {
  std::sort(positions.begin(), positions.end());
  double sum = 0.0;
  for (std::size_t t : positions) sum += std::pow(std::fabs(u[t]), q);
  return std::pow(sum / std::sqrt(static_cast<double>(positions.size())), 1.0 / q);
}

// S of the last n_tested residuals.
double observed_statistic(std::span<const double> u, std::size_t n_tested, double q) {
  std::vector<std::size_t> positions(n_tested);
  std::iota(positions.begin(), positions.end(), u.size() - n_tested);
  return statistic_at(u, positions, q);
}

// Moving blocks: shift j sends tested position t to t + j (mod T); the identity is shift 0.
double moving_block_p_value(std::span<const double> u, std::size_t n_tested, double q) {
  const std::size_t t_count = u.size();
  const std::size_t first = t_count - n_tested;
  const double observed = observed_statistic(u, n_tested, q);
  std::vector<std::size_t> positions(n_tested);
  std::size_t at_least = 0;
  for (std::size_t j = 0; j < t_count; ++j) {
    for (std::size_t m = 0; m < n_tested; ++m) positions[m] = (first + m + j) % t_count;
    if (statistic_at(u, positions, q) >= observed) ++at_least;
  }
  return static_cast<double>(at_least) / static_cast<double>(t_count);
}

// How many of draws [begin, end) reach `observed`. Draw b shuffles the last n_tested positions
// of the identity by Fisher-Yates from the top, with substream b of the seed: the tested block
// becomes a uniformly random selection of n_tested periods.
std::size_t iid_exceedances(std::span<const double> u, std::size_t n_tested, const ConformalOptions& options,
                            double observed, std::size_t begin, std::size_t end) {
  const std::size_t t_count = u.size();
  const std::size_t first = t_count - n_tested;
  std::vector<std::size_t> index(t_count);
  std::vector<std::size_t> positions(n_tested);
  std::size_t at_least = 0;
  for (std::size_t b = begin; b < end; ++b) {
    std::iota(index.begin(), index.end(), std::size_t{0});
    linalg::Xoshiro256pp rng = linalg::Xoshiro256pp::substream(options.seed, b);
    for (std::size_t i = t_count; i-- > first;) {
      std::swap(index[i], index[static_cast<std::size_t>(rng.gen_range(i + 1))]);
    }
    std::copy(index.begin() + static_cast<std::ptrdiff_t>(first), index.end(), positions.begin());
    if (statistic_at(u, positions, options.q) >= observed) ++at_least;
  }
  return at_least;
}

// Random permutations: the identity and options.permutations draws, in items of kDrawsPerItem.
double iid_p_value(std::span<const double> u, std::size_t n_tested, const ConformalOptions& options) {
  const double observed = observed_statistic(u, n_tested, options.q);
  const std::size_t draws = options.permutations;
  const std::size_t items = (draws + kDrawsPerItem - 1) / kDrawsPerItem;
  const std::vector<std::size_t> counts = runtime::par_map_indexed(items, [&](std::size_t i) {
    const std::size_t begin = i * kDrawsPerItem;
    return iid_exceedances(u, n_tested, options, observed, begin, std::min(draws, begin + kDrawsPerItem));
  });
  const std::size_t at_least = std::accumulate(counts.begin(), counts.end(), std::size_t{1});
  return static_cast<double>(at_least) / static_cast<double>(draws + 1);
}

// --- the panels under the null ----------------------------------------------------------------

// The panel's outcomes with the treated units' values at columns `columns` (in that order),
// each reduced by theta[k] from column `from` on, as a block panel treated from `from`, with
// the panel's covariates.
Panel panel_under_null(const Panel& panel, std::span<const std::size_t> columns, std::size_t from,
                       std::span<const double> theta) {
  const std::vector<std::size_t> treated = panel.treated_units();
  const std::size_t n = panel.y().rows();
  Mat y(n, columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    std::copy_n(panel.y().col(columns[c]).data(), n, y.col(c).data());
    if (c < from) continue;
    for (std::size_t u : treated) y(u, c) -= theta[c - from];
  }
  Panel out = Panel::block(std::move(y), treated, from);
  // The units' covariate rows (a predictor fit's predictors) do not depend on the periods.
  if (!panel.covariates()) return out;
  return std::move(out).with_covariates(Mat(*panel.covariates()));
}

// The columns of the pre-periods followed by post-period k.
std::vector<std::size_t> period_columns(std::size_t t0, std::size_t k) {
  std::vector<std::size_t> columns(t0 + 1);
  std::iota(columns.begin(), columns.begin() + static_cast<std::ptrdiff_t>(t0), std::size_t{0});
  columns[t0] = t0 + k;
  return columns;
}

std::size_t single_cohort(const Panel& panel) {
  const std::vector<std::size_t>& cohorts = panel.cohorts();
  if (cohorts.size() != 1 || cohorts[0] == 0 || cohorts[0] >= panel.n_periods()) {
    invariant_failure("conformal inference needs one treatment time with pre- and post-periods");
  }
  return cohorts[0];
}

bool rejects(double p, double alpha) { return p <= alpha + kAlphaSlack; }

// The residuals over the pre-periods and post-period k of the refit under theta_k.
std::vector<double> period_residuals(const Panel& panel, const sc::Method& method, std::size_t k, double theta_k) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> columns = period_columns(t0, k);
  const double theta[1] = {theta_k};
  return method.fit_all(panel_under_null(panel, columns, t0, theta), 1).pre_gap;
}

// --- the intervals ----------------------------------------------------------------------------

// One post-period's test as a function of the null value, with what its search needs.
struct PeriodSearch {
  const Panel& panel;
  const sc::Method& method;
  const ConformalOptions& options;
  std::size_t k;
  double centre;  // an accepted null value (the point estimate when none was found)
  double scale;   // the fit's residual scale
  double alpha;
  double smallest_p;  // one over the number of permutations: no p-value is below it

  bool accepts(double offset) const {
    return accepts_residuals(period_residuals(panel, method, k, centre + offset));
  }

  bool accepts_residuals(std::span<const double> u) const {
    return !rejects(permutation_p_value(u, 1, options), alpha);
  }
};

// A null value the period's test accepts, from the point estimate: the refit's residual in the
// tested period falls as the null value rises, and where it vanishes every residual is at
// least as large, so p = 1 there. Secant steps toward that root, the first with slope -1 (the
// residual of a fit that ignored the period), stop at the first accepted value; the point
// estimate when none is accepted within kCentreSteps. The accepted set need not contain the
// point estimate: it comes from the fit on the pre-periods alone, the test from the refit.
double accepted_centre(const PeriodSearch& s, double estimate) {
  double theta = estimate;
  double previous_theta = 0.0, previous_r = 0.0;
  for (int step = 0; step <= kCentreSteps; ++step) {
    runtime::interruption_point();
    const std::vector<double> u = period_residuals(s.panel, s.method, s.k, theta);
    if (s.accepts_residuals(u)) return theta;
    const double r = u.back();
    double slope = step == 0 ? -1.0 : (r - previous_r) / (theta - previous_theta);
    if (!(slope < 0.0) || !std::isfinite(slope)) slope = -1.0;
    previous_theta = theta;
    previous_r = r;
    theta -= r / slope;
    if (!std::isfinite(theta)) break;
  }
  return estimate;
}

// The acceptance of each of kGridPoints offsets evenly spaced over [-half_width, half_width],
// on the pool.
std::vector<char> grid_acceptance(const PeriodSearch& s, double half_width) {
  const double step = 2.0 * half_width / static_cast<double>(kGridPoints - 1);
  return runtime::par_map_indexed(kGridPoints, [&](std::size_t i) -> char {
    return s.accepts(-half_width + step * static_cast<double>(i)) ? 1 : 0;
  });
}

// Bisects between a rejected and an accepted offset until they are within the tolerance;
// the accepted end.
double bisect_edge(const PeriodSearch& s, double rejected, double accepted) {
  const double tolerance = kRelativeTolerance * s.scale;
  while (std::fabs(accepted - rejected) > tolerance) {
    runtime::interruption_point();
    const double mid = 0.5 * (rejected + accepted);
    if (mid == rejected || mid == accepted) break;
    (s.accepts(mid) ? accepted : rejected) = mid;
  }
  return accepted;
}

// The interval of one period: a grid around an accepted centre, widened until both of its ends
// reject (or the widening cap is reached: that end is infinite), then each edge refined by
// bisection between the outermost accepted grid point and its rejected neighbour. Accepted
// values separated by rejected ones fall inside one interval, the hull of the accepted set on
// the grid.
EffectInterval period_interval(PeriodSearch s) {
  if (!rejects(s.smallest_p, s.alpha)) return {-kInf, kInf};  // too few permutations to reject
  s.centre = accepted_centre(s, s.centre);
  double half_width = kInitialHalfWidth * s.scale;
  std::vector<char> accepted;
  for (int widening = 0;; ++widening) {
    accepted = grid_acceptance(s, half_width);
    if (!(accepted.front() || accepted.back()) || widening == kMaxWidenings) break;
    half_width *= kWidening;
  }
  const auto first = std::find(accepted.begin(), accepted.end(), 1);
  if (first == accepted.end()) return {kNaN, kNaN};
  const std::size_t lo = static_cast<std::size_t>(first - accepted.begin());
  const auto last = std::find(accepted.rbegin(), accepted.rend(), 1);
  const std::size_t hi = kGridPoints - 1 - static_cast<std::size_t>(last - accepted.rbegin());
  const double step = 2.0 * half_width / static_cast<double>(kGridPoints - 1);
  const auto at = [&](std::size_t i) { return -half_width + step * static_cast<double>(i); };
  EffectInterval out;
  out.lower = lo == 0 ? -kInf : s.centre + bisect_edge(s, at(lo - 1), at(lo));
  out.upper = hi == kGridPoints - 1 ? kInf : s.centre + bisect_edge(s, at(hi + 1), at(hi));
  return out;
}

// The fit's residual scale: the root mean square of its pre-period gap; where the fit is
// perfect, that of the treated post-period path; 1 where both vanish.
double residual_scale(const ScFit& fit) {
  for (const std::vector<double>* path : {&fit.pre_gap, &fit.treated_post}) {
    const double s = rms(*path);
    if (s > 0.0 && std::isfinite(s)) return s;
  }
  return 1.0;
}

}  // namespace

double conformal_statistic(std::span<const double> tested, double q) {
  return observed_statistic(tested, tested.size(), q);
}

double permutation_p_value(std::span<const double> residuals, std::size_t n_tested,
                           const ConformalOptions& options) {
  if (n_tested == 0 || n_tested > residuals.size()) invariant_failure("permutation p-value: 1 <= n_tested <= T");
  if (options.scheme == PermutationScheme::MovingBlock) {
    return moving_block_p_value(residuals, n_tested, options.q);
  }
  return iid_p_value(residuals, n_tested, options);
}

std::vector<double> null_residuals(const Panel& panel, std::size_t t0, const sc::Method& method,
                                   std::span<const double> theta) {
  const std::size_t t_count = panel.n_periods();
  if (theta.size() != t_count - t0) invariant_failure("conformal null: one value per post-period");
  std::vector<std::size_t> columns(t_count);
  std::iota(columns.begin(), columns.end(), std::size_t{0});
  return method.fit_all(panel_under_null(panel, columns, t0, theta), t_count - t0).pre_gap;
}

double period_p_value(const Panel& panel, const sc::Method& method, std::size_t k, double theta_k,
                      const ConformalOptions& options) {
  return permutation_p_value(period_residuals(panel, method, k, theta_k), 1, options);
}

ConformalTest conformal_test(const Panel& panel, const sc::Method& method, std::span<const double> theta,
                             const ConformalOptions& options, bool intervals, double level) {
  const std::size_t t0 = single_cohort(panel);
  const std::size_t n_post = panel.n_periods() - t0;
  ConformalTest out;
  out.fit = method.fit_at(panel, t0);
  const double scale = residual_scale(out.fit);
  const double alpha = 1.0 - level;
  // A period's test permutes the pre-periods and that period.
  const double smallest_p = 1.0 / static_cast<double>(options.scheme == PermutationScheme::MovingBlock
                                                          ? t0 + 1
                                                          : options.permutations + 1);
  // Item 0 tests the null path; item 1 + k searches period k's interval.
  const std::size_t n_items = 1 + (intervals ? n_post : 0);
  std::vector<EffectInterval> found = runtime::par_map_indexed(n_items, [&](std::size_t i) -> EffectInterval {
    if (i == 0) {
      out.residuals = null_residuals(panel, t0, method, theta);
      out.statistic = conformal_statistic(std::span<const double>(out.residuals).subspan(t0), options.q);
      out.p_value = permutation_p_value(out.residuals, n_post, options);
      return {};
    }
    const std::size_t k = i - 1;
    return period_interval({panel, method, options, k, out.fit.att_path[k], scale, alpha, smallest_p});
  });
  out.intervals.assign(found.begin() + 1, found.end());
  return out;
}

}  // namespace tessarix::inference
