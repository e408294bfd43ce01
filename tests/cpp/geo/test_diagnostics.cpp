// Design diagnostics: the seasonality, stability and volume rules at their boundaries, the
// warnings they raise, and the fit scores against a direct synthetic-control refit.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "estimators/result.hpp"
#include "estimators/sc/synthetic.hpp"
#include "geo/diagnostics.hpp"
#include "testing.hpp"

namespace tessarix::geo {
namespace {

using testing::random_walks;

// Donors as random walks around 5..11, with market 0 replaced by `treated_row`.
Mat with_treated_row(std::size_t n, const std::vector<double>& treated_row, std::uint64_t seed) {
  Mat y = random_walks(n, treated_row.size(), seed);
  for (std::size_t t = 0; t < treated_row.size(); ++t) y(0, t) = treated_row[t];
  return y;
}

// A series starting at `start` whose successive changes cycle through `pattern`.
std::vector<double> from_changes(double start, const std::vector<double>& pattern, std::size_t len) {
  std::vector<double> x{start};
  for (std::size_t i = 1; i < len; ++i) x.push_back(x.back() + pattern[(i - 1) % pattern.size()]);
  return x;
}

bool warns(const Diagnostics& d, const std::string& fragment) {
  return std::any_of(d.warnings.begin(), d.warnings.end(),
                     [&](const std::string& w) { return w.find(fragment) != std::string::npos; });
}

const std::vector<std::size_t> kFirst{0};

// --- seasonality and stability ------------------------------------------------------------

TEST(GeoDiagnostics, SeasonalCycleOfFourNeedsLagFour) {
  // Changes 3, -1, -1, -1 repeat: the autocorrelation peaks at lag 4 once lags up to 5 are seen.
  const std::vector<double> x = from_changes(20.0, {3, -1, -1, -1}, 13);
  const Diagnostics d = diagnostics(with_treated_row(8, x, 1), kFirst, 1);  // t0 = 12
  EXPECT_NEAR(d.seasonality_strength, 0.6553030303030303, 1e-12);
  EXPECT_TRUE(warns(d, "Seasonality detected (\u22484-period cycle); ensure the test window "
                       "spans comparable seasonal conditions."));
  // With t0 = 7 there are 6 changes, so lags stop at 3 and the cycle is never seen.
  const std::vector<double> shorter(x.begin(), x.begin() + 8);
  EXPECT_EQ(diagnostics(with_treated_row(8, shorter, 1), kFirst, 1).seasonality_strength, 0.0);
}

TEST(GeoDiagnostics, SeasonalityNeedsSixPrePeriods) {
  // Alternating changes correlate positively at lag 2 whenever lag 2 is examined.
  const std::vector<double> x = from_changes(20.0, {1, -1}, 7);
  const Mat y = with_treated_row(7, x, 2);
  EXPECT_EQ(diagnostics(y, kFirst, 2).seasonality_strength, 0.0);  // t0 = 5
  EXPECT_GT(diagnostics(y, kFirst, 1).seasonality_strength, 0.0);  // t0 = 6
}

TEST(GeoDiagnostics, ConstantTreatedSeriesIsStableAndAseasonal) {
  const Diagnostics d = diagnostics(with_treated_row(7, std::vector<double>(14, 9.0), 3), kFirst, 4);
  EXPECT_EQ(d.seasonality_strength, 0.0);
  EXPECT_EQ(d.stability_score, 1.0);
  EXPECT_FALSE(warns(d, "volatile"));
}

// --- fit against a direct synthetic-control refit -----------------------------------------

TEST(GeoDiagnostics, FitScoresMatchSyntheticControlRefit) {
  const Mat y = random_walks(9, 30, 5);
  const std::vector<std::size_t> treated{4, 1};
  const std::size_t test_len = 8, t0 = 22;
  const Diagnostics d = diagnostics(y, treated, test_len);

  const ScFit fit = sc::synthetic::fit_at(Panel::block(y, treated, t0), t0, {});
  std::vector<double> x(t0), z(t0);
  for (std::size_t t = 0; t < t0; ++t) {
    x[t] = (y(4, t) + y(1, t)) / 2.0;
    for (std::size_t u : {0, 2, 3, 5, 6, 7, 8}) z[t] += y(u, t) / 7.0;
  }
  const double sd = std::sqrt(sum_sq_dev(x) / double(t0 - 1));
  EXPECT_NEAR(d.pre_fit_rel, fit.pre_rmspe / sd, 1e-12);

  const double shift = mean(x) - mean(z);
  double ss = 0.0;
  for (std::size_t t = 0; t < t0; ++t) ss += std::pow(x[t] - z[t] - shift, 2);
  const double naive = std::sqrt(ss / double(t0));
  EXPECT_NEAR(d.improvement_vs_naive, std::clamp(1.0 - fit.pre_rmspe / naive, 0.0, 1.0), 1e-12);
  EXPECT_GE(d.confidence, 0.0);
  EXPECT_LE(d.confidence, 100.0);
}

TEST(GeoDiagnostics, SinglePrePeriod) {
  const Mat y = random_walks(6, 2, 6);
  const Diagnostics d = diagnostics(y, kFirst, 1);
  const double r = sc::synthetic::fit_at(Panel::block(y, kFirst, 1), 1, {}).pre_rmspe;
  EXPECT_EQ(d.pre_fit_rel, r / 1e-12);
  EXPECT_EQ(d.seasonality_strength, 0.0);
  EXPECT_EQ(d.stability_score, 1.0);
}

// --- volume share and the design warnings -------------------------------------------------

// Market 0 holds `held` of a total volume of 100 over 4 periods; 5 donors hold the rest.
// Cells are multiples of 1/8, so both sums and the share held / 100 are exact.
Mat volume_panel(double held) {
  Mat y(6, 4);
  double left = 100.0 - held;
  for (std::size_t t = 0; t < 4; ++t) {
    y(0, t) = held / 4.0;
    for (std::size_t u = 1; u < 6; ++u) {
      y(u, t) = 1.0 + double((u + t) % 2);
      left -= y(u, t);
    }
  }
  y(5, 3) += left;
  return y;
}

// The volume score implied by the confidence and the other (stored) scores.
double implied_volume_score(const Diagnostics& d) {
  const double f = std::clamp(1.0 - d.pre_fit_rel, 0.0, 1.0);
  const double rest = 0.2 * d.improvement_vs_naive + 0.25 * d.stability_score + 0.4 * f;
  return (d.confidence / 100.0 - rest) / 0.15;
}

TEST(GeoDiagnostics, VolumeShareBoundaries) {
  struct Case {
    double held;
    double score;  // volume score
    bool small;    // "only ..% of volume"
    bool large;    // "..% of volume — a large holdout"
  };
  for (const Case& c : {Case{1.5, 0.5, true, false}, Case{1.75, 1.75 / 3.0, true, false},
                        Case{2.0, 2.0 / 3.0, false, false}, Case{3.0, 1.0, false, false},
                        Case{35.0, 1.0, false, false}, Case{45.0, 1.0 - 10.0 / 35.0, false, false},
                        Case{46.0, 1.0 - 11.0 / 35.0, false, true}, Case{52.5, 0.5, false, true}}) {
    const Diagnostics d = diagnostics(volume_panel(c.held), kFirst, 1);
    EXPECT_DOUBLE_EQ(d.holdout_pct, c.held / 100.0) << c.held;
    EXPECT_NEAR(implied_volume_score(d), c.score, 1e-9) << c.held;
    EXPECT_EQ(warns(d, "% of volume \u2014 likely too small"), c.small) << c.held;
    EXPECT_EQ(warns(d, "% of volume \u2014 a large holdout"), c.large) << c.held;
  }
  EXPECT_TRUE(warns(diagnostics(volume_panel(1.5), kFirst, 1),
                    "Treated markets are only 1.5% of volume \u2014 likely too small to detect "
                    "realistic lifts."));
}

TEST(GeoDiagnostics, DonorPoolAndHistoryWarnings) {
  const std::string few = "Only 4 donor markets; synthetic control needs a richer donor pool for a "
                          "stable counterfactual.";
  EXPECT_TRUE(warns(diagnostics(random_walks(5, 12, 7), kFirst, 2), few));
  EXPECT_FALSE(warns(diagnostics(random_walks(6, 12, 7), kFirst, 2), "donor markets"));

  EXPECT_TRUE(warns(diagnostics(random_walks(8, 29, 8), kFirst, 10),
                    "Short pre-period (19 periods) relative to the 10-period test; more history "
                    "improves the fit."));
  EXPECT_FALSE(warns(diagnostics(random_walks(8, 30, 8), kFirst, 10), "Short pre-period"));
}

TEST(GeoDiagnostics, TestLengthMustLeaveAPrePeriod) {
  const Mat y = random_walks(4, 6, 9);
  for (std::size_t bad : {0, 6}) {
    testing::expect_invariant([&] { diagnostics(y, kFirst, bad); },
                              "test_len must be in [1, n_periods); got " + std::to_string(bad) +
                                  " with 6 periods");
  }
}

TEST(GeoDiagnostics, UnitAverage) {
  const Mat y = Mat::from_col_major(3, 2, {1, 2, 4, 8, 16, 32});
  EXPECT_EQ(unit_avg(y, std::vector<std::size_t>{2, 0}), (std::vector<double>{2.5, 20.0}));
  EXPECT_EQ(unit_avg(y, std::vector<std::size_t>{}), (std::vector<double>{0.0, 0.0}));
}

}  // namespace
}  // namespace tessarix::geo
