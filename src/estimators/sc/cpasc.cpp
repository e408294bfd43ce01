#include "estimators/sc/cpasc.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "estimators/sc/common.hpp"
#include "linalg/ops/norms.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::sc::cpasc {
namespace {

// Floor of the median error in the inverse-error weights: the smallest positive normal
// double, so that a group of perfect fits (median 0) still gives finite terms.
constexpr double kMinMedianError = std::numeric_limits<double>::min();

// Window sums of the same terms taken from different starts add them in different orders.
// For b non-negative terms each order is within (b - 1) half-ulps of the exact sum (relative
// to it), so two orders differ by less than b ulps of the larger; the mean adds half an ulp to
// each. Windows within kTieUlpsPerTerm ulps per term of the observed statistic count as ties.
constexpr double kTieUlpsPerTerm = 2.0;

double per_period(double total, std::size_t n) {
  return total / static_cast<double>(std::max<std::size_t>(n, 1));
}

// Inverse-error weights of the units at `members`, scaled to sum to `total`: each unit's
// term 1 / (m + mspe) with m the group's median error, normalised over the group. The terms
// are taken relative to the largest, (m + min mspe) / (m + mspe): the same normalised weights,
// but each ratio is at most 1, so their sum cannot overflow when several units fit exactly
// (every plain term is then 1 / m, about 4.5e307 at the floor of m).
void inverse_error_weights(std::span<UnitFit> units, std::span<const std::size_t> members, double total) {
  std::vector<double> errors;
  errors.reserve(members.size());
  for (std::size_t i : members) errors.push_back(units[i].mspe);
  double m = median(errors);
  if (!(m >= kMinMedianError)) m = kMinMedianError;  // also replaces a NaN median
  const double best = m + *std::min_element(errors.begin(), errors.end());
  std::vector<double> v;
  v.reserve(members.size());
  for (double err : errors) v.push_back(best / (m + err));
  const double sum = linalg::sum(v);
  for (std::size_t k = 0; k < members.size(); ++k) units[members[k]].weight = (total * v[k]) / sum;
}

void assign_mspe(std::span<UnitFit> units) {
  std::vector<std::size_t> all(units.size());
  std::iota(all.begin(), all.end(), std::size_t{0});
  inverse_error_weights(units, all, 1.0);
}

// Strata of equal size by outcome level (ascending, ties in list order); each stratum gets
// weight in proportion to its size and splits it by inverse error.
void assign_stratified(std::span<UnitFit> units, std::size_t n_strata) {
  const std::size_t n = units.size();
  const std::size_t e = std::min(n, std::max<std::size_t>(n_strata, 1));
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  for (const UnitFit& u : units) {
    if (std::isnan(u.level)) invariant_failure("NaN outcome level in the CP-ASC strata");
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return units[a].level < units[b].level; });
  std::vector<std::vector<std::size_t>> strata(e);
  for (std::size_t k = 0; k < n; ++k) strata[std::min(e - 1, k * e / n)].push_back(order[k]);
  for (std::vector<std::size_t>& members : strata) {
    std::sort(members.begin(), members.end());  // sums over a stratum run in list order
    inverse_error_weights(units, members, static_cast<double>(members.size()) / static_cast<double>(n));
  }
}

void assign_cumulative(std::span<UnitFit> units) {
  double total = 0.0;
  for (const UnitFit& u : units) total += std::fabs(u.level);
  const double n = static_cast<double>(units.size());
  for (UnitFit& u : units) u.weight = total > 0.0 ? std::fabs(u.level) / total : 1.0 / n;
}

// Sum over units of weight x residual[t], period by period.
std::vector<double> pooled(std::span<const UnitFit> units, std::size_t n_periods) {
  std::vector<double> out(n_periods, 0.0);
  for (std::size_t t = 0; t < n_periods; ++t) {
    double s = 0.0;
    for (const UnitFit& u : units) s += u.weight * u.residual[t];
    out[t] = s;
  }
  return out;
}

std::vector<double> unit_row(const Mat& y, std::size_t u, std::size_t first, std::size_t last) {
  std::vector<double> out(last - first);
  for (std::size_t t = first; t < last; ++t) out[t - first] = y(u, t);
  return out;
}

// The augmented fit of unit u's own path: its effect, pre-period error and level, and its
// residual path (pre-period fit error, then the effect path).
UnitFit main_fit(const Panel& panel, std::size_t u, std::size_t t0, const DonorBlock& pre,
                 const Mat& x1, const augmented::AscOptions& asc) {
  const std::size_t n_periods = panel.n_periods();
  const std::vector<double> y_pre = unit_row(panel.y(), u, 0, t0);
  const std::vector<double> y_post = unit_row(panel.y(), u, t0, n_periods);
  const ScFit f = augmented::fit_series(y_pre, y_post, pre.mat, x1, pre.ids, asc);
  UnitFit fit;
  fit.unit = u;
  fit.att = f.att;
  fit.residual = residual(y_pre, pre.mat, f.weights);  // plain simplex weights, no correction
  fit.mspe = per_period(linalg::dot(fit.residual, fit.residual), t0);
  fit.level = per_period(linalg::sum(y_pre), t0);
  fit.residual.insert(fit.residual.end(), f.att_path.begin(), f.att_path.end());
  return fit;
}

