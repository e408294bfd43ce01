// Bootstraps of a mean and multiplier sup-t bands: invariants of the resampling schemes, the
// sound answers where the spread cannot be estimated or the sums would overflow, and the
// vectorised band kernel against a plain transcription of the sup statistic, bit for bit.
#include <cmath>
#include <limits>
#include <random>

#include "inference/bootstrap.hpp"
#include "linalg/rng.hpp"
#include "testing.hpp"

namespace tessarix::inference {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Bootstrap = BootstrapMean (*)(std::span<const double>, std::size_t, std::size_t, std::uint64_t, double);
constexpr Bootstrap kBoth[] = {block_bootstrap_mean, stationary_bootstrap_mean};

std::vector<double> noise(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  std::vector<double> x(n);
  for (double& v : x) v = dist(gen);
  return x;
}

TEST(BootstrapMean, DegenerateResamplesAndEquivalentBlockLengths) {
  const std::vector<double> x = noise(23, 1);
  for (Bootstrap boot : kBoth) {
    // A constant series: every replicate adds the same values in the same order as the mean,
    // so there is no spread at all, even where the sum rounds.
    const BootstrapMean c = boot(std::vector<double>(7, 0.1), 3, 50, 4, 0.9);
    EXPECT_EQ(c.replicates, std::vector<double>(50, c.ci.estimate));
    EXPECT_EQ(c.ci.se, 0.0);
    EXPECT_TRUE(c.ci.lower == c.ci.estimate && c.ci.upper == c.ci.estimate);
    EXPECT_EQ(boot(x, 0, 40, 9, 0.95).replicates, boot(x, 1, 40, 9, 0.95).replicates);
    // Fewer than two replicates, or no value at all: no spread can be estimated.
    for (std::size_t reps : {0, 1}) {
      const BootstrapMean b = boot(x, 2, reps, 0, 0.95);
      EXPECT_EQ(b.replicates.size(), reps);
      EXPECT_TRUE(std::isnan(b.ci.se) && std::isnan(b.ci.lower) && std::isnan(b.ci.upper));
    }
    const BootstrapMean empty = boot({}, 2, 100, 0, 0.95);
    EXPECT_TRUE(empty.replicates.empty() && std::isnan(empty.ci.se) && std::isnan(empty.ci.upper));
  }
  // Blocks as long as the series: every replicate is a rotation, so it is the mean up to
  // rounding; longer blocks behave the same, bit for bit.
  const BootstrapMean whole = block_bootstrap_mean(x, x.size(), 200, 3, 0.95);
  for (double r : whole.replicates) EXPECT_NEAR(r, whole.ci.estimate, 1e-15);
  EXPECT_EQ(whole.replicates, block_bootstrap_mean(x, 1000, 200, 3, 0.95).replicates);
}

// Power-of-two scaling commutes with every figure of the bootstrap, bit for bit, as long as
// nothing overflows or falls into the subnormals: a series near the top of the double range
// (whose plain sums would overflow) or near the bottom (whose means would lose digits) gives
// exactly the scaled figures of an ordinary one.
TEST(BootstrapMean, ExtremeMagnitudesAreScaledCopiesOfOrdinaryOnes) {
  std::vector<double> ordinary = noise(15, 3);
  for (double& v : ordinary) v = 1.6 + 0.05 * v;  // near 1.6, far from 2
  for (Bootstrap boot : kBoth) {
    const BootstrapMean base = boot(ordinary, 3, 500, 5, 0.9);
    for (int k : {1023, -1020}) {
      std::vector<double> x = ordinary;
      for (double& v : x) v = std::ldexp(v, k);
      const BootstrapMean b = boot(x, 3, 500, 5, 0.9);
      std::vector<double> scaled = base.replicates;
      for (double& v : scaled) v = std::ldexp(v, k);
      EXPECT_EQ(b.replicates, scaled);
      EXPECT_EQ(b.ci.estimate, std::ldexp(base.ci.estimate, k));
      EXPECT_EQ(b.ci.se, std::ldexp(base.ci.se, k));
      EXPECT_EQ(b.ci.lower, std::ldexp(base.ci.lower, k));
      EXPECT_EQ(b.ci.upper, std::ldexp(base.ci.upper, k));
    }
  }
  const double top = std::numeric_limits<double>::max();
  const BootstrapMean c = stationary_bootstrap_mean(std::vector<double>(9, top), 2, 20, 1, 0.95);
  EXPECT_DOUBLE_EQ(c.ci.estimate, top);
  EXPECT_EQ(c.ci.se, 0.0);
}

// The sup statistic exactly as defined: every multiplier drawn with Xoshiro256pp::mammen,
// every sum from 0 over all units in order, zeros included.
std::vector<double> plain_sup_t(const std::vector<std::vector<double>>& influence, const std::vector<double>& se,
                                std::size_t n_reps, std::uint64_t seed) {
  std::size_t n = 0;
  for (const auto& col : influence) n = std::max(n, col.size());
  std::vector<double> out;
  for (std::size_t r = 0; r < n_reps; ++r) {
    linalg::Xoshiro256pp g = linalg::Xoshiro256pp::substream(seed, r);
    std::vector<double> xi(n);
    for (double& v : xi) v = g.mammen();
    double t = 0.0;
    for (std::size_t e = 0; e < influence.size(); ++e) {
      const std::size_t ne = influence[e].size();
      if (ne == 0 || !(se[e] > 0.0)) continue;
      double s = 0.0;
      for (std::size_t u = 0; u < ne; ++u) s += influence[e][u] * xi[u];
      const double te = std::fabs((s / static_cast<double>(ne)) / se[e]);
      if (!std::isnan(te)) t = std::max(t, te);
    }
    out.push_back(t);
  }
  return out;
}

// Event times of unequal lengths (empty, one unit, past the first block, all 300 units), about
// half of the values exactly zero, standard errors of 0 and NaN, a NaN influence value.
struct RandomBandsCase {
  std::vector<std::vector<double>> influence;
  std::vector<double> att, se;
};

RandomBandsCase random_bands_case(std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  RandomBandsCase c;
  for (std::size_t len : {300, 0, 1, 129, 300, 77, 256, 300, 200}) {
    std::vector<double> col(len);
    for (double& v : col) v = gen() % 2 == 0 ? 0.0 : dist(gen) * (gen() % 3 == 0 ? -0.0 : 1.0);
    c.influence.push_back(col);
    c.att.push_back(dist(gen));
    c.se.push_back(0.02 + std::fabs(dist(gen)) * 0.05);
  }
  c.se[4] = 0.0;
  c.se[5] = kNaN;
  c.influence[7][42] = kNaN;  // this event's statistic is NaN in every replicate: ignored
  return c;
}

TEST(MultiplierBands, KernelMatchesPlainSupStatisticBitForBit) {
  RandomBandsCase c = random_bands_case(1);
  for (std::size_t reps : {1, 16, 37}) {
    EXPECT_EQ(sup_t_replicates(c.influence, c.se, reps, 5), plain_sup_t(c.influence, c.se, reps, 5)) << reps;
  }
  std::vector<double> sorted = plain_sup_t(c.influence, c.se, 37, 5);
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(multiplier_event_bands(c.influence, c.att, c.se, 37, 5, 0.9).crit, quantile_sorted(sorted, 0.9));
  // An event time with a zero standard error leaves every statistic as if it were absent.
  const std::vector<double> with = sup_t_replicates(c.influence, c.se, 20, 8);
  c.influence.erase(c.influence.begin() + 4);
  c.se.erase(c.se.begin() + 4);
  EXPECT_EQ(with, sup_t_replicates(c.influence, c.se, 20, 8));
}

TEST(MultiplierBands, DegenerateInputs) {
  const std::vector<double> att{0.5, -1.25, 2.0};
  const std::vector<double> se{0.1, 0.0, 0.3};
  // Influence identically zero: every statistic is 0, and so are crit and the band widths.
  const std::vector<std::vector<double>> zero(3, std::vector<double>(50, 0.0));
  const EventBands z = multiplier_event_bands(zero, att, se, 99, 1, 0.95);
  EXPECT_EQ(z.crit, 0.0);
  for (std::size_t e = 0; e < 3; ++e) EXPECT_EQ(z.bands[e], std::pair(att[e], att[e]));
  // No unit or no event time: no replicate is drawn.
  const std::vector<std::vector<double>> no_units(3);
  const EventBands u = multiplier_event_bands(no_units, att, se, 0, 1, 0.95);
  EXPECT_EQ(u.crit, 0.0);
  EXPECT_EQ(u.bands[1], std::pair(att[1], att[1]));
  EXPECT_TRUE(multiplier_event_bands({}, {}, {}, 10, 1, 0.95).bands.empty());
  // A zero standard error gives the point band whatever the others do.
  std::vector<std::vector<double>> infl{noise(50, 4), noise(50, 5), noise(50, 6)};
  const EventBands b = multiplier_event_bands(infl, att, se, 99, 1, 0.95);
  EXPECT_GT(b.crit, 0.0);
  EXPECT_EQ(b.bands[1], std::pair(att[1], att[1]));
  EXPECT_TRUE(std::isnan(multiplier_event_bands(infl, att, se, 0, 1, 0.95).crit));
}

// With se_e the standard deviation of the multiplier mean, each T_e is about |N(0, 1)|, so the
// sup over several event times needs a critical value above the pointwise normal quantile,
// and (Bonferroni) at most the normal quantile at 1 - (1 - level) / (2 E).
TEST(MultiplierBands, SupCriticalValueBetweenPointwiseAndBonferroni) {
  constexpr std::size_t kUnits = 2000, kEvents = 6;
  std::vector<std::vector<double>> infl;
  std::vector<double> att(kEvents, 1.0), se;
  for (std::size_t e = 0; e < kEvents; ++e) {
    infl.push_back(noise(kUnits, 10 + e));
    double ss = 0.0;
    for (double v : infl.back()) ss += v * v;
    se.push_back(std::sqrt(ss) / kUnits);
  }
  const double level = 0.95;
  const EventBands b = multiplier_event_bands(infl, att, se, 999, 7, level);
  EXPECT_GT(b.crit, normal_quantile(1.0 - (1.0 - level) / 2.0));
  EXPECT_LT(b.crit, normal_quantile(1.0 - (1.0 - level) / (2.0 * kEvents)) + 0.1);
}

}  // namespace
}  // namespace tessarix::inference
