#include "estimators/did/callaway.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>

#include "estimators/scale.hpp"
#include "linalg/factor/cholesky.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/solve/lstsq.hpp"

namespace tessarix::did::callaway {
namespace {

// Ridge on the controls' covariate second-moment matrix before it is inverted for the
// estimation-effect correction: keeps the factorisation defined for collinear covariates.
constexpr double kMomentRidge = 1e-12;

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
  d.size.assign(d.cohorts.size(), 0.0);
  d.members.resize(d.cohorts.size());
  d.class_of.assign(d.n, d.cohorts.size());
  for (std::size_t u = 0; u < d.n; ++u) {
    const auto& s = panel.treat_start()[u];
    if (!s) {
      d.never.push_back(u);
      continue;
    }
    const std::size_t c = d.index_of(*s);
    d.class_of[u] = c;
    d.size[c] += 1.0;
    d.members[c].push_back(u);
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

double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
  return s;
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
    out[i] = -(dot(row, v) * ctrl_r[i] / share);
  }
  return out;
}

// Outcome changes y(u, t) - y(u, b) of the listed units, minus the regression's fitted change
// when there is one, into `r`.
void residuals(const Panel& panel, const Design& d, std::span<const std::size_t> units,
               std::size_t t, std::size_t b, const Regression* reg, std::vector<double>& r) {
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
bool has_controls(const Design& d, bool not_yet, std::size_t g, std::size_t t, std::size_t b) {
  if (!d.never.empty()) return true;
  if (!not_yet) return false;
  const std::size_t last = std::max(t, b);
  for (std::size_t c = 0; c < d.cohorts.size(); ++c) {
    const std::size_t s = d.cohorts[c];
    if (s != g && last < (s > d.delta ? s - d.delta : 0)) return true;
  }
  return false;
}

// Every cell with a control, by cohort (kept: g > anticipation), then period (all but the
// universal base period b = g - 1 - anticipation).
std::vector<CellPlan> plan_cells(const Design& d, bool not_yet) {
  std::vector<CellPlan> plan;
  for (std::size_t c = 0; c < d.cohorts.size(); ++c) {
    const std::size_t g = d.cohorts[c];
    if (g <= d.delta) continue;
    const std::size_t b = g - 1 - d.delta;
    for (std::size_t t = 0; t < d.periods; ++t) {
      if (t == b || !has_controls(d, not_yet, g, t, b)) continue;
      plan.push_back({c, t, b, static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g)});
    }
  }
  return plan;
}

// ATT(g, t) as the difference of mean (adjusted) outcome changes since the base period, and
// its influence function: (r_i - rbar_T) / (n_T / N) on treated unit i, -(r_c - rbar_C) /
// (n_C / N) on control c (plus the regression's estimation effect). The SE sums the squared
// values over the treated units, then over the controls.
CellFit compute_cell(const Panel& panel, const Design& d, bool not_yet, const CellPlan& cell) {
  CellFit out;
  const std::vector<std::size_t>& treated = d.members[cell.cohort_index];
  if (not_yet) not_yet_controls(d, d.cohorts[cell.cohort_index], cell.period, cell.base, out.controls);
  const std::vector<std::size_t>& ctrl = not_yet ? out.controls : d.never;
  // The residuals are computed into the influence vectors and turned into influence values
  // in place.
  std::vector<double>& psi_c = out.control_influence;
  residuals(panel, d, ctrl, cell.period, cell.base, nullptr, psi_c);
  const std::optional<Regression> reg = outcome_regression(d, ctrl, psi_c);
  const Regression* fit = reg ? &*reg : nullptr;
  if (fit != nullptr) residuals(panel, d, ctrl, cell.period, cell.base, fit, psi_c);
  std::vector<double>& psi_t = out.treated_influence;
  residuals(panel, d, treated, cell.period, cell.base, fit, psi_t);

  const double n = static_cast<double>(d.n);
  const double n_t = static_cast<double>(treated.size());
  const double n_c = static_cast<double>(ctrl.size());
  const double mean_t = sum(psi_t) / n_t;
  const double mean_c = sum(psi_c) / n_c;
  const std::vector<double> effect =
      fit != nullptr ? regression_effect(d, *fit, treated, psi_c) : std::vector<double>();

  const double share_t = n_t / n;
  const double share_c = n_c / n;
  for (double& v : psi_t) v = (v - mean_t) / share_t;
  for (double& v : psi_c) v = -(v - mean_c) / share_c;
  for (std::size_t k = 0; k < effect.size(); ++k) psi_c[k] += effect[k];
  double sq = 0.0;
  for (double v : psi_t) sq += v * v;
  for (double v : psi_c) sq += v * v;

  const std::size_t g = d.cohorts[cell.cohort_index];
  out.summary = {g, cell.period, cell.event_time, mean_t - mean_c, std::sqrt(sq / (n * n))};
  return out;
}

// One aggregate under construction: the weighted average over its parts (weights p_j / l,
// p_j = n_{g_j} / N) and its influence function
//   psi_u = sum_j (p_j / l) psi_ju + sum_j att_j [(D_uj - p_j) / l - S_u p_j / l^2],
// with D_uj = 1 when u belongs to cohort g_j and S_u = sum_j (D_uj - p_j). The first sum is
// accumulated part by part; the second, the estimation effect of the weights, depends on u
// only through its cohort and is added once all parts are in.
class Aggregate {
public:
  Aggregate(const Design& d, std::vector<std::size_t> part_cohorts)
      : d_(&d), cohorts_(std::move(part_cohorts)), p_(cohorts_.size()) {
    const double n = static_cast<double>(d.n);
    for (std::size_t j = 0; j < cohorts_.size(); ++j) {
      p_[j] = d.size[cohorts_[j]] / n;
      l_ += p_[j];
    }
  }

