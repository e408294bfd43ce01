#include "estimators/did/callaway.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "estimators/did/callaway_propensity.hpp"
#include "estimators/scale.hpp"
#include "linalg/factor/cholesky.hpp"
#include "linalg/lanes.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/solve/lstsq.hpp"

namespace tessarix::did::callaway {
namespace {

// Ridge on the controls' covariate second-moment matrix before it is inverted for the
// estimation-effect correction: keeps the factorisation defined for collinear covariates.
constexpr double kMomentRidge = 1e-12;

// Cells of one cohort that share their controls (the never-treated) and need no regression
// are computed side by side, this many at most: their sums then advance in lock-step, unit by
// unit, so that independent additions overlap instead of each waiting on the one before.
// Eight accumulators of each kind still fit in registers.
constexpr std::size_t kCellLanes = 8;

// f.template operator()<m>() for a lane count m in 1 .. Lanes: lock-step kernels are compiled
// for each count, so that their accumulators live in registers.
template <std::size_t Lanes, class F>
void with_lanes(std::size_t m, F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (void)((m == I + 1 ? (f.template operator()<I + 1>(), true) : false) || ...);
  }(std::make_index_sequence<Lanes>());
}

// Who is who: each unit's cohort, the cohort sizes, the never-treated units.
struct Design {
  std::size_t n = 0;
  std::size_t periods = 0;
  std::size_t delta = 0;                 // anticipation
  std::vector<std::size_t> cohorts;      // every distinct treatment start, ascending
  std::vector<double> size;              // units per cohort
  std::vector<std::size_t> class_of;     // cohort index per unit; cohorts.size() = never treated
  std::vector<std::vector<std::size_t>> members;
  std::vector<std::size_t> never;
  // Each unit's place when the units are listed class by class (the cohorts in order, then
  // the never-treated; unit order within a class), and where each class starts there.
  std::vector<std::size_t> position;
  std::vector<std::size_t> class_start;
  const Mat* covariates = nullptr;       // N x K, or none

