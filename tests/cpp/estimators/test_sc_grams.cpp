// SDID and SC fits from Gram matrices formed elsewhere (over more units or more periods, then
// cut down) against the fits that form their own: the same bits in every field, at any
// canonical scale; the Gram builders against a plain re-derivation; and a changed Gram
// changing the fit, so that the given one is the one used.
#include <cmath>
#include <cstring>
#include <vector>

#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"
#include "estimators/scale.hpp"
#include "testing.hpp"

namespace tessarix::sc {
namespace {

// Bitwise equality of two doubles (NaN payloads included).
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_bits(std::span<const double> a, std::span<const double> b, const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(same_bits(a[i], b[i])) << what << " " << i << ": " << a[i] << " vs " << b[i];
}

void expect_same_fit(const ScFit& a, const ScFit& b) {
  EXPECT_TRUE(same_bits(a.att, b.att)) << a.att << " vs " << b.att;
  EXPECT_TRUE(same_bits(a.pre_rmspe, b.pre_rmspe));
  EXPECT_TRUE(same_bits(a.post_rmspe, b.post_rmspe));
  expect_same_bits(a.weights, b.weights, "weights");
  expect_same_bits(a.counterfactual, b.counterfactual, "counterfactual");
  expect_same_bits(a.att_path, b.att_path, "att_path");
  expect_same_bits(a.pre_gap, b.pre_gap, "pre_gap");
  EXPECT_EQ(a.donor_ids, b.donor_ids);
}

// The rows and columns `keep` of g.
Mat sub_block(const Mat& g, std::span<const std::size_t> keep) {
  Mat out(keep.size(), keep.size());
  for (std::size_t c = 0; c < keep.size(); ++c)
    for (std::size_t r = 0; r < keep.size(); ++r) out(r, c) = g(keep[r], keep[c]);
  return out;
}

// Panels of random walks at three magnitudes: ordinary, and far below and above the range
// fitted as it is, where the fit runs at a rescaled copy and the Gram must be of that copy.
std::vector<Mat> panels(std::size_t n, std::size_t t, std::uint64_t seed) {
  const Mat y = testing::random_walks(n, t, seed);
  return {y, rescaled(y, -40), rescaled(y, 130)};
}

TEST(SdidGivenGrams, MatchTheFitThatFormsThem) {
  const std::vector<std::size_t> treated{0, 3};
  const std::size_t t_count = 20;
  const std::vector<sdid::SdidOptions> options{{}, {.min_weight = 0.02, .max_weight = 0.4}, {.zeta_scale = 3.0}};
  for (const Mat& y : panels(11, t_count, 7)) {
    for (std::size_t t0 : {3, 9, 16}) {
      const Panel panel = Panel::block(y, treated, t0);
      const int e = rescale_exponent(y);
      const Mat unit = sub_block(sdid::unit_gram(rescaled(y, e), t0), panel.never_treated_units());
      const Mat time_exact = sdid::time_gram(panel, t0);
      const Mat time_longer = sdid::time_gram(panel, t_count - 1);
      for (const sdid::SdidOptions& o : options) {
        SCOPED_TRACE(::testing::Message() << "e " << e << " t0 " << t0 << " max_weight " << o.max_weight);
        const ScFit formed = sdid::fit_at(panel, t0, o);
        expect_same_fit(sdid::fit_at(panel, t0, o, {&unit, &time_longer}), formed);
        expect_same_fit(sdid::fit_at(panel, t0, o, {&unit, &time_exact}), formed);
        expect_same_fit(sdid::fit_at(panel, t0, o, {&unit, nullptr}), formed);
        expect_same_fit(sdid::fit_at(panel, t0, o, {nullptr, &time_longer}), formed);
      }
    }
  }
}

TEST(SdidGivenGrams, AChangedGramChangesTheFit) {
  const Mat y = testing::random_walks(9, 14, 3);
  const Panel panel = Panel::block(y, std::vector<std::size_t>{1}, 10);
  Mat unit = sub_block(sdid::unit_gram(y, 10), panel.never_treated_units());
  Mat time = sdid::time_gram(panel, 10);
  const ScFit formed = sdid::fit_at(panel, 10, {});
  for (double& v : unit.data()) v *= 3.0;
  EXPECT_NE(sdid::fit_at(panel, 10, {}, {&unit, nullptr}).weights, formed.weights);
  for (double& v : time.data()) v *= 3.0;
  EXPECT_NE(sdid::fit_at(panel, 10, {}, {nullptr, &time}).att, formed.att);
  const Mat too_small = sdid::time_gram(panel, 6);
  testing::expect_invariant([&] { sdid::fit_at(panel, 10, {}, {nullptr, &too_small}); },
                            "SDID: time Gram smaller than the pre-period");
}

// The Gram builders against the definition: centred vectors by a two-pass mean, products
// summed in a plain loop.
TEST(SdidGivenGrams, BuildersMatchThePlainDefinition) {
  const Mat y = testing::random_walks(7, 12, 11);
  const std::size_t t0 = 9;
  const Mat unit = sdid::unit_gram(y, t0);
  std::vector<std::vector<double>> col(y.rows(), std::vector<double>(t0));
  for (std::size_t u = 0; u < y.rows(); ++u) {
    double mean = 0.0;
    for (std::size_t t = 0; t < t0; ++t) mean += y(u, t) / double(t0);
    for (std::size_t t = 0; t < t0; ++t) col[u][t] = y(u, t) - mean;
  }
  for (std::size_t a = 0; a < y.rows(); ++a)
    for (std::size_t b = 0; b < y.rows(); ++b) {
      double s = 0.0;
      for (std::size_t t = 0; t < t0; ++t) s += col[a][t] * col[b][t];
      EXPECT_NEAR(unit(a, b), s, 1e-12) << a << "," << b;
    }

  const Panel panel = Panel::block(y, std::vector<std::size_t>{2, 5}, t0);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  const Mat time = sdid::time_gram(panel, 11);
  ASSERT_EQ(time.rows(), 11u);
  std::vector<std::vector<double>> per(11, std::vector<double>(donors.size()));
  for (std::size_t t = 0; t < 11; ++t) {
    double mean = 0.0;
    for (std::size_t d : donors) mean += y(d, t) / double(donors.size());
    for (std::size_t i = 0; i < donors.size(); ++i) per[t][i] = y(donors[i], t) - mean;
  }
  for (std::size_t a = 0; a < 11; ++a)
    for (std::size_t b = 0; b < 11; ++b) {
      double s = 0.0;
      for (std::size_t i = 0; i < donors.size(); ++i) s += per[a][i] * per[b][i];
      EXPECT_NEAR(time(a, b), s, 1e-12) << a << "," << b;
    }
}

TEST(ScGivenGram, MatchesTheFitThatFormsIt) {
  const std::vector<std::size_t> treated{2};
  const std::vector<synthetic::ScOptions> options{
      {}, {.ridge = 0.5}, {.penalty = 0.3}, {.min_weight = 0.05, .max_weight = 0.5}};
  for (const Mat& y : panels(10, 18, 5)) {
    for (std::size_t t0 : {4, 12, 17}) {
      const Panel panel = Panel::block(y, treated, t0);
      const Mat gram = sub_block(synthetic::gram_over(rescaled(y, rescale_exponent(y)), t0), panel.never_treated_units());
      for (const synthetic::ScOptions& o : options) {
        SCOPED_TRACE(::testing::Message() << "t0 " << t0 << " ridge " << o.ridge << " penalty " << o.penalty);
        expect_same_fit(synthetic::fit_at(panel, t0, o, gram), synthetic::fit_at(panel, t0, o));
      }
    }
  }
  const Mat y = testing::random_walks(6, 9, 2);
  const Panel panel = Panel::block(y, treated, 7);
  Mat gram = sub_block(synthetic::gram_over(y, 7), panel.never_treated_units());
  for (std::size_t j = 0; j < gram.rows(); ++j) gram(j, j) *= 4.0;
  EXPECT_NE(synthetic::fit_at(panel, 7, {}, gram).weights, synthetic::fit_at(panel, 7, {}).weights);
}

}  // namespace
}  // namespace tessarix::sc