  // Nothing to aggregate: no part, or weights that sum to nothing.
  bool absent() const { return cohorts_.empty() || !(l_ > 0.0); }

  // The weight of part j.
  double weight(std::size_t j) const { return p_[j] / l_; }

  // Adds part j's weighted influence values on the listed units.
  void add(std::size_t j, std::span<const std::size_t> units, std::span<const double> psi) {
    if (acc_.empty()) acc_.assign(d_->n, 0.0);
    const double w = weight(j);
    for (std::size_t k = 0; k < units.size(); ++k) acc_[units[k]] += w * psi[k];
  }
  // Adds part j's weighted influence values on every unit.
  void add_dense(std::size_t j, std::span<const double> psi) {
    if (acc_.empty()) acc_.assign(d_->n, 0.0);
    const double w = weight(j);
    for (std::size_t u = 0; u < d_->n; ++u) acc_[u] += w * psi[u];
  }

  // The aggregate of the parts' effects `att` (in part order); its influence values are left
  // in `influence` when asked for.
  AggEffect finish(std::int64_t key, std::span<const double> att, bool keep_influence) {
    AggEffect out;
    out.key = key;
    for (std::size_t j = 0; j < att.size(); ++j) out.att += weight(j) * att[j];
    if (acc_.empty()) acc_.assign(d_->n, 0.0);
    const std::vector<double> effect = weight_effect(att);
    double sq = 0.0;
    for (std::size_t u = 0; u < d_->n; ++u) {
      acc_[u] += effect[d_->class_of[u]];
      sq += acc_[u] * acc_[u];
    }
    const double n = static_cast<double>(d_->n);
    out.se = std::sqrt(sq / (n * n));
    if (keep_influence) out.influence = std::move(acc_);
    acc_.clear();
    return out;
  }

private:
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

  const Design* d_;
  std::vector<std::size_t> cohorts_;  // cohort index of each part
  std::vector<double> p_;
  double l_ = 0.0;
  std::vector<double> acc_;
};

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
  bool not_yet = false;
  bool event_influence = false;
  Design design;
  std::vector<CellPlan> plan;
  std::vector<std::int64_t> keys;
  std::vector<std::vector<std::size_t>> parts;
};

Estimation::Estimation(const Panel& panel, bool not_yet, std::size_t anticipation,
                       bool event_influence)
    : s_(std::make_unique<State>()) {
  State& s = *s_;
  s.exponent = rescale_exponent(panel.y());
  if (s.exponent != 0) s.rescaled_panel = rescaled(panel, s.exponent);
  s.panel = s.rescaled_panel ? &*s.rescaled_panel : &panel;
  s.not_yet = not_yet;
  s.event_influence = event_influence;
  s.design = describe(*s.panel, anticipation);
  if (!not_yet && s.design.never.empty()) {
    invariant_failure("Callaway\u2013Sant'Anna (never-treated variant) needs never-treated units");
  }
  s.plan = plan_cells(s.design, not_yet);

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

CellFit Estimation::cell(std::size_t j) const {
  return compute_cell(*s_->panel, s_->design, s_->not_yet, s_->plan.at(j));
}

std::size_t Estimation::n_aggregates() const { return s_->parts.size(); }

std::optional<AggEffect> Estimation::aggregate(std::size_t k, std::span<const CellFit> cells) const {
  const State& s = *s_;
  const std::vector<std::size_t>& parts = s.parts.at(k);
  std::vector<std::size_t> cohorts;
  for (std::size_t j : parts) cohorts.push_back(s.plan[j].cohort_index);
  Aggregate agg(s.design, std::move(cohorts));
  if (agg.absent()) return std::nullopt;
  std::vector<double> att;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const CellFit& c = cells[parts[i]];
    agg.add(i, s.design.members[s.plan[parts[i]].cohort_index], c.treated_influence);
    agg.add(i, s.not_yet ? c.controls : s.design.never, c.control_influence);
    att.push_back(c.summary.att);
  }
  const bool is_event = k + 1 + s.design.cohorts.size() < s.parts.size();
  return agg.finish(s.keys[k], att, !is_event || s.event_influence);
}

CsResult Estimation::assemble(std::vector<CellFit> cells,
                              std::vector<std::optional<AggEffect>> aggregates) const {
  const State& s = *s_;
  CsResult out;
  for (const CellFit& c : cells) out.group_time.push_back(c.summary);
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
    const AggEffect a = of_groups.finish(0, att, false);
    out.overall_group_att = a.att;
    out.overall_group_se = a.se;
  }
  if (s.exponent != 0) scale_result(out, -s.exponent);
  return out;
}

CsResult fit_with_anticipation(const Panel& panel, bool not_yet, std::size_t anticipation,
                               bool event_influence) {
  const Estimation est(panel, not_yet, anticipation, event_influence);
  std::vector<CellFit> cells;
  for (std::size_t j = 0; j < est.n_cells(); ++j) cells.push_back(est.cell(j));
  std::vector<std::optional<AggEffect>> aggregates;
  for (std::size_t k = 0; k < est.n_aggregates(); ++k) aggregates.push_back(est.aggregate(k, cells));
  return est.assemble(std::move(cells), std::move(aggregates));
}

}  // namespace tessarix::did::callaway
