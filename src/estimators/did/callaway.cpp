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

// Controls of cell (g, t) with base period b, in unit order: the never-treated, and with
// not-yet-treated controls every unit of another cohort s that neither adopted nor started
// anticipating by max(t, b), that is max(t, b) < s - delta.
std::vector<std::size_t> controls(const Design& d, bool not_yet, std::size_t g, std::size_t t,
                                  std::size_t b) {
  if (!not_yet) return d.never;
  const std::size_t last = std::max(t, b);
  std::vector<std::size_t> out;
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
  return out;
}

// The covariate row (1, x_u1, ..., x_uK).
std::vector<double> covariate_row(const Mat& x, std::size_t u) {
  std::vector<double> row(x.cols() + 1, 1.0);
  for (std::size_t k = 0; k < x.cols(); ++k) row[k + 1] = x(u, k);
  return row;
}

double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
  return s;
}

// OLS of the controls' outcome changes on (1, covariates); none when there are too few
// controls to identify it or the least squares fails.
std::optional<std::vector<double>> outcome_regression(const Design& d,
                                                      std::span<const std::size_t> ctrl,
                                                      std::span<const double> dy) {
  if (d.covariates == nullptr) return std::nullopt;
  const Mat& x = *d.covariates;
  if (ctrl.size() <= x.cols() + 1) return std::nullopt;
  Mat design(ctrl.size(), x.cols() + 1);
  std::vector<double> target(ctrl.size());
  for (std::size_t i = 0; i < ctrl.size(); ++i) {
    design(i, 0) = 1.0;
    for (std::size_t k = 0; k < x.cols(); ++k) design(i, k + 1) = x(ctrl[i], k);
    target[i] = dy[ctrl[i]];
  }
  auto beta = linalg::ols(design, target);
  if (!beta) return std::nullopt;
  return std::move(*beta);
}

// The control part of the influence function picks up the estimation effect of the outcome
// regression: psi_c -= (x_c' v) r_c / (n_C / N), with M v = (0, xbar_T - xbar_C) and M the
// controls' mean of x x'. Skipped if M cannot be factored.
void correct_for_regression(const Design& d, std::span<const std::size_t> treated,
                            std::span<const std::size_t> ctrl, std::span<const double> r,
                            std::vector<double>& psi) {
  const Mat& x = *d.covariates;
  const std::size_t k1 = x.cols() + 1;
  Mat design(ctrl.size(), k1);
  for (std::size_t i = 0; i < ctrl.size(); ++i) {
    design(i, 0) = 1.0;
    for (std::size_t k = 0; k < x.cols(); ++k) design(i, k + 1) = x(ctrl[i], k);
  }
  Mat m = linalg::syrk_ata(design);
  const double n_c = static_cast<double>(ctrl.size());
  for (double& v : m.data()) v /= n_c;
  std::vector<double> h(k1, 0.0);
  for (std::size_t k = 0; k < x.cols(); ++k) {
    double st = 0.0;
    for (std::size_t u : treated) st += x(u, k);
    double sc = 0.0;
    for (std::size_t u : ctrl) sc += x(u, k);
    h[k + 1] = st / static_cast<double>(treated.size()) - sc / n_c;
  }
  auto chol = linalg::Cholesky::make_ridge(std::move(m), kMomentRidge);
  if (!chol) return;
  const std::vector<double> v = chol->solve_vec(h);
  const double share = n_c / static_cast<double>(d.n);
  for (std::size_t u : ctrl) psi[u] -= dot(covariate_row(x, u), v) * r[u] / share;
}

// sqrt(sum psi^2 / N^2).
double influence_se(std::span<const double> psi) {
  double s = 0.0;
  for (double v : psi) s += v * v;
  const double n = static_cast<double>(psi.size());
  return std::sqrt(s / (n * n));
}

