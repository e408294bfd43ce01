#include "estimators/did/imputation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "estimators/scale.hpp"
#include "linalg/factor/cholesky.hpp"
#include "linalg/ops/matmul.hpp"
#include "runtime/interrupt.hpp"

// The untreated cells of a unit are a prefix of the periods: all T of them for a never-treated
// unit, the first g - anticipation for a unit first treated at g. Units sharing a start share
// that prefix and form a group (a cohort, or the never-treated units); every period t < P, P the
// longest prefix, has an untreated cell, and no later one does. In the normal equations of the
// unit effects a and period effects b fitted on the untreated cells,
//   L_i a_i + sum_{t < L_i} b_t = r_i                        (unit i, prefix length L_i)
//   sum_{i : t < L_i} a_i + m_t b_t = s_t                    (period t, m_t untreated cells),
// eliminating a_i = (r_i - sum_{t < L_i} b_t) / L_i leaves the P x P Schur complement
//   S = diag(m) - sum over groups c of n_c / L_c 1_c 1_c'   (1_c: indicator of c's prefix)
// with right-hand side s_t - sum_{i : t < L_i} r_i / L_i. S is singular along the constant
// vector (the level shared by a and b); b_0 = 0 fixes it and the (P-1) x (P-1) rest is
// factored once. Every solve of the fit is a right-hand side of that system: the outcome's
// fixed effects, the implied weights of each estimand on the untreated cells, and the lead
// dummies' projections. Since all units of a group share their cells, estimand weights and
// lead dummies are group x period tables and their solves cost O(groups x T).
//
// The variance is Theorem 3's conservative form: unit u's influence on an estimand with cell
// weights w is sum_t v_ut x_ut, where v = w on imputed cells and v = -Z0 (Z0'Z0)^- Z1' w on
// untreated cells (Z the fixed-effect dummies of the untreated (0) and imputed (1) cells), and
// x is the fixed-effects residual on untreated cells and, on imputed cells, the imputed effect
// minus its mean over the cell's cohort and period. The variance is the sum of squares of the
// influence over units, and covariances are sums of products.

namespace tessarix::did::imputation {
namespace {

using linalg::Cholesky;

// One refinement of the fixed-effects solve against the residual of the cells themselves
// brings the normal-equations solution to the accuracy of a QR solve of the dummy design.
constexpr int kRefinementSteps = 1;
constexpr std::size_t kNoGroup = std::numeric_limits<std::size_t>::max();

struct Group {
  std::optional<std::size_t> start;  // first treated period; absent for the never-treated units
  std::size_t len = 0;               // untreated prefix length (positive)
  std::size_t count = 0;             // units
};

struct Design {
  std::size_t periods = 0;              // T
  std::size_t fitted = 0;               // P: the periods 0 .. P-1 have an untreated cell
  std::vector<Group> groups;            // cohorts with an untreated cell ascending, then never treated
  std::vector<std::size_t> unit_group;  // per unit; kNoGroup for a unit without untreated cell
  std::size_t n_untreated = 0;
  std::size_t n_imputed = 0;
  std::size_t n_excluded = 0;
  bool has_never = false;