  std::size_t index_of(std::size_t g) const {
    return static_cast<std::size_t>(std::lower_bound(cohorts.begin(), cohorts.end(), g) - cohorts.begin());
  }
};

Design describe(const Panel& panel, std::size_t delta) {
  Design d;
  d.n = panel.n_units();
  d.periods = panel.n_periods();
  d.delta = delta;
  d.cohorts = panel.cohorts();
  const std::size_t never = d.cohorts.size();
  // Each unit's class through a table over the periods (a start at or beyond T, which the
  // entry points never produce, by binary search), then the classes filled at their sizes.
  std::vector<std::size_t> class_of_start(d.periods, never);
  for (std::size_t c = 0; c < never; ++c) {
    if (d.cohorts[c] < d.periods) class_of_start[d.cohorts[c]] = c;
  }
  d.class_of.resize(d.n);
  std::vector<std::size_t> count(never + 1, 0);
  for (std::size_t u = 0; u < d.n; ++u) {
    const auto& s = panel.treat_start()[u];
    const std::size_t c = !s ? never : *s < d.periods ? class_of_start[*s] : d.index_of(*s);
    d.class_of[u] = c;
    ++count[c];
  }
  d.class_start.assign(1, 0);
  for (std::size_t c = 0; c <= never; ++c) d.class_start.push_back(d.class_start.back() + count[c]);
  d.size.resize(never);
  d.members.resize(never);
  for (std::size_t c = 0; c < never; ++c) {
    d.size[c] = static_cast<double>(count[c]);
    d.members[c].reserve(count[c]);
  }
  d.never.reserve(count[never]);
  d.position.resize(d.n);
  for (std::size_t u = 0; u < d.n; ++u) {
    const std::size_t c = d.class_of[u];
    std::vector<std::size_t>& list = c == never ? d.never : d.members[c];
    d.position[u] = d.class_start[c] + list.size();
    list.push_back(u);
  }
  if (panel.covariates()) d.covariates = &*panel.covariates();
  return d;
}

// Not-yet-treated controls of cell (g, t) with base period b, in unit order: the never-treated
// and every unit of another cohort s that neither adopted nor started anticipating by
// max(t, b), that is max(t, b) < s - delta.
void not_yet_controls(const Design& d, std::size_t g, std::size_t t, std::size_t b,
                      std::vector<std::size_t>& out) {
  out.clear();
  const std::size_t last = std::max(t, b);
  for (std::size_t u = 0; u < d.n; ++u) {
    const std::size_t c = d.class_of[u];
    if (c == d.cohorts.size()) {
      out.push_back(u);
      continue;
    }
    const std::size_t s = d.cohorts[c];
    const std::size_t start = s > d.delta ? s - d.delta : 0;
    if (s != g && last < start) out.push_back(u);
  }
}

// Rows (1, x_u1, ..., x_uK) of the listed units.
Mat covariate_design(const Mat& x, std::span<const std::size_t> units) {
  Mat design(units.size(), x.cols() + 1);
  for (std::size_t i = 0; i < units.size(); ++i) design(i, 0) = 1.0;
  for (std::size_t k = 0; k < x.cols(); ++k) {
    const std::span<double> col = design.col(k + 1);
    for (std::size_t i = 0; i < units.size(); ++i) col[i] = x(units[i], k);
  }
  return design;
}

// x_u' beta with x_u = (1, covariates of u).
double fitted(const Mat& x, std::size_t u, std::span<const double> beta) {
  double s = beta[0];
  for (std::size_t k = 0; k < x.cols(); ++k) s += x(u, k) * beta[k + 1];
  return s;
}

// The outcome regression of one cell: OLS of the controls' outcome changes on (1, covariates),
// and the controls' design it was fitted on.
struct Regression {
  std::vector<double> beta;
  Mat design;
};

// None when there are too few controls to identify the regression or the least squares fails.
std::optional<Regression> outcome_regression(const Design& d, std::span<const std::size_t> ctrl,
                                             std::span<const double> ctrl_dy) {
  if (d.covariates == nullptr || ctrl.size() <= d.covariates->cols() + 1) return std::nullopt;
  Regression reg{{}, covariate_design(*d.covariates, ctrl)};
  auto beta = linalg::ols(reg.design, ctrl_dy);
  if (!beta) return std::nullopt;
  reg.beta = std::move(*beta);
  return reg;
}

// The estimation effect of the outcome regression on the controls' influence values, entry i
// for control i: -(x_c' v) r_c / (n_C / N), with M v = (0, xbar_T - xbar_C) and M the controls'
// mean of x x'. Empty if M cannot be factored.
std::vector<double> regression_effect(const Design& d, const Regression& reg,
                                      std::span<const std::size_t> treated,
                                      std::span<const double> ctrl_r) {
  const Mat& x = *d.covariates;
  const double n_c = static_cast<double>(reg.design.rows());
  Mat m = linalg::syrk_ata(reg.design);
  for (double& v : m.data()) v /= n_c;
  std::vector<double> h(x.cols() + 1, 0.0);
  for (std::size_t k = 0; k < x.cols(); ++k) {
    double st = 0.0;
    for (std::size_t u : treated) st += x(u, k);
    double sc = 0.0;
    for (double v : reg.design.col(k + 1)) sc += v;
    h[k + 1] = st / static_cast<double>(treated.size()) - sc / n_c;
  }
  auto chol = linalg::Cholesky::make_ridge(std::move(m), kMomentRidge);
  if (!chol) return {};
  const std::vector<double> v = chol->solve_vec(h);
  const double share = n_c / static_cast<double>(d.n);
  std::vector<double> out(ctrl_r.size());
  std::vector<double> row(v.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::size_t k = 0; k < row.size(); ++k) row[k] = reg.design(i, k);
    out[i] = -(linalg::dot(row, v) * ctrl_r[i] / share);
  }
  return out;
}

// Outcome changes y(u, t) - y(u, b) of the listed units, minus the regression's fitted change
// when there is one, into `r`.
void residuals(const Panel& panel, const Design& d, std::span<const std::size_t> units,
               std::size_t t, std::size_t b, const Regression* reg, InfluenceValues& r) {
  const std::span<const double> now = panel.y().col(t);
  const std::span<const double> base = panel.y().col(b);
  r.resize(units.size());  // buffers are reused, so this rarely fills anything
  for (std::size_t i = 0; i < units.size(); ++i) r[i] = now[units[i]] - base[units[i]];
  if (reg != nullptr) {
    for (std::size_t i = 0; i < units.size(); ++i) r[i] -= fitted(*d.covariates, units[i], reg->beta);
  }
}

double sum(std::span<const double> x) {
  double s = 0.0;
  for (double v : x) s += v;
  return s;
}

// A cell to compute: cohort (by index), period, base period.
struct CellPlan {
  std::size_t cohort_index = 0;
  std::size_t period = 0;
  std::size_t base = 0;
  std::int64_t event_time = 0;
};

// Whether cell (g, t) with base b has a control: with not-yet-treated controls, a never-treated
// unit or a cohort other than g that starts (anticipation included) after max(t, b).
bool has_controls(const Design& d, ControlGroup control, std::size_t g, std::size_t t,
                  std::size_t b) {
  if (!d.never.empty()) return true;
  if (control == ControlGroup::NeverTreated) return false;
  const std::size_t last = std::max(t, b);
  for (std::size_t c = 0; c < d.cohorts.size(); ++c) {
    const std::size_t s = d.cohorts[c];
    if (s != g && last < (s > d.delta ? s - d.delta : 0)) return true;
  }
  return false;
}

