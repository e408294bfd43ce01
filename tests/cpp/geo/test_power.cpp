// Power analysis: the window layout, the weight normalisation, the lift shortcut against a
// fresh fit of the lifted panel, and the placebo windows behind a curve's threshold.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "geo/power.hpp"
#include "testing.hpp"

namespace tessarix::geo {
namespace {

TEST(PowerCurve, WindowLayout) {
  const Mat y = testing::random_walks(8, 10, 3);
  const std::vector<std::size_t> treated{0};
  const std::vector<double> lifts{0.0};
  PowerSettings s;
  s.test_len = 2;
  EXPECT_EQ(power_curve(y, treated, lifts, sc::method_named("sc"), s).n_windows, 8u);  // starts 1 .. 8
  s.min_pre = 1;
  EXPECT_EQ(power_curve(y, treated, lifts, sc::method_named("sc"), s).n_windows, 8u);
  s.lookback = 3;
  EXPECT_EQ(power_curve(y, treated, lifts, sc::method_named("sc"), s).n_windows, 3u);  // starts 6, 7, 8
  s.lookback = 0;
  EXPECT_EQ(power_curve(y, treated, lifts, sc::method_named("sc"), s).n_windows, 1u);
  testing::expect_invariant([&] { power_curve_ensemble(y, treated, lifts, {}, std::nullopt, s); },
                            "ensemble needs at least one member");
}

TEST(NormalizeWeights, Examples) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double third = 1.0 / 3.0;
  EXPECT_EQ(normalize_weights(std::vector<double>{-1.0, nan, 0.0}), (std::vector<double>{third, third, third}));
  EXPECT_EQ(normalize_weights(std::vector<double>{2.0, 1.0, 1.0}), (std::vector<double>{0.5, 0.25, 0.25}));
  EXPECT_TRUE(normalize_weights(std::vector<double>{}).empty());
  // Weights whose sum overflows keep their proportions.
  EXPECT_EQ(normalize_weights(std::vector<double>{1e308, 1e308, 5e307, 5e307}),
            (std::vector<double>{third, third, third / 2, third / 2}));
}

TEST(PowerCurve, LiftedEstimateEqualsAFreshFit) {
  const Mat y = testing::random_walks(9, 16, 5);
  const std::vector<std::size_t> treated{1, 4};
  for (const sc::MethodEntry& m : sc::methods()) {
    if (!m.by_name) continue;  // the power analysis passes outcomes alone
    SCOPED_TRACE(m.name);
    PowerSettings s;
    s.test_len = 3;
    s.min_pre = 13;  // one window, periods 13 to 15
    const PowerResult r = power_curve(y, treated, std::vector<double>{0.25}, m, s);
    ASSERT_EQ(r.n_windows, 1u);
    const double fresh = windowed_method(m, s).fit_at(injected_subpanel(y, treated, 13, 16, 0.25), 13).att;
    // The relative estimate is the ATT over the treated markets' mean level.
    double level = 0.0;
    for (std::size_t u : treated) {
      double sum = 0.0;
      for (std::size_t t = 0; t < y.cols(); ++t) sum += y(u, t);
      level += sum / double(y.cols()) / double(treated.size());
    }
    EXPECT_NEAR(r.points[0].est_mean * level, fresh, 1e-12 * std::fabs(fresh));
  }
}

// The 1 - alpha quantile of |x| (linear interpolation between order statistics) and the
// sample deviation of x: what a curve's threshold and se_null are made of.
double abs_quantile(std::vector<double> x, double q) {
  for (double& v : x) v = std::fabs(v);
  std::sort(x.begin(), x.end());
  const double h = q * double(x.size() - 1);
  const double f = h - std::floor(h);
  return (1.0 - f) * x[std::size_t(std::floor(h))] + f * x[std::size_t(std::ceil(h))];
}

double sample_sd(const std::vector<double>& x) {
  double m = 0.0;
  for (double v : x) m += v;
  m /= double(x.size());
  double ss = 0.0;
  for (double v : x) ss += (v - m) * (v - m);
  return std::sqrt(ss / double(x.size() - 1));
}

// Each window's no-lift estimate is a fresh fit of its sub-panel (for an ensemble, the fresh
// member fits combined with the curve's weights), and the curve's threshold, spread and count
// follow from them.
TEST(PowerWindows, AreTheNullEstimatesBehindTheCurve) {
  const Mat y = testing::random_walks(9, 14, 7);
  const std::vector<std::size_t> treated{2, 6};
  const std::vector<double> lifts{0.0, 0.1};
  PowerSettings s;
  s.test_len = 3;
  s.min_pre = 4;
  s.alpha = 0.2;
  const sc::MethodEntry& asc = sc::method_named("asc");
  const std::vector<const sc::MethodEntry*> members{&sc::method_named("sc"), &sc::method_named("fp"),
                                                    &sc::method_named("sdid")};
  struct Case {
    std::optional<std::vector<double>> weights;
    std::optional<std::size_t> lookback;
  };
  for (const Case& c : {Case{std::nullopt, std::nullopt}, Case{std::vector<double>{2.0, 0.0, 1.0}, 5}}) {
    s.lookback = c.lookback;
    const std::vector<std::size_t> starts =
        c.lookback ? std::vector<std::size_t>{7, 8, 9, 10, 11} : std::vector<std::size_t>{4, 5, 6, 7, 8, 9, 10, 11};

    const PowerWindows one = power_windows(y, treated, asc, s);
    const PowerResult one_curve = power_curve(y, treated, lifts, asc, s);
    const PowerWindows ens = power_windows_ensemble(y, treated, members, c.weights, s);
    const PowerResult ens_curve = power_curve_ensemble(y, treated, lifts, members, c.weights, s);
    EXPECT_EQ(one.starts, starts);
    EXPECT_EQ(ens.starts, starts);
    EXPECT_FALSE(one.weights);
    ASSERT_TRUE(ens.weights);
    EXPECT_EQ(*ens.weights, *ens_curve.ensemble_weights);
    if (c.weights) {
      EXPECT_EQ(*ens.weights, (std::vector<double>{2.0 / 3.0, 0.0, 1.0 / 3.0}));
    }

    ASSERT_EQ(one.null_att.size(), starts.size());
    ASSERT_EQ(ens.null_att.size(), starts.size());
    for (std::size_t w = 0; w < starts.size(); ++w) {
      const Panel sub = injected_subpanel(y, treated, starts[w], starts[w] + s.test_len, 0.0);
      EXPECT_EQ(one.null_att[w], windowed_method(asc, s).fit_at(sub, starts[w]).att);
      double combined = 0.0;
      for (std::size_t k = 0; k < members.size(); ++k) {
        combined += (*ens.weights)[k] * windowed_method(*members[k], s).fit_at(sub, starts[w]).att;
      }
      EXPECT_EQ(ens.null_att[w], combined);
    }
    for (const auto& [win, curve] : {std::pair{&one, &one_curve}, std::pair{&ens, &ens_curve}}) {
      EXPECT_EQ(curve->n_windows, win->null_att.size());
      EXPECT_EQ(curve->critical_value, abs_quantile(win->null_att, 1.0 - s.alpha));
      EXPECT_EQ(curve->se_null, sample_sd(win->null_att));
    }
  }
}

// Every window's estimate without lift, which an SDID analysis fits from one time Gram per
// canonical scale of its windows, against a fresh fit of that window: the same bits. The
// panel is seasonal with noise (so that the time weights spread over several periods), at
// about a third, with one market's values 0.7 at period 9 and 1.5 at period 15: its windows
// fall into three canonical scales.
TEST(PowerWindows, EachEstimateIsThatOfAFreshFit) {
  Mat y = testing::random_mat(10, 24, 9);
  for (std::size_t u = 0; u < y.rows(); ++u)
    for (std::size_t k = 0; k < y.cols(); ++k) {
      y(u, k) = 0.01 * (20.0 + double(u % 5) + 4.0 * std::sin(double(k)) + y(u, k));
    }
  y(4, 9) = 0.7;
  y(4, 15) = 1.5;
  const std::vector<std::size_t> treated{2, 7};
  for (const char* name : {"sdid", "sc"}) {
    SCOPED_TRACE(name);
    PowerSettings s;
    s.test_len = 2;
    s.min_pre = 3;
    const PowerWindows w = power_windows(y, treated, sc::method_named(name), s);
    ASSERT_EQ(w.starts.size(), 20u);
    const sc::Method m = windowed_method(sc::method_named(name), s);
    for (std::size_t i = 0; i < w.starts.size(); ++i) {
      const std::size_t st = w.starts[i];
      const double fresh = m.fit_at(injected_subpanel(y, treated, st, st + s.test_len, 0.0), st).att;
      EXPECT_EQ(std::memcmp(&w.null_att[i], &fresh, sizeof fresh), 0) << st << ": " << w.null_att[i] << " vs " << fresh;
    }
  }
}

}  // namespace
}  // namespace tessarix::geo