  std::size_t len_of(std::size_t u) const { return unit_group[u] == kNoGroup ? 0 : groups[unit_group[u]].len; }
  // The imputed periods of group c: [len, P), empty for the never-treated group.
  std::size_t imputed_count(std::size_t c) const { return fitted > groups[c].len ? fitted - groups[c].len : 0; }
};

std::size_t prefix_length(std::size_t start, std::size_t anticipation, std::size_t t_count) {
  return start > anticipation ? std::min(start - anticipation, t_count) : 0;
}

Design make_design(const Panel& panel, std::size_t anticipation) {
  Design d;
  d.periods = panel.n_periods();
  const auto& starts = panel.treat_start();
  std::vector<std::size_t> cohort_starts;
  for (std::size_t g : panel.cohorts()) {
    if (prefix_length(g, anticipation, d.periods) == 0) continue;
    d.groups.push_back({g, prefix_length(g, anticipation, d.periods), 0});
    cohort_starts.push_back(g);
  }
  const std::size_t never = d.groups.size();
  d.unit_group.assign(panel.n_units(), kNoGroup);
  std::size_t treated_cells = 0;
  for (std::size_t u = 0; u < panel.n_units(); ++u) {
    if (!starts[u]) {
      d.unit_group[u] = never;
      d.has_never = true;
      continue;
    }
    treated_cells += d.periods - prefix_length(*starts[u], anticipation, d.periods);
    const auto it = std::lower_bound(cohort_starts.begin(), cohort_starts.end(), *starts[u]);
    if (it != cohort_starts.end() && *it == *starts[u]) d.unit_group[u] = static_cast<std::size_t>(it - cohort_starts.begin());
  }
  if (d.has_never) d.groups.push_back({std::nullopt, d.periods, 0});
  for (std::size_t g : d.unit_group) {
    if (g != kNoGroup) ++d.groups[g].count;
  }
  for (const Group& g : d.groups) {
    d.fitted = std::max(d.fitted, g.len);
    d.n_untreated += g.count * g.len;
  }
  for (std::size_t c = 0; c < d.groups.size(); ++c) d.n_imputed += d.groups[c].count * d.imputed_count(c);
  d.n_excluded = treated_cells - d.n_imputed;
  return d;
}

// Prefix sums: out[k] = b_0 + ... + b_{k-1}, k = 0 .. b.size().
std::vector<double> prefix_sums(std::span<const double> b) {
  std::vector<double> out(b.size() + 1, 0.0);
  for (std::size_t t = 0; t < b.size(); ++t) out[t + 1] = out[t] + b[t];
  return out;
}

// The factored Schur complement of the unit effects, and its solves.
class PeriodSystem {
public:
  explicit PeriodSystem(const Design& d) : d_(d) {
    if (d.fitted < 2) return;
    auto chol = Cholesky::make(reduced_schur());
    if (!chol) invariant_failure("imputation period system: " + chol.error().debug());
    chol_ = std::move(*chol);
  }

  // Period effects b (P entries, b_0 = 0) of the normal equations whose unit equations' right
  // sides sum to group_sums[c] over each group and whose period equations' right sides are
  // period_sums (P entries).
  std::vector<double> solve(std::span<const double> group_sums, std::span<const double> period_sums) const {
    std::vector<double> b(d_.fitted, 0.0);
    if (!chol_) return b;
    std::vector<double> rhs(period_sums.begin() + 1, period_sums.end());
    for (std::size_t c = 0; c < d_.groups.size(); ++c) {
      const double share = group_sums[c] / static_cast<double>(d_.groups[c].len);
      for (std::size_t t = 1; t < d_.groups[c].len; ++t) rhs[t - 1] -= share;
    }
    const std::vector<double> x = chol_->solve_vec(rhs);
    std::copy(x.begin(), x.end(), b.begin() + 1);
    return b;
  }

  // The unit effect of a unit of group c whose unit equation has right side r, given the
  // prefix sums of the period effects.
  double unit_effect(std::size_t c, double r, std::span<const double> b_prefix) const {
    const std::size_t len = d_.groups[c].len;
    return (r - b_prefix[len]) / static_cast<double>(len);
  }

private:
  // S without period 0's row and column.
  Mat reduced_schur() const {
    const std::size_t p = d_.fitted - 1;
    Mat s(p, p);
    for (const Group& g : d_.groups) {
      const double n = static_cast<double>(g.count);
      const double share = n / static_cast<double>(g.len);
      for (std::size_t t = 1; t < g.len; ++t) {
        s(t - 1, t - 1) += n;
        for (std::size_t r = 1; r < g.len; ++r) s(r - 1, t - 1) -= share;
      }
    }
    return s;
  }

