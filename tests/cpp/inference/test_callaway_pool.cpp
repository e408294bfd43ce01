// Callaway-Sant'Anna on the pool gives the estimator's own result bit for bit, and bands its
// event study when asked.
#include "inference/callaway.hpp"
#include "testing.hpp"

namespace tessarix {
namespace {

void expect_same(const did::AggEffect& a, const did::AggEffect& b) {
  EXPECT_EQ(a.key, b.key);
  EXPECT_EQ(a.att, b.att);
  EXPECT_EQ(a.se, b.se);
  EXPECT_EQ(a.influence, b.influence);
}

TEST(CallawayOnPool, EqualsTheSequentialFit) {
  const std::size_t n = 5000, t = 9;  // enough unit-cells to go through the pool
  std::vector<Panel::TreatStart> starts(n);
  for (std::size_t u = 0; u < n; ++u) {
    if (u % 4 != 3) starts[u] = 2 + 2 * (u % 4);
  }
  const Mat y = testing::random_walks(n, t, 17);
  const Mat x = testing::random_mat(n, 2, 18);
  using did::callaway::ControlGroup;
  for (ControlGroup control : {ControlGroup::NeverTreated, ControlGroup::NotYetTreated}) {
    for (bool covariates : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "not_yet " << (control == ControlGroup::NotYetTreated)
                                        << " covariates " << covariates);
      Panel p(y, starts);
      if (covariates) p = std::move(p).with_covariates(x);
      const did::callaway::CsOptions options{.control = control, .anticipation = 1};
      const auto a = did::callaway::fit_with_anticipation(p, options, true);
      const auto b = inference::callaway_on_pool(p, options, true);
      ASSERT_GE(a.group_time.size() * n, inference::kCallawayPoolWork) << "fitted on the caller";
      ASSERT_EQ(a.group_time.size(), b.group_time.size());
      for (std::size_t j = 0; j < a.group_time.size(); ++j) {
        EXPECT_EQ(a.group_time[j].att, b.group_time[j].att);
        EXPECT_EQ(a.group_time[j].se, b.group_time[j].se);
      }
      ASSERT_EQ(a.event.size(), b.event.size());
      for (std::size_t k = 0; k < a.event.size(); ++k) expect_same(a.event[k], b.event[k]);
      ASSERT_EQ(a.group.size(), b.group.size());
      for (std::size_t k = 0; k < a.group.size(); ++k) expect_same(a.group[k], b.group[k]);
      EXPECT_EQ(a.overall_influence, b.overall_influence);
      EXPECT_EQ(a.att, b.att);
      EXPECT_EQ(a.se, b.se);
      EXPECT_EQ(a.overall_group_att, b.overall_group_att);
      EXPECT_EQ(a.overall_group_se, b.overall_group_se);
      EXPECT_FALSE(a.event.front().influence.empty());
    }
  }
}

TEST(CallawayFit, BandsAccompanyAnIdentifiedEventStudy) {
  using did::callaway::ControlGroup;
  const std::size_t n = 60, t = 8;
  std::vector<Panel::TreatStart> starts(n);
  for (std::size_t u = 0; u < n; ++u) {
    if (u % 3 != 0) starts[u] = u % 3 == 1 ? 3 : 5;
  }
  const Panel p(testing::random_walks(n, t, 5), starts);
  const inference::BandRequest request{199, 3, 0.9};
  const auto plain = inference::fit_callaway(p, {}, std::nullopt);
  const auto banded = inference::fit_callaway(p, {}, request);
  EXPECT_FALSE(plain.bands);
  ASSERT_TRUE(banded.bands);
  // The bands leave the fit alone; band k is event entry k's effect -/+ crit standard errors,
  // with crit a sup over several event times, beyond one standard error.
  EXPECT_EQ(banded.fit.att, plain.fit.att);
  EXPECT_EQ(banded.fit.se, plain.fit.se);
  const double crit = banded.bands->crit;
  EXPECT_GT(crit, 1.0);
  ASSERT_EQ(banded.bands->bands.size(), banded.fit.event.size());
  for (std::size_t k = 0; k < banded.fit.event.size(); ++k) {
    const did::AggEffect& e = banded.fit.event[k];
    EXPECT_NEAR(banded.bands->bands[k].first, e.att - crit * e.se, 1e-12);
    EXPECT_NEAR(banded.bands->bands[k].second, e.att + crit * e.se, 1e-12);
  }
  // Cohorts 3 and 4 with one period of anticipation and no never-treated unit: cohort 3 has
  // pre-treatment cells against cohort 4, no cell has a post-treatment control, and there is
  // no effect to band.
  for (std::size_t u = 0; u < n; ++u) starts[u] = u % 2 == 0 ? 3 : 4;
  const did::callaway::CsOptions not_yet{.control = ControlGroup::NotYetTreated, .anticipation = 1};
  const auto none = inference::fit_callaway(Panel(p.y(), starts), not_yet, request);
  EXPECT_FALSE(none.fit.event.empty());
  EXPECT_FALSE(did::callaway::has_post_treatment_cell(none.fit));
  EXPECT_FALSE(none.bands);
}

}  // namespace
}  // namespace tessarix