// Every cell with a control, by cohort (kept: g > anticipation), then period (all but the
// universal base period b = g - 1 - anticipation).
std::vector<CellPlan> plan_cells(const Design& d, ControlGroup control) {
  std::vector<CellPlan> plan;
  for (std::size_t c = 0; c < d.cohorts.size(); ++c) {
    const std::size_t g = d.cohorts[c];
    if (g <= d.delta) continue;
    const std::size_t b = g - 1 - d.delta;
    for (std::size_t t = 0; t < d.periods; ++t) {
      if (t == b || !has_controls(d, control, g, t, b)) continue;
      plan.push_back({c, t, b, static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g)});
    }
  }
  return plan;
}

// ATT(g, t) by outcome regression, the difference of mean (adjusted) outcome changes since
// the base period, and its influence function: (r_i - rbar_T) / (n_T / N) on treated unit i,
// -(r_c - rbar_C) / (n_C / N) on control c (plus the regression's estimation effect). The SE
// sums the squared values over the treated units, then over the controls.
CellFit regression_cell(const Panel& panel, const Design& d, ControlGroup control,
                        const CellPlan& cell) {
  CellFit out;
  const std::vector<std::size_t>& treated = d.members[cell.cohort_index];
  const bool not_yet = control == ControlGroup::NotYetTreated;
  if (not_yet) not_yet_controls(d, d.cohorts[cell.cohort_index], cell.period, cell.base, out.controls);
  const std::vector<std::size_t>& ctrl = not_yet ? out.controls : d.never;
  // The residuals are computed into the influence vectors and turned into influence values
  // in place.
  InfluenceValues& psi_c = out.control_influence;
  residuals(panel, d, ctrl, cell.period, cell.base, nullptr, psi_c);
  const std::optional<Regression> reg = outcome_regression(d, ctrl, psi_c);
  const Regression* fit = reg ? &*reg : nullptr;
  if (fit != nullptr) residuals(panel, d, ctrl, cell.period, cell.base, fit, psi_c);
  InfluenceValues& psi_t = out.treated_influence;
  residuals(panel, d, treated, cell.period, cell.base, fit, psi_t);

  const double n = static_cast<double>(d.n);
  const double n_t = static_cast<double>(treated.size());
  const double n_c = static_cast<double>(ctrl.size());
  const double mean_t = sum(psi_t) / n_t;
  const double mean_c = sum(psi_c) / n_c;
  const std::vector<double> effect =
      fit != nullptr ? regression_effect(d, *fit, treated, psi_c) : std::vector<double>();

  // Deviations are divided by the group's share n_g / N as a product with N / n_g.
  const double scale_t = n / n_t;
  const double scale_c = n / n_c;
  for (double& v : psi_t) v = (v - mean_t) * scale_t;
  for (double& v : psi_c) v = -(v - mean_c) * scale_c;
  for (std::size_t k = 0; k < effect.size(); ++k) psi_c[k] += effect[k];
  double sq = 0.0;
  for (double v : psi_t) sq += v * v;
  for (double v : psi_c) sq += v * v;

  const std::size_t g = d.cohorts[cell.cohort_index];
  out.summary = {g, cell.period, cell.event_time, mean_t - mean_c, std::sqrt(sq / (n * n))};
  return out;
}

// Cells of one cohort that share their controls, by a propensity-score method (doubly robust
// or inverse-probability weighted), which fits the propensity score once for them all.
void propensity_batch(const Panel& panel, const Design& d, const CsOptions& options,
                      std::span<const CellPlan> cells, std::span<CellFit> out) {
  const std::vector<std::size_t>& treated = d.members[cells[0].cohort_index];
  const std::size_t g = d.cohorts[cells[0].cohort_index];
  const bool not_yet = options.control == ControlGroup::NotYetTreated;
  std::vector<std::size_t> not_yet_ctrl;
  if (not_yet) not_yet_controls(d, g, cells[0].period, cells[0].base, not_yet_ctrl);
  const std::vector<std::size_t>& ctrl = not_yet ? not_yet_ctrl : d.never;
  std::vector<CellPeriods> periods;
  for (const CellPlan& c : cells) periods.push_back({c.period, c.base});
  propensity_cells(panel.y(), d.covariates, treated, ctrl, periods, options.est_method, d.n, out);
  for (std::size_t k = 0; k < cells.size(); ++k) {
    out[k].summary.cohort = g;
    out[k].summary.period = cells[k].period;
    out[k].summary.event_time = cells[k].event_time;
    if (not_yet) out[k].controls = ctrl;
  }
}

