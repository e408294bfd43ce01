// The synthetic-control registry: each row fits its own estimator with the options a caller
// naming it by string expects, ranks placebo fits by its own statistic, and answers to its
// names and alias in any ASCII case.
#include <map>
#include <string>

#include "estimators/sc/registry.hpp"
#include "testing.hpp"

namespace tessarix::sc {
namespace {

// The options each member reachable by name takes from shared settings (bounds 0.05 and 0.6, ridge 0.3, zeta
// scale 0.5), written out per estimator: a row that passed the ridge as SC's penalty, dropped
// a bound or fitted another estimator would disagree.
TEST(Registry, RowsFitTheirEstimatorWithTheSharedSettings) {
  const Panel panel = Panel::block(testing::random_walks(9, 14, 4), std::vector<std::size_t>{3}, 10);
  const SharedSettings shared{0.05, 0.6, 0.3, 0.5};
  const std::map<std::string, ScFit> expected{
      {"sc", synthetic::fit_at(panel, 10, synthetic::ScOptions{0.05, 0.6, 0.3, 0.0})},
      {"asc", augmented::fit_at(panel, 10, augmented::AscOptions{std::nullopt, 0.3, 0.05, 0.6})},
      {"sdid", sdid::fit_at(panel, 10, sdid::SdidOptions{0.05, 0.6, 0.5})},
      {"fp", demeaned::fit_at(panel, 10, demeaned::FpOptions{0.05, 0.6, 0.3})},
      {"rsc", robust::fit_at(panel, 10, robust::RscOptions{std::nullopt, 0.999, 0.0})}};
  ASSERT_EQ(method_names().size(), expected.size());
  for (const MethodEntry& m : methods()) {
    if (!m.by_name) continue;
    SCOPED_TRACE(m.name);
    const ScFit got = Method{m.options(shared)}.fit_at(panel, 10);
    const ScFit& want = expected.at(std::string(m.name));
    EXPECT_EQ(got.att_path, want.att_path);
    EXPECT_EQ(got.weights, want.weights);
    EXPECT_EQ(&Method{m.options(shared)}.entry(), &m);
  }
}

// A member takes weight bounds exactly when binding ones change its weights: a cap of 0.2 on
// eight donors whose unbounded fit leans on fewer of them.
TEST(Registry, WeightBoundsFlagMatchesTheFits) {
  const Panel panel = Panel::block(testing::random_walks(9, 14, 4), std::vector<std::size_t>{3}, 10);
  for (const MethodEntry& m : methods()) {
    if (!m.by_name) continue;
    const ScFit free = Method{m.options({})}.fit_at(panel, 10);
    const ScFit capped = Method{m.options({.min_weight = 0.0, .max_weight = 0.2})}.fit_at(panel, 10);
    EXPECT_EQ(m.weight_bounds, free.weights != capped.weights) << m.name;
  }
}

// SDID and the demeaned fit rank placebos by |att|, the others by the RMSPE ratio.
TEST(Registry, PlaceboStatisticOfEachMember) {
  ScFit fit;
  fit.att = -2.5;
  fit.pre_rmspe = 0.5;
  fit.post_rmspe = 1.5;
  const std::map<std::string, double> expected{{"sc", 3.0}, {"asc", 3.0}, {"sdid", 2.5}, {"fp", 2.5}, {"rsc", 3.0}, {"scp", 3.0}};
  for (const MethodEntry& m : methods()) {
    EXPECT_EQ(Method{m.options({})}.statistic(fit), expected.at(std::string(m.name))) << m.name;
  }
}

TEST(Registry, NamesIgnoreAsciiCase) {
  EXPECT_EQ(find_method_ignoring_case("SDID"), &method_named("sdid"));
  EXPECT_EQ(find_method_ignoring_case("Dsc"), &method_named("fp"));
  for (const char* other : {"ensemble", " sdid", "", "sc ", "scm"}) EXPECT_EQ(find_method_ignoring_case(other), nullptr) << other;
  EXPECT_EQ(method_names(), (std::vector<std::string_view>{"sc", "asc", "sdid", "fp", "rsc"}));
  testing::expect_invariant([] { (void)method_named("dsc"); }, "no synthetic-control method is called 'dsc'");
  // The predictor fit needs predictors beside the outcomes: callers passing outcomes alone
  // cannot name it, the Python front end reaches it through its own entry point.
  EXPECT_EQ(find_method_ignoring_case("scp"), nullptr);
  EXPECT_FALSE(method_named("scp").by_name);
  EXPECT_EQ(method_named("scp").display, "SC");
}

}  // namespace
}  // namespace tessarix::sc