// ATT(g, t) as the difference of mean (adjusted) outcome changes since the base period b,
// with its influence function; none without controls.
std::optional<GroupTimeAtt> group_time(const Panel& panel, const Design& d, bool not_yet,
                                       std::size_t cohort_index, std::size_t t, std::size_t b) {
  const std::size_t g = d.cohorts[cohort_index];
  const std::vector<std::size_t>& treated = d.members[cohort_index];
  const std::vector<std::size_t> ctrl = controls(d, not_yet, g, t, b);
  if (ctrl.empty()) return std::nullopt;

  // r holds the outcome change, minus the fitted change where the regression ran.
  std::vector<double> r(d.n, 0.0);
  const std::span<const double> now = panel.y().col(t);
  const std::span<const double> base = panel.y().col(b);
  for (std::size_t u : treated) r[u] = now[u] - base[u];
  for (std::size_t u : ctrl) r[u] = now[u] - base[u];
  const auto beta = outcome_regression(d, ctrl, r);
  if (beta) {
    for (std::size_t u : treated) r[u] -= dot(covariate_row(*d.covariates, u), *beta);
    for (std::size_t u : ctrl) r[u] -= dot(covariate_row(*d.covariates, u), *beta);
  }

  const double n_t = static_cast<double>(treated.size());
  const double n_c = static_cast<double>(ctrl.size());
  double sum_t = 0.0;
  for (std::size_t u : treated) sum_t += r[u];
  double sum_c = 0.0;
  for (std::size_t u : ctrl) sum_c += r[u];
  const double mean_t = sum_t / n_t;
  const double mean_c = sum_c / n_c;

  GroupTimeAtt cell;
  cell.cohort = g;
  cell.period = t;
  cell.event_time = static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g);
  cell.att = mean_t - mean_c;
  cell.influence.assign(d.n, 0.0);
  const double n = static_cast<double>(d.n);
  for (std::size_t u : treated) cell.influence[u] = (r[u] - mean_t) / (n_t / n);
  for (std::size_t u : ctrl) cell.influence[u] = -(r[u] - mean_c) / (n_c / n);
  if (beta) correct_for_regression(d, treated, ctrl, r, cell.influence);
  cell.se = influence_se(cell.influence);
  return cell;
}

// What an aggregation reads from each of its cells.
struct Part {
  std::size_t cohort = 0;
  double att = 0.0;
  std::span<const double> influence;
};

// Weighted average of the parts with weights p_j / l, p_j = n_{g_j} / N, and its influence
// function, which adds the estimation effect of the weights: for unit u, with D_uj = 1 when u
// belongs to cohort g_j and S_u = sum_j (D_uj - p_j),
//   psi_u = sum_j (p_j / l) psi_ju + sum_j att_j [(D_uj - p_j) / l - S_u p_j / l^2].
// The second sum depends on u only through its cohort, so it is formed once per cohort.
std::optional<AggEffect> aggregate(const Design& d, std::span<const Part> parts, std::int64_t key) {
  const double n = static_cast<double>(d.n);
  std::vector<double> p(parts.size());
  double l = 0.0;
  for (std::size_t j = 0; j < parts.size(); ++j) {
    p[j] = d.size[d.index_of(parts[j].cohort)] / n;
    l += p[j];
  }
  if (parts.empty() || !(l > 0.0)) return std::nullopt;

  AggEffect out;
  out.key = key;
  for (std::size_t j = 0; j < parts.size(); ++j) out.att += (p[j] / l) * parts[j].att;

  std::vector<double> weight_effect(d.cohorts.size() + 1);
  for (std::size_t c = 0; c < weight_effect.size(); ++c) {
    const auto in = [&](std::size_t j) { return d.index_of(parts[j].cohort) == c ? 1.0 : 0.0; };
    double s = 0.0;
    for (std::size_t j = 0; j < parts.size(); ++j) s += in(j) - p[j];
    double w = 0.0;
    for (std::size_t j = 0; j < parts.size(); ++j) {
      w += parts[j].att * ((in(j) - p[j]) / l - s * p[j] / (l * l));
    }
    weight_effect[c] = w;
  }

  out.influence.assign(d.n, 0.0);
  for (std::size_t j = 0; j < parts.size(); ++j) {
    const double w = p[j] / l;
    const std::span<const double> psi = parts[j].influence;
    for (std::size_t u = 0; u < d.n; ++u) out.influence[u] += w * psi[u];
  }
  for (std::size_t u = 0; u < d.n; ++u) out.influence[u] += weight_effect[d.class_of[u]];
  out.se = influence_se(out.influence);
  return out;
}