// Outcome changes y(u, t_k) - y(u, b) of the listed units for M periods t_k side by side, into
// psi[k], and their sums. Each sum adds its terms in unit order, so it equals the sum of one
// period computed alone.
template <std::size_t M>
std::array<double, M> lockstep_changes(const Mat& y, std::span<const std::size_t> units,
                                       std::span<const CellPlan> cells, std::array<double*, M> psi) {
  const double* base = y.col(cells[0].base).data();
  std::array<const double*, M> now;
  for (std::size_t k = 0; k < M; ++k) now[k] = y.col(cells[k].period).data();
  std::array<double, M> sums{};
  for (std::size_t i = 0; i < units.size(); ++i) {
    const double b = base[units[i]];
    for (std::size_t k = 0; k < M; ++k) {
      const double r = now[k][units[i]] - b;
      psi[k][i] = r;
      sums[k] += r;
    }
  }
  return sums;
}

// Influence values are formed a run of this many units at a time, cell by cell (a loop over
// contiguous values, which vectorises), and then squared and summed across the
// cells side by side while the run is still in the first-level cache.
constexpr std::size_t kInfluenceRun = 256;

// psi[k][i] <- (psi[k][i] - mean[k]) * scale (N over the group's size), negated for
// controls, for M cells; the squares are added to sq[k] in unit order.
template <std::size_t M>
void lockstep_influence(std::size_t count, std::array<double*, M> psi,
                        const std::array<double, M>& mean, double scale, bool control,
                        std::array<double, M>& sq) {
  for (std::size_t i0 = 0; i0 < count; i0 += kInfluenceRun) {
    const std::size_t len = std::min(kInfluenceRun, count - i0);
    for (std::size_t k = 0; k < M; ++k) {
      double* p = psi[k] + i0;
      if (control) {
        for (std::size_t i = 0; i < len; ++i) p[i] = -(p[i] - mean[k]) * scale;
      } else {
        for (std::size_t i = 0; i < len; ++i) p[i] = (p[i] - mean[k]) * scale;
      }
    }
    for (std::size_t i = i0; i < i0 + len; ++i) {
      for (std::size_t k = 0; k < M; ++k) sq[k] += psi[k][i] * psi[k][i];
    }
  }
}

// M consecutive cells of one cohort against the never-treated, without covariates, computed
// side by side: exactly what regression_cell gives for each of them.
template <std::size_t M>
void never_treated_cells(const Panel& panel, const Design& d, std::span<const CellPlan> cells,
                         std::span<CellFit> out) {
  const std::vector<std::size_t>& treated = d.members[cells[0].cohort_index];
  std::array<double*, M> psi_t, psi_c;
  for (std::size_t k = 0; k < M; ++k) {
    out[k].treated_influence.resize(treated.size());
    out[k].control_influence.resize(d.never.size());
    psi_t[k] = out[k].treated_influence.data();
    psi_c[k] = out[k].control_influence.data();
  }
  const std::array<double, M> sum_c = lockstep_changes<M>(panel.y(), d.never, cells, psi_c);
  const std::array<double, M> sum_t = lockstep_changes<M>(panel.y(), treated, cells, psi_t);
  const double n = static_cast<double>(d.n);
  const double n_t = static_cast<double>(treated.size());
  const double n_c = static_cast<double>(d.never.size());
  std::array<double, M> mean_t, mean_c, sq{};
  for (std::size_t k = 0; k < M; ++k) {
    mean_t[k] = sum_t[k] / n_t;
    mean_c[k] = sum_c[k] / n_c;
  }
  lockstep_influence<M>(treated.size(), psi_t, mean_t, n / n_t, false, sq);
  lockstep_influence<M>(d.never.size(), psi_c, mean_c, n / n_c, true, sq);
  const std::size_t g = d.cohorts[cells[0].cohort_index];
  for (std::size_t k = 0; k < M; ++k) {
    out[k].summary = {g, cells[k].period, cells[k].event_time, mean_t[k] - mean_c[k],
                      std::sqrt(sq[k] / (n * n))};
  }
}

// Whether the cells of one cohort are computed side by side: they share the never-treated
// controls and each is a plain difference of mean changes, with no regression to fit.
bool side_by_side(const Design& d, const CsOptions& options) {
  return options.control == ControlGroup::NeverTreated && d.covariates == nullptr &&
         options.est_method == EstMethod::OutcomeRegression;
}

// Whether the cells are estimated through a propensity score.
bool propensity_method(const CsOptions& options) {
  return options.est_method == EstMethod::DoublyRobust ||
         options.est_method == EstMethod::InverseProbability;
}

// How many cohorts start (anticipation included) after max(t, b): with not-yet-treated
// controls, two cells of one cohort have the same controls exactly when these counts agree.
std::size_t later_cohorts(const Design& d, const CellPlan& cell) {
  const std::size_t last = std::max(cell.period, cell.base);
  std::size_t count = 0;
  for (std::size_t s : d.cohorts) count += last < (s > d.delta ? s - d.delta : 0) ? 1 : 0;
  return count;
}

