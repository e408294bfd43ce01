// Power analysis: the window layout, the weight normalisation and the lift shortcut against a
// fresh fit of the lifted panel.
#include <cmath>
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
  EXPECT_EQ(power_curve(y, treated, lifts, Method::Sc, s).n_windows, 8u);  // starts 1 .. 8
  s.min_pre = 1;
  EXPECT_EQ(power_curve(y, treated, lifts, Method::Sc, s).n_windows, 8u);
  s.lookback = 3;
  EXPECT_EQ(power_curve(y, treated, lifts, Method::Sc, s).n_windows, 3u);  // starts 6, 7, 8
  s.lookback = 0;
  EXPECT_EQ(power_curve(y, treated, lifts, Method::Sc, s).n_windows, 1u);
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
  for (Method m : {Method::Sc, Method::Asc, Method::Sdid, Method::Fp, Method::Rsc}) {
    SCOPED_TRACE(display_name(m));
    PowerSettings s;
    s.test_len = 3;
    s.min_pre = 13;  // one window, periods 13 to 15
    const PowerResult r = power_curve(y, treated, std::vector<double>{0.25}, m, s);
    ASSERT_EQ(r.n_windows, 1u);
    const double fresh = fit_method(injected_subpanel(y, treated, 13, 16, 0.25), 13, m, 0.0, 1.0).att;
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

}  // namespace
}  // namespace tessarix::geo
