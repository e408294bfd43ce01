// Callaway-Sant'Anna on the pool gives the estimator's own result bit for bit.
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

}  // namespace
}  // namespace tessarix