// Whether cells a and b (of one cohort) compare it with the same controls.
bool same_controls(const Design& d, ControlGroup control, const CellPlan& a, const CellPlan& b) {
  return control == ControlGroup::NeverTreated || later_cohorts(d, a) == later_cohorts(d, b);
}

// Batches of consecutive cells computed together, as the index of each batch's first cell
// followed by the number of cells: up to kCellLanes cells of one cohort side by side when they
// may be, all cells of one cohort with the same controls for the propensity-score methods
// (which share one propensity fit), otherwise one by one.
std::vector<std::size_t> batch_cells(const Design& d, const CsOptions& options,
                                     std::span<const CellPlan> plan) {
  const bool shared = side_by_side(d, options);
  const bool propensity = propensity_method(options);
  std::vector<std::size_t> first;
  for (std::size_t j = 0; j < plan.size(); ++j) {
    const bool same_cohort = !first.empty() && plan[first.back()].cohort_index == plan[j].cohort_index;
    const bool extend =
        same_cohort && ((shared && j - first.back() < kCellLanes) ||
                        (propensity && same_controls(d, options.control, plan[first.back()], plan[j])));
    if (!extend) first.push_back(j);
  }
  first.push_back(plan.size());
  return first;
}

// One aggregate under construction: the weighted average over its parts (weights p_j / l,
// p_j = n_{g_j} / N) and its influence function
//   psi_u = sum_j (p_j / l) psi_ju + sum_j att_j [(D_uj - p_j) / l - S_u p_j / l^2],
// with D_uj = 1 when u belongs to cohort g_j and S_u = sum_j (D_uj - p_j). The first sum is
// accumulated part by part, in the class-by-class listing of the units so that a part's
// cohort and the never-treated are contiguous runs; the second, the estimation effect of the
// weights, depends on u only through its class and is added by `finish_aggregates`.
class Aggregate {
public:
  Aggregate(const Design& d, std::vector<std::size_t> part_cohorts)
      : d_(&d), cohorts_(std::move(part_cohorts)), p_(cohorts_.size()) {
    const double n = static_cast<double>(d.n);
    for (std::size_t j = 0; j < cohorts_.size(); ++j) {
      p_[j] = d.size[cohorts_[j]] / n;
      l_ += p_[j];
    }
    if (!absent()) {
      acc_.resize(d.n);
      cleared_.assign(d.cohorts.size() + 1, 0);
    }
  }

  // Nothing to aggregate: no part, or weights that sum to nothing.
  bool absent() const { return cohorts_.empty() || !(l_ > 0.0); }

  // The weight of part j.
  double weight(std::size_t j) const { return p_[j] / l_; }

  // Adds part j's weighted influence values on every unit of class c, in unit order. The
  // first part to reach a class writes 0 + w psi without reading the (unset) sums.
  void add_class(std::size_t j, std::size_t c, std::span<const double> psi) {
    double* acc = acc_.data() + d_->class_start[c];
    const double w = weight(j);
    if (cleared_[c] == 0) {
      for (std::size_t k = 0; k < psi.size(); ++k) acc[k] = 0.0 + w * psi[k];
      cleared_[c] = 1;
      return;
    }
    for (std::size_t k = 0; k < psi.size(); ++k) acc[k] += w * psi[k];
  }
  // Adds part j's weighted influence values on the listed units.
  void add(std::size_t j, std::span<const std::size_t> units, std::span<const double> psi) {
    for (std::size_t u : units) clear(d_->class_of[u]);
    const double w = weight(j);
    for (std::size_t k = 0; k < units.size(); ++k) acc_[d_->position[units[k]]] += w * psi[k];
  }
  // Adds part j's weighted influence values on every unit, given in unit order.
  void add_dense(std::size_t j, std::span<const double> psi) {
    clear_all();
    const double w = weight(j);
    for (std::size_t u = 0; u < d_->n; ++u) acc_[d_->position[u]] += w * psi[u];
  }
  // Zero sums on the classes no part has reached.
  void clear_all() {
    for (std::size_t c = 0; c < cleared_.size(); ++c) clear(c);
  }

  // The aggregate of the parts' effects `att` (in part order).
  double att(std::span<const double> att) const {
    double out = 0.0;
    for (std::size_t j = 0; j < att.size(); ++j) out += weight(j) * att[j];
    return out;
  }

  // sum_j att_j [(D_cj - p_j) / l - S_c p_j / l^2] for each cohort c (and the never-treated).
  std::vector<double> weight_effect(std::span<const double> att) const {
    std::vector<double> out(d_->cohorts.size() + 1);
    for (std::size_t c = 0; c < out.size(); ++c) {
      double s = 0.0;
      for (std::size_t j = 0; j < p_.size(); ++j) s += (cohorts_[j] == c ? 1.0 : 0.0) - p_[j];
      double e = 0.0;
      for (std::size_t j = 0; j < p_.size(); ++j) {
        e += att[j] * (((cohorts_[j] == c ? 1.0 : 0.0) - p_[j]) / l_ - s * p_[j] / (l_ * l_));
      }
      out[c] = e;
    }
    return out;
  }

