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

// A computed cell: its effect and its influence values on the treated units (in the cohort's
// order) and on the controls (in `ctrl` order). The buffers are reused from cell to cell.
struct CellWork {
  std::vector<std::size_t> ctrl;
  std::vector<double> treated_r;
  std::vector<double> ctrl_r;
  std::vector<double> treated_psi;
  std::vector<double> ctrl_psi;
  double att = 0.0;
  double se = 0.0;
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
// (n_C / N) on control c (plus the regression's estimation effect).
void compute_cell(const Panel& panel, const Design& d, bool not_yet, const CellPlan& cell,
                  CellWork& w) {
  const std::vector<std::size_t>& treated = d.members[cell.cohort_index];
  if (not_yet) not_yet_controls(d, d.cohorts[cell.cohort_index], cell.period, cell.base, w.ctrl);
  const std::vector<std::size_t>& ctrl = not_yet ? w.ctrl : d.never;
  residuals(panel, d, ctrl, cell.period, cell.base, nullptr, w.ctrl_r);
  const std::optional<Regression> reg = outcome_regression(d, ctrl, w.ctrl_r);
  const Regression* fit = reg ? &*reg : nullptr;
  if (fit != nullptr) residuals(panel, d, ctrl, cell.period, cell.base, fit, w.ctrl_r);
  residuals(panel, d, treated, cell.period, cell.base, fit, w.treated_r);

  const double n = static_cast<double>(d.n);
  const double n_t = static_cast<double>(treated.size());
  const double n_c = static_cast<double>(ctrl.size());
  const double mean_t = sum(w.treated_r) / n_t;
  const double mean_c = sum(w.ctrl_r) / n_c;
  w.att = mean_t - mean_c;

  const double share_t = n_t / n;
  const double share_c = n_c / n;
  w.treated_psi.resize(treated.size());
  for (std::size_t i = 0; i < treated.size(); ++i) w.treated_psi[i] = (w.treated_r[i] - mean_t) / share_t;
  w.ctrl_psi.resize(ctrl.size());
  for (std::size_t k = 0; k < ctrl.size(); ++k) w.ctrl_psi[k] = -(w.ctrl_r[k] - mean_c) / share_c;
  if (fit != nullptr) {
    const std::vector<double> effect = regression_effect(d, *fit, treated, w.ctrl_r);
    for (std::size_t k = 0; k < effect.size(); ++k) w.ctrl_psi[k] += effect[k];
  }
  // The squares are summed over the treated units, then over the controls.
  double sq = 0.0;
  for (double v : w.treated_psi) sq += v * v;
  for (double v : w.ctrl_psi) sq += v * v;
  w.se = std::sqrt(sq / (n * n));
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

CsResult fit_in_range(const Panel& panel, bool not_yet, std::size_t anticipation,
                      bool event_influence) {
  const Design d = describe(panel, anticipation);
  if (!not_yet && d.never.empty()) {
    invariant_failure("Callaway\u2013Sant'Anna (never-treated variant) needs never-treated units");
  }
  const std::vector<CellPlan> plan = plan_cells(d, not_yet);

  // The aggregates and each one's parts, in cell order.
  std::vector<std::int64_t> times;
  for (const CellPlan& c : plan) times.push_back(c.event_time);
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  std::vector<std::vector<std::size_t>> event_cells(times.size());
  std::vector<std::size_t> post_cells;
  std::vector<std::vector<std::size_t>> group_cells(d.cohorts.size());
  for (std::size_t j = 0; j < plan.size(); ++j) {
    const auto slot = std::lower_bound(times.begin(), times.end(), plan[j].event_time) - times.begin();
    event_cells[static_cast<std::size_t>(slot)].push_back(j);
    if (plan[j].event_time >= 0) {
      post_cells.push_back(j);
      group_cells[plan[j].cohort_index].push_back(j);
    }
  }
  const auto cohorts_of = [&](const std::vector<std::size_t>& cells) {
    std::vector<std::size_t> out;
    for (std::size_t j : cells) out.push_back(plan[j].cohort_index);
    return out;
  };
  const auto position = [](const std::vector<std::size_t>& cells, std::size_t j) {
    return static_cast<std::size_t>(std::lower_bound(cells.begin(), cells.end(), j) - cells.begin());
  };
  Aggregate overall(d, cohorts_of(post_cells));
  std::vector<Aggregate> groups;
  for (const auto& cells : group_cells) groups.emplace_back(d, cohorts_of(cells));

  // Event time by event time, each cell folded into its aggregates as soon as it is computed.
  CsResult out;
  out.group_time.resize(plan.size());
  CellWork w;
  for (std::size_t e = 0; e < times.size(); ++e) {
    Aggregate event(d, cohorts_of(event_cells[e]));
    for (std::size_t part = 0; part < event_cells[e].size(); ++part) {
      const std::size_t j = event_cells[e][part];
      const CellPlan& cell = plan[j];
      compute_cell(panel, d, not_yet, cell, w);
      out.group_time[j] = {d.cohorts[cell.cohort_index], cell.period, cell.event_time, w.att, w.se};
      const std::vector<std::size_t>& treated = d.members[cell.cohort_index];
      const std::vector<std::size_t>& ctrl = not_yet ? w.ctrl : d.never;
      const auto fold = [&](Aggregate& a, std::size_t at) {
        a.add(at, treated, w.treated_psi);
        a.add(at, ctrl, w.ctrl_psi);
      };
      fold(event, part);
      if (cell.event_time >= 0) {
        fold(overall, position(post_cells, j));
        fold(groups[cell.cohort_index], position(group_cells[cell.cohort_index], j));
      }
    }
    std::vector<double> att;
    for (std::size_t j : event_cells[e]) att.push_back(out.group_time[j].att);
    if (!event.absent()) out.event.push_back(event.finish(times[e], att, event_influence));
  }

  const auto atts_of = [&](const std::vector<std::size_t>& cells) {
    std::vector<double> att;
    for (std::size_t j : cells) att.push_back(out.group_time[j].att);
    return att;
  };
  if (!overall.absent()) {
    AggEffect a = overall.finish(0, atts_of(post_cells), true);
    out.att = a.att;
    out.se = a.se;
    out.overall_influence = std::move(a.influence);
  }
  std::vector<std::size_t> group_cohorts;
  for (std::size_t c = 0; c < d.cohorts.size(); ++c) {
    if (groups[c].absent()) continue;
    out.group.push_back(groups[c].finish(static_cast<std::int64_t>(d.cohorts[c]), atts_of(group_cells[c]), true));
    group_cohorts.push_back(c);
  }
  // The cohort-size-weighted average of the cohort effects, from their influence functions.
  Aggregate of_groups(d, group_cohorts);
  if (!of_groups.absent()) {
    std::vector<double> att;
    for (std::size_t k = 0; k < out.group.size(); ++k) {
      of_groups.add_dense(k, out.group[k].influence);
      att.push_back(out.group[k].att);
    }
    const AggEffect a = of_groups.finish(0, att, false);
    out.overall_group_att = a.att;
    out.overall_group_se = a.se;
  }
  return out;
}

void scale_influence(std::vector<double>& psi, int e) {
  for (double& v : psi) v = std::ldexp(v, e);
}

}  // namespace

CsResult fit_with_anticipation(const Panel& panel, bool not_yet, std::size_t anticipation,
                               bool event_influence) {
  // Every effect, standard error and influence value is linear in the outcomes; the squared
  // influence values overflow or vanish outside the ordinary range of magnitudes.
  const int e = rescale_exponent(panel.y());
  if (e == 0) return fit_in_range(panel, not_yet, anticipation, event_influence);
  CsResult out = fit_in_range(rescaled(panel, e), not_yet, anticipation, event_influence);
  for (GroupTimeAtt& c : out.group_time) {
    c.att = std::ldexp(c.att, -e);
    c.se = std::ldexp(c.se, -e);
  }
  for (auto* list : {&out.event, &out.group}) {
    for (AggEffect& a : *list) {
      a.att = std::ldexp(a.att, -e);
      a.se = std::ldexp(a.se, -e);
      scale_influence(a.influence, -e);
    }
  }
  scale_influence(out.overall_influence, -e);
  out.att = std::ldexp(out.att, -e);
  out.se = std::ldexp(out.se, -e);
  out.overall_group_att = std::ldexp(out.overall_group_att, -e);
  out.overall_group_se = std::ldexp(out.overall_group_se, -e);
  return out;
}

}  // namespace tessarix::did::callaway
