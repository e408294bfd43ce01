#include "estimators/did/bacon.hpp"

#include <cmath>
#include <span>

#include "estimators/scale.hpp"

namespace tessarix::did::bacon {
namespace {

// Per-period outcome sums over one group of units, and the group's size: every 2x2 mean is
// a window of these.
struct GroupSums {
  std::vector<double> period_sum;
  std::size_t size = 0;
};

GroupSums group_sums(const Mat& y, std::span<const std::size_t> units) {
  GroupSums g{std::vector<double>(y.cols(), 0.0), units.size()};
  for (std::size_t t = 0; t < y.cols(); ++t) {
    const std::span<const double> col = y.col(t);
    double s = 0.0;
    for (std::size_t u : units) s += col[u];
    g.period_sum[t] = s;
  }
  return g;
}

// Mean outcome of the group over periods a <= t < b; 0 for an empty group or window.
double window_mean(const GroupSums& g, std::size_t a, std::size_t b) {
  if (g.size == 0 || a >= b) return 0.0;
  double s = 0.0;
  for (std::size_t t = a; t < b; ++t) s += g.period_sum[t];
  return s / (static_cast<double>(g.size) * static_cast<double>(b - a));
}

// Change of a group's mean from the window [a, b) to the window [b, c).
double change(const GroupSums& g, std::size_t a, std::size_t b, std::size_t c) {
  return window_mean(g, b, c) - window_mean(g, a, b);
}

struct TimingGroup {
  std::size_t cohort = 0;
  GroupSums sums;
  double share_treated = 0.0;  // D_k: share of the periods in which the cohort is treated
};

std::vector<TimingGroup> timing_groups(const Panel& panel) {
  const double t_count = static_cast<double>(panel.n_periods());
  std::vector<TimingGroup> groups;
  for (std::size_t k : panel.cohorts()) {
    if (k == 0) continue;  // treated from the first period: no pre-period, no comparison
    std::vector<std::size_t> units;
    for (std::size_t u = 0; u < panel.n_units(); ++u) {
      if (panel.treat_start()[u] == k) units.push_back(u);
    }
    groups.push_back({k, group_sums(panel.y(), units), (t_count - static_cast<double>(k)) / t_count});
  }
  return groups;
}

// Raw variance weight of cohort k against the never-treated group.
double untreated_weight(double n_k, double n_u, double n_tot, double d_k) {
  const double w = (n_k + n_u) / n_tot;
  const double r = n_k / (n_k + n_u);
  return w * w * r * (1.0 - r) * d_k * (1.0 - d_k);
}

// Raw variance weight of earlier cohort k against later cohort l before l adopts.
double earlier_weight(double n_k, double n_l, double n_tot, double d_k, double d_l) {
  const double w = (n_k + n_l) / n_tot * (1.0 - d_l);
  const double m = n_k / (n_k + n_l);
  return w * w * m * (1.0 - m) * ((d_k - d_l) / (1.0 - d_l)) * ((1.0 - d_k) / (1.0 - d_l));
}

// Raw variance weight of later cohort l against earlier cohort k after k adopted.
double later_weight(double n_k, double n_l, double n_tot, double d_k, double d_l) {
  const double w = (n_k + n_l) / n_tot * d_k;
  const double m = n_k / (n_k + n_l);
  return w * w * m * (1.0 - m) * (d_l / d_k) * ((d_k - d_l) / d_k);
}

// Appends every comparison with its raw weight in the `weight` field.
std::vector<Component> raw_components(const Panel& panel) {
  const std::size_t t_count = panel.n_periods();
  const std::vector<TimingGroup> groups = timing_groups(panel);
  const GroupSums never = group_sums(panel.y(), panel.never_treated_units());
  const double n_u = static_cast<double>(never.size);
  double n_tot = n_u;
  for (const TimingGroup& g : groups) n_tot += static_cast<double>(g.sums.size);

  std::vector<Component> out;
  if (never.size > 0) {
    for (const TimingGroup& g : groups) {
      const std::size_t k = g.cohort;
      const double estimate = change(g.sums, 0, k, t_count) - change(never, 0, k, t_count);
      out.push_back({BaconKind::TreatedVsUntreated, k, std::nullopt,
                     untreated_weight(static_cast<double>(g.sums.size), n_u, n_tot, g.share_treated),
                     estimate});
    }
  }
  for (std::size_t i = 0; i < groups.size(); ++i) {
    for (std::size_t j = i + 1; j < groups.size(); ++j) {
      const TimingGroup& e = groups[i];
      const TimingGroup& l = groups[j];
      const std::size_t k = e.cohort;
      const std::size_t m = l.cohort;
      const double n_k = static_cast<double>(e.sums.size);
      const double n_l = static_cast<double>(l.sums.size);
      out.push_back({BaconKind::EarlierVsLater, k, m,
                     earlier_weight(n_k, n_l, n_tot, e.share_treated, l.share_treated),
                     change(e.sums, 0, k, m) - change(l.sums, 0, k, m)});
      out.push_back({BaconKind::LaterVsEarlierForbidden, m, k,
                     later_weight(n_k, n_l, n_tot, e.share_treated, l.share_treated),
                     change(l.sums, k, m, t_count) - change(e.sums, k, m, t_count)});
    }
  }
  return out;
}

BaconDecomposition decompose_in_range(const Panel& panel) {
  BaconDecomposition out;
  out.components = raw_components(panel);
  double total = 0.0;
  for (const Component& c : out.components) total += c.weight;
  for (Component& c : out.components) {
    c.weight = total > 0.0 ? c.weight / total : 0.0;
    out.twfe += c.estimate * c.weight;
    if (c.kind == BaconKind::LaterVsEarlierForbidden) out.forbidden_weight += c.weight;
  }
  return out;
}

}  // namespace

BaconDecomposition decompose(const Panel& panel) {
  // Group sums of outcomes near the top of the double range overflow; the estimates are
  // linear in the outcomes and the weights do not depend on them.
  return linear_fit_at_canonical_scale(panel, decompose_in_range, [](BaconDecomposition& d, int e) {
    for (Component& c : d.components) c.estimate = std::ldexp(c.estimate, e);
    d.twfe = std::ldexp(d.twfe, e);
  });
}

}  // namespace tessarix::did::bacon