  // The accumulated first sum, class by class (once clear_all has run).
  const InfluenceValues& accumulated() const { return acc_; }

private:
  void clear(std::size_t c) {
    if (cleared_[c] != 0) return;
    std::fill(acc_.begin() + static_cast<std::ptrdiff_t>(d_->class_start[c]),
              acc_.begin() + static_cast<std::ptrdiff_t>(d_->class_start[c + 1]), 0.0);
    cleared_[c] = 1;
  }

  const Design* d_;
  std::vector<std::size_t> cohorts_;  // cohort index of each part
  std::vector<double> p_;
  double l_ = 0.0;
  InfluenceValues acc_;                // sums of the weighted parts, class by class
  std::vector<unsigned char> cleared_;  // per class: its sums hold values (else unset)
};

// Aggregates of a batch are finished side by side, eight at a time in two four-lane vectors:
// lane k holds aggregate k's influence value of the current unit and the running sum of
// squares, so the eight sums advance together, each still adding its terms in unit order.
constexpr std::size_t kAggregateLanes = 8;
using linalg::V4;

// The influence values psi_u of eight aggregates, unit by unit in unit order: the sums of
// their weighted parts (acc[k], listed class by class) plus the estimation effect of the
// weights for the unit's class (effect[c * 8 + k]). Each value goes to influence[k][u] when
// that is not null; sq[k] receives the sum of squares.
__attribute__((target_clones("avx2", "default"))) void finish_lanes(
    const Design& d, const double* const* acc, const double* effect,
    double* const* influence, double* sq) {
  V4 s0 = {0.0, 0.0, 0.0, 0.0}, s1 = s0;
  bool keep = false;
  for (std::size_t k = 0; k < kAggregateLanes; ++k) keep = keep || influence[k] != nullptr;
  for (std::size_t u = 0; u < d.n; ++u) {
    const std::size_t at = d.position[u];
    const V4 a0 = {acc[0][at], acc[1][at], acc[2][at], acc[3][at]};
    const V4 a1 = {acc[4][at], acc[5][at], acc[6][at], acc[7][at]};
    V4 e0, e1;
    std::memcpy(&e0, effect + d.class_of[u] * kAggregateLanes, sizeof e0);
    std::memcpy(&e1, effect + d.class_of[u] * kAggregateLanes + 4, sizeof e1);
    const V4 v0 = a0 + e0;
    const V4 v1 = a1 + e1;
    s0 += v0 * v0;
    s1 += v1 * v1;
    if (!keep) continue;
    for (std::size_t k = 0; k < 4; ++k) {
      if (influence[k] != nullptr) influence[k][u] = v0[k];
      if (influence[k + 4] != nullptr) influence[k + 4][u] = v1[k];
    }
  }
  for (std::size_t k = 0; k < 4; ++k) {
    sq[k] = s0[k];
    sq[k + 4] = s1[k];
  }
}

// Finishes the aggregates (keys, effects of their parts in part order, whether to keep the
// influence values), at most kAggregateLanes of them.
std::vector<AggEffect> finish_aggregates(const Design& d, std::span<const Aggregate* const> aggs,
                                         std::span<const std::int64_t> keys,
                                         std::span<const std::vector<double>> atts,
                                         const std::vector<bool>& keep) {
  const std::size_t m = aggs.size();
  if (m == 0) return {};
  std::vector<AggEffect> out(m);
  std::vector<std::vector<double>> effects(m);
  std::vector<double*> influence(m, nullptr);
  for (std::size_t k = 0; k < m; ++k) {
    out[k].key = keys[k];
    out[k].att = aggs[k]->att(atts[k]);
    effects[k] = aggs[k]->weight_effect(atts[k]);
    if (keep[k]) {
      out[k].influence.resize(d.n);
      influence[k] = out[k].influence.data();
    }
  }
  // Lanes beyond the batch repeat its first aggregate and are ignored.
  std::array<const double*, kAggregateLanes> acc;
  std::array<double*, kAggregateLanes> keep_at{};
  const std::size_t classes = d.cohorts.size() + 1;
  std::vector<double> effect(classes * kAggregateLanes);
  for (std::size_t k = 0; k < kAggregateLanes; ++k) {
    const std::size_t from = k < m ? k : 0;
    acc[k] = aggs[from]->accumulated().data();
    if (k < m) keep_at[k] = influence[k];
    for (std::size_t c = 0; c < classes; ++c) effect[c * kAggregateLanes + k] = effects[from][c];
  }
  std::array<double, kAggregateLanes> sq{};
  finish_lanes(d, acc.data(), effect.data(), keep_at.data(), sq.data());
  const double n = static_cast<double>(d.n);
  for (std::size_t k = 0; k < m; ++k) out[k].se = std::sqrt(sq[k] / (n * n));
  return out;
}