  const Design& d_;
  std::optional<Cholesky> chol_;
};

// --- the outcome's fixed effects --------------------------------------------------------------

struct Effects {
  std::vector<double> unit;    // per unit; 0 for a unit without untreated cell
  std::vector<double> period;  // P entries
};

// Least-squares unit and period effects of x on the untreated cells.
Effects fit_once(const Mat& x, const Design& d, const PeriodSystem& sys) {
  const std::size_t n = x.rows();
  std::vector<double> unit_sum(n, 0.0), period_sum(d.fitted, 0.0), group_sum(d.groups.size(), 0.0);
  for (std::size_t t = 0; t < d.fitted; ++t) {
    const std::span<const double> col = x.col(t);
    double s = 0.0;
    for (std::size_t u = 0; u < n; ++u) {
      if (t < d.len_of(u)) {
        unit_sum[u] += col[u];
        s += col[u];
      }
    }
    period_sum[t] = s;
  }
  for (std::size_t u = 0; u < n; ++u) {
    if (d.unit_group[u] != kNoGroup) group_sum[d.unit_group[u]] += unit_sum[u];
  }
  Effects e{std::vector<double>(n, 0.0), sys.solve(group_sum, period_sum)};
  const std::vector<double> b_prefix = prefix_sums(e.period);
  for (std::size_t u = 0; u < n; ++u) {
    if (d.unit_group[u] != kNoGroup) e.unit[u] = sys.unit_effect(d.unit_group[u], unit_sum[u], b_prefix);
  }
  return e;
}

// x minus the effects on the untreated cells, 0 on every other cell.
Mat untreated_residual(const Mat& x, const Design& d, const Effects& e) {
  Mat r(x.rows(), x.cols());
  for (std::size_t t = 0; t < d.fitted; ++t) {
    const std::span<const double> col = x.col(t);
    const std::span<double> out = r.col(t);
    for (std::size_t u = 0; u < x.rows(); ++u) {
      if (t < d.len_of(u)) out[u] = col[u] - e.unit[u] - e.period[t];
    }
  }
  return r;
}

Effects fit_effects(const Mat& y, const Design& d, const PeriodSystem& sys) {
  Effects e = fit_once(y, d, sys);
  for (int step = 0; step < kRefinementSteps; ++step) {
    runtime::interruption_point();
    const Effects delta = fit_once(untreated_residual(y, d, e), d, sys);
    for (std::size_t u = 0; u < e.unit.size(); ++u) e.unit[u] += delta.unit[u];
    for (std::size_t t = 0; t < e.period.size(); ++t) e.period[t] += delta.period[t];
  }
  return e;
}

// --- cells -------------------------------------------------------------------------------------

struct Cells {
  Mat x;        // residual on untreated cells; effect minus its cohort-period mean on imputed cells
  Mat effects;  // the imputed effect on imputed cells, NaN elsewhere
  Mat tau_sum;  // groups x T: sums of the imputed effects
  Mat eps_sum;  // groups x T: sums of the untreated residuals
};

// The imputed effects and their group x period sums.
void impute(const Mat& y, const Design& d, const Effects& e, Cells& c) {
  c.effects = Mat(y.rows(), y.cols());
  std::fill(c.effects.data().begin(), c.effects.data().end(), std::numeric_limits<double>::quiet_NaN());
  c.tau_sum = Mat(d.groups.size(), y.cols());
  for (std::size_t t = 0; t < d.fitted; ++t) {
    const std::span<const double> col = y.col(t);
    const std::span<double> out = c.effects.col(t);
    for (std::size_t u = 0; u < y.rows(); ++u) {
      const std::size_t g = d.unit_group[u];
      if (g == kNoGroup || t < d.groups[g].len) continue;
      out[u] = col[u] - e.unit[u] - e.period[t];
      c.tau_sum(g, t) += out[u];
    }
  }
}

// The variance's cell residuals x: untreated residuals, and imputed effects less their cohort x
// period means (the finest partition, where every estimand's weights are constant).
void cell_residuals(const Mat& y, const Design& d, const Effects& e, Cells& c) {
  c.x = untreated_residual(y, d, e);
  c.eps_sum = Mat(d.groups.size(), y.cols());
  for (std::size_t t = 0; t < d.fitted; ++t) {
    const std::span<const double> eff = c.effects.col(t);
    const std::span<double> out = c.x.col(t);
    for (std::size_t u = 0; u < y.rows(); ++u) {
      const std::size_t g = d.unit_group[u];
      if (g == kNoGroup) continue;
      if (t < d.groups[g].len) {
        c.eps_sum(g, t) += out[u];
      } else {
        out[u] = eff[u] - c.tau_sum(g, t) / static_cast<double>(d.groups[g].count);
      }
    }
  }
}

// --- estimands -------------------------------------------------------------------------------

// An estimand's weight on each cell of a group at a period (groups x T), zero off the imputed
// cells; its key names it.
struct Estimand {
  Mat weight;
  std::int64_t key = 0;
};

// Equal weights over the imputed cells for which keep(group, period) holds; empty weights when
// there are none.
template <class Keep>
Mat equal_weights(const Design& d, Keep keep) {
  Mat w(d.groups.size(), d.periods);
  double cells = 0.0;
  for (std::size_t c = 0; c < d.groups.size(); ++c) {
    for (std::size_t t = d.groups[c].len; t < d.fitted; ++t) {
      if (keep(c, t)) cells += static_cast<double>(d.groups[c].count);
    }
  }
  if (cells == 0.0) return Mat();
  for (std::size_t c = 0; c < d.groups.size(); ++c) {
    for (std::size_t t = d.groups[c].len; t < d.fitted; ++t) {
      if (keep(c, t)) w(c, t) = 1.0 / cells;
    }
  }
  return w;
}

std::int64_t horizon(const Group& g, std::size_t t) {
  return static_cast<std::int64_t>(t) - static_cast<std::int64_t>(*g.start);
}

// One estimand per event horizon with an imputed cell, ascending.
std::vector<Estimand> horizon_estimands(const Design& d) {
  std::vector<std::int64_t> keys;
  for (std::size_t c = 0; c < d.groups.size(); ++c) {
    for (std::size_t t = d.groups[c].len; t < d.fitted; ++t) keys.push_back(horizon(d.groups[c], t));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<Estimand> out;
  for (std::int64_t h : keys) {
    out.push_back({equal_weights(d, [&](std::size_t c, std::size_t t) { return horizon(d.groups[c], t) == h; }), h});
  }
  return out;
}

// One estimand per cohort with an imputed cell, by first treated period.
std::vector<Estimand> cohort_estimands(const Design& d) {
  std::vector<Estimand> out;
  for (std::size_t k = 0; k < d.groups.size(); ++k) {
    if (d.imputed_count(k) == 0) continue;
    out.push_back({equal_weights(d, [&](std::size_t c, std::size_t) { return c == k; }),
                   static_cast<std::int64_t>(*d.groups[k].start)});
  }
  return out;
}

// Per unit: sum over t of table(group of u, t) x(u, t).
std::vector<double> unit_products(const Mat& table, const Mat& x, const Design& d) {
  std::vector<double> out(x.rows(), 0.0);
  for (std::size_t t = 0; t < d.fitted; ++t) {
    const std::span<const double> col = x.col(t);
    for (std::size_t u = 0; u < x.rows(); ++u) {
      const std::size_t g = d.unit_group[u];
      if (g != kNoGroup) out[u] += table(g, t) * col[u];
    }
  }
  return out;
}

// The implied weights v of an estimand on every cell of each group: the estimand's own weight
// on imputed cells, -Z0 (Z0'Z0)^- Z1' w on untreated ones.
Mat implied_weights(const Mat& w, const Design& d, const PeriodSystem& sys) {
  const std::size_t n_groups = d.groups.size();
  std::vector<double> own(n_groups, 0.0), group_sum(n_groups, 0.0), period_sum(d.fitted, 0.0);
  for (std::size_t c = 0; c < n_groups; ++c) {
    const double n = static_cast<double>(d.groups[c].count);
    for (std::size_t t = 0; t < d.fitted; ++t) {
      own[c] += w(c, t);
      period_sum[t] += n * w(c, t);
    }
    group_sum[c] = n * own[c];
  }
  const std::vector<double> b = sys.solve(group_sum, period_sum);
  const std::vector<double> b_prefix = prefix_sums(b);
  Mat v = w;
  for (std::size_t c = 0; c < n_groups; ++c) {
    const double a = sys.unit_effect(c, own[c], b_prefix);
    for (std::size_t t = 0; t < d.groups[c].len; ++t) v(c, t) = -(a + b[t]);
  }
  return v;
}

double sum_of_squares(std::span<const double> v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return s;
}

AggEffect evaluate(const Estimand& e, const Design& d, const PeriodSystem& sys, const Cells& cells) {
  runtime::interruption_point();
  AggEffect out;
  out.key = e.key;
  for (std::size_t t = 0; t < d.fitted; ++t) {
    for (std::size_t c = 0; c < d.groups.size(); ++c) out.att += e.weight(c, t) * cells.tau_sum(c, t);
  }
  out.influence = unit_products(implied_weights(e.weight, d, sys), cells.x, d);
  out.se = std::sqrt(sum_of_squares(out.influence));
  return out;
}

// --- pre-trend leads -------------------------------------------------------------------------

// The lead event times: -2 - anticipation down to the earliest pre-period of any cohort, the
// `limit` nearest the reference kept, ascending.
std::vector<std::int64_t> lead_times(const Design& d, std::size_t anticipation, std::optional<std::size_t> limit) {
  std::int64_t earliest = 0;
  for (const Group& g : d.groups) {
    if (g.start) earliest = std::min(earliest, -static_cast<std::int64_t>(*g.start));
  }
  std::vector<std::int64_t> out;
  for (std::int64_t k = -2 - static_cast<std::int64_t>(anticipation); k >= earliest; --k) {
    if (limit && out.size() == *limit) break;
    out.push_back(k);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

// The indicator of lead k on the untreated cells less its fixed-effects fit, as a groups x T
// table (zero off the untreated cells), refined once like the outcome's fit.
Mat residual_lead(std::int64_t k, const Design& d, const PeriodSystem& sys) {
  Mat r(d.groups.size(), d.periods);
  for (std::size_t c = 0; c < d.groups.size(); ++c) {
    if (!d.groups[c].start) continue;
    const std::int64_t t = static_cast<std::int64_t>(*d.groups[c].start) + k;
    if (t >= 0) r(c, static_cast<std::size_t>(t)) = 1.0;
  }
  for (int step = 0; step <= kRefinementSteps; ++step) {
    std::vector<double> own(d.groups.size(), 0.0), group_sum(d.groups.size(), 0.0), period_sum(d.fitted, 0.0);
    for (std::size_t c = 0; c < d.groups.size(); ++c) {
      const double n = static_cast<double>(d.groups[c].count);
      for (std::size_t t = 0; t < d.groups[c].len; ++t) {
        own[c] += r(c, t);
        period_sum[t] += n * r(c, t);
      }
      group_sum[c] = n * own[c];
    }
    const std::vector<double> b = sys.solve(group_sum, period_sum);
    const std::vector<double> b_prefix = prefix_sums(b);
    for (std::size_t c = 0; c < d.groups.size(); ++c) {
      const double a = sys.unit_effect(c, own[c], b_prefix);
      for (std::size_t t = 0; t < d.groups[c].len; ++t) r(c, t) -= a + b[t];
    }
  }
  return r;
}

// sum over the groups' units and untreated periods of a(c, t) b(c, t).
double table_dot(const Mat& a, const Mat& b, const Design& d) {
  double s = 0.0;
  for (std::size_t c = 0; c < d.groups.size(); ++c) {
    const double n = static_cast<double>(d.groups[c].count);
    for (std::size_t t = 0; t < d.groups[c].len; ++t) s += n * a(c, t) * b(c, t);
  }
  return s;
}

// The small-sample factor of the leads' clustered covariance, G/(G-1) (N-1)/(N-K), with G the
// units and N the cells of the regression and K its leads plus periods (the convention of
// diff-diff's pre-trend regression); nullopt when the regression has no degrees of freedom.
std::optional<double> lead_factor(const Design& d, std::size_t n_leads) {
  std::size_t g = 0;
  for (const Group& grp : d.groups) g += grp.count;
  const std::size_t k = n_leads + d.fitted;
  if (g < 2 || d.n_untreated <= k) return std::nullopt;
  const double gd = static_cast<double>(g), nd = static_cast<double>(d.n_untreated);
  return gd / (gd - 1.0) * (nd - 1.0) / (nd - static_cast<double>(k));
}

// The inverse of the factored l x l matrix, column by column.
Mat inverse(const Cholesky& chol, std::size_t l) {
  Mat out(l, l);
  std::vector<double> unit(l, 0.0);
  for (std::size_t k = 0; k < l; ++k) {
    unit[k] = 1.0;
    const std::vector<double> col = chol.solve_vec(unit);
    std::copy(col.begin(), col.end(), out.col(k).begin());
    unit[k] = 0.0;
  }
  return out;
}

// The lead regression's per-unit scores D_u' e_u, one vector over the units per lead, with D
// the residualized dummies and e = eps - D beta its residual:
// D_u' e_u = D_u' eps_u - (sum over u's untreated periods of D D') beta.
std::vector<std::vector<double>> lead_scores(const std::vector<Mat>& dt, std::span<const double> beta,
                                             const Design& d, const Cells& cells) {
  const std::size_t l = dt.size();
  std::vector<std::vector<double>> score;
  for (std::size_t a = 0; a < l; ++a) {
    runtime::interruption_point();
    score.push_back(unit_products(dt[a], cells.x, d));
  }
  Mat fitted(d.groups.size(), l);  // per group: sum_b beta_b sum_t D_a D_b
  for (std::size_t c = 0; c < d.groups.size(); ++c) {
    for (std::size_t a = 0; a < l; ++a) {
      for (std::size_t b = 0; b < l; ++b) {
        double h = 0.0;
        for (std::size_t t = 0; t < d.groups[c].len; ++t) h += dt[a](c, t) * dt[b](c, t);
        fitted(c, a) += beta[b] * h;
      }
    }
  }
  for (std::size_t a = 0; a < l; ++a) {
    for (std::size_t u = 0; u < score[a].size(); ++u) {
      if (d.unit_group[u] != kNoGroup) score[a][u] -= fitted(d.unit_group[u], a);
    }
  }
  return score;
}

// The lead coefficients with each unit's influence sqrt(factor) (D'D)^-1 D_u' e_u.
std::vector<AggEffect> lead_effects(std::span<const std::int64_t> keys, std::span<const double> beta,
                                    const Mat& gram_inverse, const std::vector<std::vector<double>>& score,
                                    double factor) {
  const std::size_t l = keys.size();
  const double scale = std::sqrt(factor);
  std::vector<AggEffect> out(l);
  for (std::size_t a = 0; a < l; ++a) {
    out[a].key = keys[a];
    out[a].att = beta[a];
    out[a].influence.assign(score[a].size(), 0.0);
    for (std::size_t b = 0; b < l; ++b) {
      const double w = scale * gram_inverse(a, b);
      for (std::size_t u = 0; u < score[b].size(); ++u) out[a].influence[u] += w * score[b][u];
    }
    out[a].se = std::sqrt(sum_of_squares(out[a].influence));
  }
  return out;
}

// The normal equations of the leads after the fixed effects are partialled out: D'D and D'y
// (= D'eps, since D is orthogonal to the fixed effects).
struct LeadEquations {
  Mat gram;
  std::vector<double> cross;
};

LeadEquations lead_equations(const std::vector<Mat>& dt, const Design& d, const Cells& cells) {
  const std::size_t l = dt.size();
  LeadEquations e{Mat(l, l), std::vector<double>(l, 0.0)};
  for (std::size_t a = 0; a < l; ++a) {
    for (std::size_t b = 0; b < l; ++b) e.gram(a, b) = table_dot(dt[a], dt[b], d);
    for (std::size_t c = 0; c < d.groups.size(); ++c) {
      for (std::size_t t = 0; t < d.groups[c].len; ++t) e.cross[a] += dt[a](c, t) * cells.eps_sum(c, t);
    }
  }
  return e;
}

// The pre-trend regression on the untreated cells: outcome on the lead dummies and the two-way
// fixed effects, by Frisch-Waugh on the residualized dummies. Coefficients with unit-clustered
// influence (small-sample factor folded in); empty when there is no lead or the leads are not
// identified (no never-treated unit, no residual degree of freedom, or a singular Gram matrix).
std::vector<AggEffect> fit_leads(const Design& d, const PeriodSystem& sys, const Cells& cells,
                                 const ImputationOptions& options) {
  const std::vector<std::int64_t> keys = lead_times(d, options.anticipation, options.leads);
  const std::optional<double> factor = lead_factor(d, keys.size());
  if (!d.has_never || keys.empty() || !factor) return {};
  std::vector<Mat> dt;
  for (std::int64_t k : keys) {
    runtime::interruption_point();
    dt.push_back(residual_lead(k, d, sys));
  }
  const LeadEquations eq = lead_equations(dt, d, cells);
  auto chol = Cholesky::make(eq.gram);
  if (!chol) return {};
  const std::vector<double> beta = chol->solve_vec(eq.cross);
  return lead_effects(keys, beta, inverse(*chol, keys.size()), lead_scores(dt, beta, d, cells), *factor);
}

// The covariance of the estimates from their influence: rows and columns `event`, then overall.
Mat covariance(const std::vector<AggEffect>& event, const AggEffect& overall) {
  const std::size_t n = overall.influence.size();
  Mat psi(n, event.size() + 1);
  for (std::size_t k = 0; k < event.size(); ++k) std::copy(event[k].influence.begin(), event[k].influence.end(), psi.col(k).begin());
  std::copy(overall.influence.begin(), overall.influence.end(), psi.col(event.size()).begin());
  return linalg::syrk_ata(psi);
}

ImputationResult fit_in_range(const Panel& panel, const ImputationOptions& options) {
  const Design d = make_design(panel, options.anticipation);
  if (d.n_imputed == 0) invariant_failure("imputation: no treated cell has an untreated cell in its unit and period");
  const PeriodSystem sys(d);
  const Effects e = fit_effects(panel.y(), d, sys);
  Cells cells;
  impute(panel.y(), d, e, cells);
  cell_residuals(panel.y(), d, e, cells);

  ImputationResult out;
  out.event = fit_leads(d, sys, cells, options);
  out.n_leads = out.event.size();
  for (const Estimand& h : horizon_estimands(d)) out.event.push_back(evaluate(h, d, sys, cells));
  for (const Estimand& g : cohort_estimands(d)) out.group.push_back(evaluate(g, d, sys, cells));
  out.overall = evaluate({equal_weights(d, [](std::size_t, std::size_t) { return true; }), 0}, d, sys, cells);
  out.vcov = covariance(out.event, out.overall);
  out.effects = std::move(cells.effects);
  out.n_untreated = d.n_untreated;
  out.n_imputed = d.n_imputed;
  out.n_excluded = d.n_excluded;
  return out;
}

void unscale_effect(AggEffect& k, int e) {
  k.att = std::ldexp(k.att, e);
  k.se = std::ldexp(k.se, e);
  for (double& v : k.influence) v = std::ldexp(v, e);
}

}  // namespace

ImputationResult fit(const Panel& panel, const ImputationOptions& options) {
  // Estimates, influence and effects are linear in the outcomes, the covariance quadratic;
  // squares of residuals overflow or vanish outside the ordinary range of magnitudes.
  return linear_fit_at_canonical_scale(
      panel, [&](const Panel& p) { return fit_in_range(p, options); },
      [](ImputationResult& r, int e) {
        for (AggEffect& k : r.event) unscale_effect(k, e);
        for (AggEffect& k : r.group) unscale_effect(k, e);
        unscale_effect(r.overall, e);
        for (double& v : r.vcov.data()) v = std::ldexp(v, 2 * e);
        for (double& v : r.effects.data()) v = std::ldexp(v, e);
      });
}

bool has_imputable_cell(const Panel& panel, std::size_t anticipation) {
  return make_design(panel, anticipation).n_imputed > 0;
}

}  // namespace tessarix::did::imputation
