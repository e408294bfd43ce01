// The staggered-adoption estimators against oracles written another way: the TWFE fit for
// the Goodman-Bacon identity, a dense QR regression for Sun-Abraham, and direct means for
// Callaway-Sant'Anna.
#include <cmath>
#include <numeric>

#include "estimators/did/bacon.hpp"
#include "estimators/did/callaway.hpp"
#include "estimators/did/sunab.hpp"
#include "estimators/did/twfe.hpp"
#include "estimators/fe/within.hpp"
#include "linalg/solve/lstsq.hpp"
#include "testing.hpp"

namespace tessarix {
namespace {

using testing::random_walks;
using did::callaway::ControlGroup;
using Starts = std::vector<Panel::TreatStart>;
constexpr auto kNever = std::nullopt;

// Random-walk outcomes plus a growing effect from each unit's start.
Panel staggered(std::size_t t, const Starts& starts, std::uint64_t seed) {
  Mat y = random_walks(starts.size(), t, seed);
  for (std::size_t u = 0; u < starts.size(); ++u) {
    if (!starts[u]) continue;
    for (std::size_t k = *starts[u]; k < t; ++k) y(u, k) += 1.0 + 0.2 * double(k - *starts[u]);
  }
  return Panel(y, starts);
}

const std::vector<Starts> kDesigns = {
    {3, 3, 3, kNever, kNever, kNever, kNever},                   // one cohort
    {2, 2, 5, 5, 5, 7, kNever, kNever, kNever},                  // three cohorts
    {2, 2, 4, 4, 4, 6, 6},                                       // no never-treated unit
    {1, 1, 3, 3, 3, 6, 6, kNever, kNever, kNever, kNever, kNever}  // a cohort adopting at 1
};

TEST(BaconDecompose, ReproducesTwfeWithUnitWeights) {
  for (std::size_t i = 0; i < kDesigns.size(); ++i) {
    SCOPED_TRACE(i);
    const Panel p = staggered(8, kDesigns[i], 40 + i);
    const did::bacon::BaconDecomposition d = did::bacon::decompose(p);
    const std::size_t g = p.cohorts().size();
    const bool has_never = !p.never_treated_units().empty();
    EXPECT_EQ(d.components.size(), (has_never ? g : 0) + g * (g - 1));
    double total = 0.0, forbidden = 0.0;
    for (const auto& c : d.components) {
      total += c.weight;
      if (c.kind == did::bacon::BaconKind::LaterVsEarlierForbidden) forbidden += c.weight;
      EXPECT_EQ(c.comparison_cohort.has_value(), c.kind != did::bacon::BaconKind::TreatedVsUntreated);
    }
    EXPECT_NEAR(total, 1.0, 1e-14);
    EXPECT_DOUBLE_EQ(d.forbidden_weight, forbidden);
    const double twfe = did::twfe::fit(p).att;
    EXPECT_NEAR(d.twfe, twfe, 1e-10 * std::fabs(twfe));
  }
}

TEST(BaconDecompose, IgnoresUnitsTreatedFromTheStart) {
  const Panel p = staggered(8, {2, 2, 5, 5, kNever, kNever, 0, 0}, 7);
  const Starts without{2, 2, 5, 5, kNever, kNever};
  Mat y(6, 8);
  for (std::size_t u = 0; u < 6; ++u)
    for (std::size_t k = 0; k < 8; ++k) y(u, k) = p.y()(u, k);
  const auto a = did::bacon::decompose(p);
  const auto b = did::bacon::decompose(Panel(y, without));
  ASSERT_EQ(a.components.size(), b.components.size());
  for (std::size_t i = 0; i < a.components.size(); ++i) {
    EXPECT_EQ(a.components[i].estimate, b.components[i].estimate);
    EXPECT_EQ(a.components[i].weight, b.components[i].weight);
  }
}

// Dense Sun-Abraham: every interaction column within-transformed and stacked, solved by QR,
// with the unit-clustered sandwich formed from the N T x P design.
struct DenseSa {
  std::vector<double> beta;
  Mat v;
};

DenseSa dense_sunab(const Panel& p) {
  const std::size_t n = p.n_units(), t = p.n_periods();
  std::vector<std::pair<std::size_t, std::size_t>> pairs;  // (cohort, period)
  for (std::size_t g : p.cohorts())
    for (std::size_t k = 0; k < t; ++k)
      if (k + 1 != g) pairs.push_back({g, k});
  Mat x(n * t, pairs.size());
  for (std::size_t j = 0; j < pairs.size(); ++j) {
    Mat d(n, t);
    for (std::size_t u = 0; u < n; ++u)
      if (p.treat_start()[u] == pairs[j].first) d(u, pairs[j].second) = 1.0;
    const Mat w = fe::two_way_within(d);
    std::copy(w.data().begin(), w.data().end(), x.col(j).begin());
  }
  const Mat yw = fe::two_way_within(p.y());
  DenseSa out{*linalg::ols(x, yw.data()), Mat(pairs.size(), pairs.size())};
  std::vector<double> eps(yw.data().begin(), yw.data().end());
  for (std::size_t j = 0; j < pairs.size(); ++j)
    for (std::size_t r = 0; r < eps.size(); ++r) eps[r] -= x(r, j) * out.beta[j];
  const std::size_t np = pairs.size();
  Mat meat(np, np), xtx(np, np);
  for (std::size_t u = 0; u < n; ++u) {
    std::vector<double> s(np, 0.0);
    for (std::size_t j = 0; j < np; ++j)
      for (std::size_t k = 0; k < t; ++k) s[j] += eps[k * n + u] * x(k * n + u, j);
    for (std::size_t a = 0; a < np; ++a)
      for (std::size_t b = 0; b < np; ++b) meat(a, b) += s[a] * s[b];
  }
  for (std::size_t a = 0; a < np; ++a)
    for (std::size_t b = 0; b < np; ++b)
      for (std::size_t r = 0; r < n * t; ++r) xtx(a, b) += x(r, a) * x(r, b);
  // (X'X)^-1 by solving against the identity through least squares.
  Mat inv(np, np);
  for (std::size_t k = 0; k < np; ++k) {
    std::vector<double> e(np, 0.0);
    e[k] = 1.0;
    const auto col = *linalg::ols(xtx, e);
    std::copy(col.begin(), col.end(), inv.col(k).begin());
  }
  for (std::size_t a = 0; a < np; ++a)
    for (std::size_t b = 0; b < np; ++b) {
      double s = 0.0;
      for (std::size_t c = 0; c < np; ++c)
        for (std::size_t d = 0; d < np; ++d) s += inv(a, c) * meat(c, d) * inv(d, b);
      out.v(a, b) = s;
    }
  return out;
}

TEST(SunabFit, SingleCohortEventStudyIsTheDenseRegression) {
  // One cohort: every event-study coefficient is its interaction coefficient (weight 1).
  const Panel p = staggered(7, {3, 3, 3, 3, kNever, kNever, kNever, kNever, kNever}, 11);
  const did::sunab::SaResult r = did::sunab::fit(p);
  const DenseSa d = dense_sunab(p);
  ASSERT_EQ(r.event.size(), 6u);  // T - 1 relative periods, -1 left out
  for (std::size_t j = 0; j < r.event.size(); ++j) {
    SCOPED_TRACE(j);
    EXPECT_EQ(r.event[j].key, std::int64_t(j < 2 ? j : j + 1) - 3);
    EXPECT_NEAR(r.event[j].att, d.beta[j], 1e-11);
    EXPECT_NEAR(r.event[j].se, std::sqrt(d.v(j, j)), 1e-9 * std::sqrt(d.v(j, j)));
    EXPECT_TRUE(r.event[j].influence.empty());
  }
}

TEST(SunabFit, DropsUnitsTreatedFromTheStartAndNeedsAReference) {
  const Panel with_zero = staggered(6, {2, 2, 4, 0, 0, kNever, kNever, kNever}, 5);
  Mat y(6, 6);
  for (std::size_t u = 0; u < 6; ++u)
    for (std::size_t k = 0; k < 6; ++k) y(u, k) = with_zero.y()(u < 3 ? u : u + 2, k);
  const auto a = did::sunab::fit(with_zero);
  const auto b = did::sunab::fit(Panel(y, {2, 2, 4, kNever, kNever, kNever}));
  EXPECT_EQ(a.att, b.att);
  EXPECT_EQ(a.se, b.se);
  testing::expect_invariant([] { did::sunab::fit(Panel(Mat(3, 4), {1, 2, 0})); },
                            "Sun\u2013Abraham (this variant) uses never-treated units");
}

// Mean of y(u, t) - y(u, b) over the listed units.
double mean_change(const Panel& p, const std::vector<std::size_t>& units, std::size_t t, std::size_t b) {
  double s = 0.0;
  for (std::size_t u : units) s += p.y()(u, t) - p.y()(u, b);
  return s / double(units.size());
}

TEST(CallawayFit, CellsAreDifferencesOfMeanChanges) {
  const Starts starts{2, 2, 4, 4, 4, 6, kNever, kNever, kNever};
  const Panel p = staggered(8, starts, 23);
  for (ControlGroup control : {ControlGroup::NeverTreated, ControlGroup::NotYetTreated}) {
    const bool not_yet = control == ControlGroup::NotYetTreated;
    SCOPED_TRACE(not_yet);
    const auto r = did::callaway::fit_with_anticipation(p, {control});
    for (const auto& c : r.group_time) {
      const std::size_t b = c.cohort - 1;
      std::vector<std::size_t> treated, ctrl;
      for (std::size_t u = 0; u < starts.size(); ++u) {
        if (starts[u] == c.cohort) treated.push_back(u);
        const bool later = starts[u] && *starts[u] != c.cohort && *starts[u] > std::max(c.period, b);
        if (!starts[u] || (not_yet && later)) ctrl.push_back(u);
      }
      const double mt = mean_change(p, treated, c.period, b);
      const double mc = mean_change(p, ctrl, c.period, b);
      EXPECT_NEAR(c.att, mt - mc, 1e-12);
      EXPECT_NE(c.period, b);
      // SE from the influence function of a difference of two means.
      const double n = double(starts.size());
      double sq = 0.0;
      for (std::size_t u : treated) sq += std::pow((p.y()(u, c.period) - p.y()(u, b) - mt) * n / double(treated.size()), 2);
      for (std::size_t u : ctrl) sq += std::pow((p.y()(u, c.period) - p.y()(u, b) - mc) * n / double(ctrl.size()), 2);
      EXPECT_NEAR(c.se, std::sqrt(sq) / n, 1e-12);
    }
  }
}

TEST(CallawayFit, NeverTreatedControlsNeedANeverTreatedUnit) {
  const Panel p = staggered(7, {2, 2, 4, 4, 5, 5}, 13);
  testing::expect_invariant([&] { did::callaway::fit_with_anticipation(p, {}); },
                            "Callaway\u2013Sant'Anna (never-treated variant) needs never-treated units");
  // Not-yet-treated controls do without: the last cohort's cells have none and are left out.
  const auto r = did::callaway::fit_with_anticipation(p, {ControlGroup::NotYetTreated});
  ASSERT_FALSE(r.group_time.empty());
  for (const auto& c : r.group_time) EXPECT_NE(c.cohort, 5u);
}

TEST(CallawayFit, CellsComputedSideBySideEqualCellsComputedInAPairPanel) {
  // The cells of a cohort are computed several at a time. Cell (g, t) depends only on columns
  // t and b = g - 1 and on who is treated, so the panel [t, b, t] with cohort g at period 2
  // (other cohorts at period 1, never-treated kept) has two copies of it, computed as a pair.
  const std::size_t n = 37, t = 14;
  Starts starts(n);
  for (std::size_t u = 0; u < n; ++u) {
    if (u % 3 != 0) starts[u] = u % 3 == 1 ? 4 : 9;
  }
  const Panel p = staggered(t, starts, 41);
  const auto full = did::callaway::fit_with_anticipation(p, {});
  ASSERT_EQ(full.group_time.size(), 2 * (t - 1));
  for (const auto& c : full.group_time) {
    SCOPED_TRACE(::testing::Message() << "cohort " << c.cohort << " period " << c.period);
    Mat y(n, 3);
    Starts pair(n);
    for (std::size_t u = 0; u < n; ++u) {
      for (std::size_t k = 0; k < 3; ++k) y(u, k) = p.y()(u, k == 1 ? c.cohort - 1 : c.period);
      if (starts[u]) pair[u] = *starts[u] == c.cohort ? 2 : 1;
    }
    const auto r = did::callaway::fit_with_anticipation(Panel(y, pair), {});
    for (const auto& d : r.group_time) {
      if (d.cohort != 2) continue;
      EXPECT_EQ(d.att, c.att);
      EXPECT_EQ(d.se, c.se);
    }
  }
}

TEST(CallawayFit, SingleCohortAggregatesAreTheCells) {
  const Panel p = staggered(7, {3, 3, 3, kNever, kNever, kNever, kNever}, 31);
  const auto r = did::callaway::fit_with_anticipation(p, {});
  ASSERT_EQ(r.event.size(), r.group_time.size());
  double post = 0.0;
  int n_post = 0;
  for (std::size_t i = 0; i < r.event.size(); ++i) {
    EXPECT_EQ(r.event[i].key, r.group_time[i].event_time);
    EXPECT_NEAR(r.event[i].att, r.group_time[i].att, 1e-13);
    EXPECT_NEAR(r.event[i].se, r.group_time[i].se, 1e-12);
    if (r.group_time[i].event_time >= 0) post += r.group_time[i].att, ++n_post;
  }
  ASSERT_EQ(r.group.size(), 1u);
  EXPECT_NEAR(r.group[0].att, post / n_post, 1e-13);
  EXPECT_NEAR(r.overall_group_att, r.group[0].att, 1e-13);
  EXPECT_NEAR(r.att, r.group[0].att, 1e-13);
}

TEST(CallawayFit, AnticipationShiftsTheBasePeriod) {
  const Panel p = staggered(8, {1, 1, 3, 3, 5, kNever, kNever, kNever}, 9);
  const auto r = did::callaway::fit_with_anticipation(p, {.anticipation = 1});
  for (const auto& c : r.group_time) {
    EXPECT_NE(c.cohort, 1u);  // no base period before period 0
    EXPECT_NE(c.period, c.cohort - 2);
  }
  // Event time -1 is estimated but stays out of the post-treatment aggregates.
  for (const auto& g : r.group) EXPECT_GT(g.key, 1);
  EXPECT_EQ(r.event.front().key, -5);
}

TEST(CallawayFit, CovariatesRemoveALinearConfounder) {
  // Outcome trends that depend on a covariate bias the unadjusted comparison; the outcome
  // regression removes them exactly when they are linear in it.
  const std::size_t n = 40, t = 6;
  Mat y = random_walks(n, t, 3, 5.0, 0.0);  // flat paths
  Mat x(n, 1);
  Starts s(n);
  for (std::size_t u = 0; u < n; ++u) {
    x(u, 0) = double(u % 5) + (u < 15 ? 3.0 : 0.0);
    if (u < 15) s[u] = 3;
    for (std::size_t k = 0; k < t; ++k) {
      y(u, k) += 0.7 * x(u, 0) * double(k);
      if (s[u] && k >= 3) y(u, k) += 2.0;
    }
  }
  const auto plain = did::callaway::fit_with_anticipation(Panel(y, s), {});
  const auto adjusted = did::callaway::fit_with_anticipation(Panel(y, s).with_covariates(x), {});
  EXPECT_GT(std::fabs(plain.att - 2.0), 1.0);
  EXPECT_NEAR(adjusted.att, 2.0, 1e-10);
}

}  // namespace
}  // namespace tessarix