void scale_influence(std::vector<double>& psi, int e) {
  for (double& v : psi) v = std::ldexp(v, e);
}

// Every effect, standard error and influence value of the result times 2^e.
void scale_result(CsResult& out, int e) {
  for (GroupTimeAtt& c : out.group_time) {
    c.att = std::ldexp(c.att, e);
    c.se = std::ldexp(c.se, e);
  }
  for (auto* list : {&out.event, &out.group}) {
    for (AggEffect& a : *list) {
      a.att = std::ldexp(a.att, e);
      a.se = std::ldexp(a.se, e);
      scale_influence(a.influence, e);
    }
  }
  scale_influence(out.overall_influence, e);
  out.att = std::ldexp(out.att, e);
  out.se = std::ldexp(out.se, e);
  out.overall_group_att = std::ldexp(out.overall_group_att, e);
  out.overall_group_se = std::ldexp(out.overall_group_se, e);
}

}  // namespace

// The planned cells and, for each aggregate, its key and its cells in cell order: aggregates
// 0 .. E-1 are the event times (ascending), E the overall post-treatment effect, E + 1 + c the
// post-treatment effect of cohort c.
struct Estimation::State {
  // Every effect, standard error and influence value is linear in the outcomes; the squared
  // influence values overflow or vanish outside the ordinary range of magnitudes, where the
  // fit runs on an exact power-of-two rescaling.
  int exponent = 0;
  std::optional<Panel> rescaled_panel;
  const Panel* panel = nullptr;
  CsOptions options;
  bool event_influence = false;
  Design design;
  std::vector<CellPlan> plan;
  std::vector<std::size_t> batch_first;  // first cell of each batch, then the number of cells
  std::vector<std::int64_t> keys;
  std::vector<std::vector<std::size_t>> parts;
};

Estimation::Estimation(const Panel& panel, const CsOptions& options, bool event_influence)
    : s_(std::make_unique<State>()) {
  if (!has_control_units(panel, options)) {
    invariant_failure("Callaway\u2013Sant'Anna (never-treated variant) needs never-treated units");
  }
  State& s = *s_;
  s.exponent = rescale_exponent(panel.y());
  if (s.exponent != 0) s.rescaled_panel = rescaled(panel, s.exponent);
  s.panel = s.rescaled_panel ? &*s.rescaled_panel : &panel;
  s.options = options;
  s.event_influence = event_influence;
  s.design = describe(*s.panel, options.anticipation);
  s.plan = plan_cells(s.design, options.control);
  s.batch_first = batch_cells(s.design, options, s.plan);

  for (const CellPlan& c : s.plan) s.keys.push_back(c.event_time);
  std::sort(s.keys.begin(), s.keys.end());
  s.keys.erase(std::unique(s.keys.begin(), s.keys.end()), s.keys.end());
  const std::size_t n_events = s.keys.size();
  s.parts.resize(n_events + 1 + s.design.cohorts.size());
  s.keys.push_back(0);
  for (std::size_t g : s.design.cohorts) s.keys.push_back(static_cast<std::int64_t>(g));
  for (std::size_t j = 0; j < s.plan.size(); ++j) {
    const CellPlan& c = s.plan[j];
    const auto e = std::lower_bound(s.keys.begin(), s.keys.begin() + static_cast<std::ptrdiff_t>(n_events), c.event_time);
    s.parts[static_cast<std::size_t>(e - s.keys.begin())].push_back(j);
    if (c.event_time >= 0) {
      s.parts[n_events].push_back(j);
      s.parts[n_events + 1 + c.cohort_index].push_back(j);
    }
  }
}

Estimation::~Estimation() = default;

std::size_t Estimation::n_cells() const { return s_->plan.size(); }

std::size_t Estimation::n_cell_batches() const { return s_->batch_first.size() - 1; }

std::vector<CellFit> Estimation::cell_batch(std::size_t i) const {
  const State& s = *s_;
  const std::size_t first = s.batch_first.at(i);
  const std::size_t count = s.batch_first.at(i + 1) - first;
  std::vector<CellFit> out(count);
  const std::span<const CellPlan> cells(s.plan.data() + first, count);
  if (propensity_method(s.options)) {
    propensity_batch(*s.panel, s.design, s.options, cells, out);
  } else if (side_by_side(s.design, s.options)) {
    with_lanes<kCellLanes>(count, [&]<std::size_t M>() {
      never_treated_cells<M>(*s.panel, s.design, cells, out);
    });
  } else {
    out[0] = regression_cell(*s.panel, s.design, s.options.control, s.plan[first]);
  }
  return out;
}

std::size_t Estimation::n_aggregate_batches() const {
  return (s_->parts.size() + kAggregateLanes - 1) / kAggregateLanes;
}