template <class Keep>
std::vector<Part> parts_of(const std::vector<GroupTimeAtt>& cells, Keep keep) {
  std::vector<Part> out;
  for (const GroupTimeAtt& c : cells) {
    if (keep(c)) out.push_back({c.cohort, c.att, c.influence});
  }
  return out;
}

void aggregate_all(const Design& d, CsResult& out) {
  const std::vector<GroupTimeAtt>& cells = out.group_time;
  std::vector<std::int64_t> times;
  for (const GroupTimeAtt& c : cells) times.push_back(c.event_time);
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  for (std::int64_t e : times) {
    const auto parts = parts_of(cells, [e](const GroupTimeAtt& c) { return c.event_time == e; });
    if (auto a = aggregate(d, parts, e)) out.event.push_back(std::move(*a));
  }

  const auto post = parts_of(cells, [](const GroupTimeAtt& c) { return c.event_time >= 0; });
  if (auto a = aggregate(d, post, 0)) {
    out.att = a->att;
    out.se = a->se;
    out.overall_influence = std::move(a->influence);
  }

  for (std::size_t g : d.cohorts) {
    const auto parts = parts_of(cells, [g](const GroupTimeAtt& c) { return c.cohort == g && c.event_time >= 0; });
    if (auto a = aggregate(d, parts, static_cast<std::int64_t>(g))) out.group.push_back(std::move(*a));
  }
  std::vector<Part> groups;
  for (const AggEffect& a : out.group) groups.push_back({static_cast<std::size_t>(a.key), a.att, a.influence});
  if (auto a = aggregate(d, groups, 0)) {
    out.overall_group_att = a->att;
    out.overall_group_se = a->se;
  }
}

CsResult fit_in_range(const Panel& panel, bool not_yet, std::size_t anticipation) {
  const Design d = describe(panel, anticipation);
  if (!not_yet && d.never.empty()) {
    invariant_failure("Callaway\u2013Sant'Anna (never-treated variant) needs never-treated units");
  }
  CsResult out;
  for (std::size_t c = 0; c < d.cohorts.size(); ++c) {
    const std::size_t g = d.cohorts[c];
    if (g <= anticipation || d.members[c].empty()) continue;
    const std::size_t b = g - 1 - anticipation;  // universal base period of the cohort
    for (std::size_t t = 0; t < d.periods; ++t) {
      if (t == b) continue;
      if (auto cell = group_time(panel, d, not_yet, c, t, b)) out.group_time.push_back(std::move(*cell));
    }
  }
  aggregate_all(d, out);
  return out;
}

void scale_influence(std::vector<double>& psi, int e) {
  for (double& v : psi) v = std::ldexp(v, e);
}

}  // namespace

CsResult fit_with_anticipation(const Panel& panel, bool not_yet, std::size_t anticipation) {
  // Every effect, standard error and influence value is linear in the outcomes; the squared
  // influence values overflow or vanish outside the ordinary range of magnitudes.
  const int e = rescale_exponent(panel.y());
  if (e == 0) return fit_in_range(panel, not_yet, anticipation);
  CsResult out = fit_in_range(rescaled(panel, e), not_yet, anticipation);
  for (GroupTimeAtt& c : out.group_time) {
    c.att = std::ldexp(c.att, -e);
    c.se = std::ldexp(c.se, -e);
    scale_influence(c.influence, -e);
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