// The synthetic-control fit of unit u's whole path under the null of no effect.
UnitFit null_fit(const Panel& panel, std::size_t u, const Mat& donors_full, double sc_ridge) {
  const std::size_t n_periods = panel.n_periods();
  const std::vector<double> y = unit_row(panel.y(), u, 0, n_periods);
  const std::vector<double> w0 = linalg::sc_weights(donors_full, y, sc_ridge).weights;
  UnitFit fit;
  fit.unit = u;
  fit.residual = residual(y, donors_full, w0);
  fit.mspe = per_period(linalg::dot(fit.residual, fit.residual), n_periods);
  fit.level = per_period(linalg::sum(y), n_periods);
  return fit;
}

CpascFit fit_unscaled(const Panel& panel, std::size_t t0, const CpascOptions& options) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) invariant_failure("no treated units");
  const std::size_t n_periods = panel.n_periods();
  if (n_periods == 0) invariant_failure("CP-ASC needs at least one period");
  const DonorBlock pre = panel.donor_pre(t0);
  if (pre.ids.empty()) invariant_failure("no donor units");
  const Mat x1 = panel.donor_post(t0).mat;

  CpascFit fit;
  fit.t0 = t0;
  for (std::size_t u : treated) fit.units.push_back(main_fit(panel, u, t0, pre, x1, options.asc));
  assign_weights(fit.units, options.mode);
  for (const UnitFit& u : fit.units) fit.att += u.weight * u.att;
  fit.pooled_residual = pooled(fit.units, n_periods);

  const Mat donors_full = panel.donor_pre(n_periods).mat;
  std::vector<UnitFit> nulls;
  nulls.reserve(treated.size());
  for (std::size_t u : treated) nulls.push_back(null_fit(panel, u, donors_full, options.asc.sc_ridge));
  assign_weights(nulls, options.mode);
  fit.null_residual = pooled(nulls, n_periods);
  fit.p_value = block_permutation_p(fit.null_residual, t0, options.block_len);
  return fit;
}

// The fit with every field in outcome units scaled by 2^-e (errors, in squared units, by
// 2^-2e); weights and the p-value are scale-free.
CpascFit unscaled(CpascFit fit, int e) {
  const auto back = [e](double v) { return std::ldexp(v, -e); };
  for (UnitFit& u : fit.units) {
    u.att = back(u.att);
    u.level = back(u.level);
    u.mspe = std::ldexp(u.mspe, -2 * e);
    for (double& v : u.residual) v = back(v);
  }
  for (double& v : fit.pooled_residual) v = back(v);
  for (double& v : fit.null_residual) v = back(v);
  fit.att = back(fit.att);
  return fit;
}

}  // namespace

double median(std::span<const double> values) {
  if (values.empty()) invariant_failure("median of an empty list");
  std::vector<double> v(values.begin(), values.end());
  for (double x : v) {
    if (std::isnan(x)) invariant_failure("NaN in a CP-ASC median");
  }
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) * 0.5;
}

void assign_weights(std::span<UnitFit> units, const CpascMode& mode) {
  if (units.empty()) return;
  if (std::holds_alternative<Mspe>(mode)) {
    assign_mspe(units);
  } else if (const auto* s = std::get_if<Stratified>(&mode)) {
    assign_stratified(units, s->n_strata);
  } else {
    assign_cumulative(units);
  }
}

double block_permutation_p(std::span<const double> z, std::size_t t0,
                           std::optional<std::size_t> block_len) {
  const std::size_t n = z.size();
  if (n == 0) invariant_failure("CP-ASC needs at least one period");
  const std::size_t b = block_len.value_or(n - std::min(t0, n));
  const std::size_t width = b == 0 ? 1 : std::min(b, n);
  const auto window_mean = [&](std::size_t start) {
    double s = 0.0;
    for (std::size_t k = 0; k < width; ++k) s += std::fabs(z[(start + k) % n]);
    return s / static_cast<double>(width);
  };
  const double observed = window_mean(t0 % n);
  const double tie_rel = kTieUlpsPerTerm * static_cast<double>(width) * std::numeric_limits<double>::epsilon();
  std::size_t count = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double s_j = window_mean(j);
    if (observed - s_j <= tie_rel * std::fmax(observed, s_j)) ++count;
  }
  return static_cast<double>(count) / static_cast<double>(n);
}

CpascFit fit_at(const Panel& panel, std::size_t t0, const CpascOptions& options) {
  const int e = rescale_exponent(panel.y());
  if (e == 0) return fit_unscaled(panel, t0, options);
  CpascOptions at_scale = options;
  at_scale.asc.sc_ridge = rescaled_sq(options.asc.sc_ridge, e);
  if (options.asc.aug_lambda) at_scale.asc.aug_lambda = rescaled_sq(*options.asc.aug_lambda, e);
  return unscaled(fit_unscaled(rescaled(panel, e), t0, at_scale), e);
}

}  // namespace tessarix::sc::cpasc