std::vector<std::optional<AggEffect>> Estimation::aggregate_batch(
    std::size_t i, std::span<const CellFit> cells) const {
  const State& s = *s_;
  const std::size_t first = i * kAggregateLanes;
  const std::size_t last = std::min(first + kAggregateLanes, s.parts.size());
  std::vector<Aggregate> aggs;
  std::vector<std::size_t> present;
  std::vector<std::vector<double>> atts;
  for (std::size_t k = first; k < last; ++k) {
    const std::vector<std::size_t>& parts = s.parts[k];
    std::vector<std::size_t> cohorts;
    for (std::size_t j : parts) cohorts.push_back(s.plan[j].cohort_index);
    Aggregate agg(s.design, std::move(cohorts));
    if (agg.absent()) continue;
    std::vector<double> att;
    for (std::size_t j = 0; j < parts.size(); ++j) {
      const CellFit& c = cells[parts[j]];
      agg.add_class(j, s.plan[parts[j]].cohort_index, c.treated_influence);
      if (s.options.control == ControlGroup::NotYetTreated) {
        agg.add(j, c.controls, c.control_influence);
      } else {
        agg.add_class(j, s.design.cohorts.size(), c.control_influence);
      }
      att.push_back(c.summary.att);
    }
    agg.clear_all();
    aggs.push_back(std::move(agg));
    present.push_back(k);
    atts.push_back(std::move(att));
  }
  std::vector<const Aggregate*> ptrs;
  std::vector<std::int64_t> keys;
  std::vector<bool> keep(present.size());
  for (std::size_t j = 0; j < present.size(); ++j) {
    const std::size_t k = present[j];
    const bool is_event = k + 1 + s.design.cohorts.size() < s.parts.size();
    ptrs.push_back(&aggs[j]);
    keys.push_back(s.keys[k]);
    keep[j] = !is_event || s.event_influence;
  }
  std::vector<AggEffect> done =
      finish_aggregates(s.design, ptrs, keys, atts, keep);
  std::vector<std::optional<AggEffect>> out(last - first);
  for (std::size_t j = 0; j < present.size(); ++j) out[present[j] - first] = std::move(done[j]);
  return out;
}

CsResult Estimation::assemble(std::vector<CellFit> cells,
                              std::vector<std::optional<AggEffect>> aggregates) const {
  const State& s = *s_;
  CsResult out;
  for (const CellFit& c : cells) {
    out.group_time.push_back(c.summary);
    for (std::size_t k : c.dropped) out.dropped.push_back({c.summary.cohort, c.summary.period, k});
  }
  cells.clear();
  const std::size_t n_events = s.parts.size() - 1 - s.design.cohorts.size();
  for (std::size_t k = 0; k < n_events; ++k) {
    if (aggregates[k]) out.event.push_back(std::move(*aggregates[k]));
  }
  if (aggregates[n_events]) {
    out.att = aggregates[n_events]->att;
    out.se = aggregates[n_events]->se;
    out.overall_influence = std::move(aggregates[n_events]->influence);
  }
  std::vector<std::size_t> group_cohorts;
  for (std::size_t c = 0; c < s.design.cohorts.size(); ++c) {
    if (!aggregates[n_events + 1 + c]) continue;
    out.group.push_back(std::move(*aggregates[n_events + 1 + c]));
    group_cohorts.push_back(c);
  }
  // The cohort-size-weighted average of the cohort effects, from their influence functions.
  Aggregate of_groups(s.design, group_cohorts);
  if (!of_groups.absent()) {
    std::vector<double> att;
    for (std::size_t i = 0; i < out.group.size(); ++i) {
      of_groups.add_dense(i, out.group[i].influence);
      att.push_back(out.group[i].att);
    }
    of_groups.clear_all();
    const Aggregate* agg = &of_groups;
    const std::int64_t key = 0;
    const AggEffect a = finish_aggregates(s.design, {&agg, 1}, {&key, 1}, {&att, 1}, {false})[0];
    out.overall_group_att = a.att;
    out.overall_group_se = a.se;
  }
  if (s.exponent != 0) scale_result(out, -s.exponent);
  return out;
}

std::optional<CellFailure> first_failure(std::span<const CellFit> cells) {
  for (const CellFit& c : cells) {
    if (c.fault != CellFault::None) return CellFailure{c.summary.cohort, c.summary.period, c.fault};
  }
  return std::nullopt;
}

bool has_post_treatment_cell(const CsResult& fit) {
  return std::any_of(fit.group_time.begin(), fit.group_time.end(),
                     [](const GroupTimeAtt& c) { return c.event_time >= 0; });
}

CsResult fit_with_anticipation(const Panel& panel, const CsOptions& options, bool event_influence) {
  return Estimation(panel, options, event_influence).run(in_order);
}

}  // namespace tessarix::did::callaway
