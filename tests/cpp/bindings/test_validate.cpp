#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "bindings/did_glue.hpp"
#include "bindings/validate.hpp"

namespace tessarix::bindings {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class T>
std::string error_of(const Checked<T>& r) {
  return r ? std::string("<ok>") : r.error();
}

using Idx = std::vector<std::uint64_t>;

TEST(Validate, Treated) {
  EXPECT_TRUE(check_treated(Idx{0, 2}, 4));
  EXPECT_EQ(error_of(check_treated(Idx{}, 4)), "`treated` must list at least one treated unit index");
  EXPECT_EQ(error_of(check_treated(Idx{1, 4}, 4)), "treated unit index 4 out of range [0, 4)");
  EXPECT_EQ(error_of(check_treated(Idx{1, 1}, 4)), "treated unit index 1 listed more than once");
  // The first failure in list order wins: the duplicate comes before the bad index.
  EXPECT_EQ(error_of(check_treated(Idx{2, 2, 9}, 4)), "treated unit index 2 listed more than once");
  EXPECT_EQ(error_of(check_treated(Idx{0, 1, 2, 3}, 4)),
            "every unit is treated; need at least one never-treated unit as a donor/control");
}

TEST(Validate, IndicesCountsAndReals) {
  EXPECT_TRUE(check_indices("eligible", Idx{3, 3}, 4));
  EXPECT_TRUE(check_indices("eligible", Idx{}, 4));
  EXPECT_EQ(error_of(check_indices("include", Idx{0, 7}, 4)), "include index 7 out of range [0, 4)");
  EXPECT_TRUE(check_min_count("n_reps", 1, 1));
  EXPECT_EQ(error_of(check_min_count("n_reps", 0, 1)), "n_reps must be >= 1; got 0");

  EXPECT_TRUE(check_unit_interval("level", 0.95));
  for (double bad : {0.0, 1.0, -0.5, kNaN, kInf}) {
    EXPECT_FALSE(check_unit_interval("level", bad));
  }
  EXPECT_EQ(error_of(check_unit_interval("level", 1.0)), "level must be in (0, 1); got 1");
  EXPECT_EQ(error_of(check_unit_interval("energy", kNaN)), "energy must be in (0, 1); got NaN");

  EXPECT_TRUE(check_pos("tol", 1e-5));
  EXPECT_EQ(error_of(check_pos("tol", 0.0)), "tol must be finite and > 0; got 0");
  EXPECT_EQ(error_of(check_pos("tol", -0.0)), "tol must be finite and > 0; got -0");
  EXPECT_EQ(error_of(check_pos("lambda_", kInf)), "lambda_ must be finite and > 0; got inf");

  EXPECT_TRUE(check_non_negative("ridge", -0.0));
  EXPECT_EQ(error_of(check_non_negative("ridge", -1.0)), "ridge must be finite and >= 0; got -1");
  EXPECT_EQ(error_of(check_non_negative("penalty", kNaN)), "penalty must be finite and >= 0; got NaN");
  EXPECT_EQ(error_of(check_non_negative("ridge", -kInf)), "ridge must be finite and >= 0; got -inf");
  EXPECT_EQ(error_of(check_non_negative("ridge", -1e-7)),
            "ridge must be finite and >= 0; got -0.0000001");

  EXPECT_TRUE(check_treat_time(1, 5));
  EXPECT_TRUE(check_treat_time(4, 5));
  EXPECT_EQ(error_of(check_treat_time(0, 5)),
            "treat_time 0 must be in [1, 5) so there is at least one pre- and one post-period");
  EXPECT_EQ(error_of(check_treat_time(5, 5)),
            "treat_time 5 must be in [1, 5) so there is at least one pre- and one post-period");
}

TEST(Validate, WeightBounds) {
  EXPECT_EQ(check_weight_bounds(3, 0.0, 1.0).value(), std::pair(0.0, 1.0));
  EXPECT_EQ(error_of(check_weight_bounds(3, 0.5, 1.0)),
            "min_weight=0.5 is infeasible with 3 donors: every donor at that floor would need "
            "total weight 1.5000 > 1. Use min_weight <= 0.3333 (= 1/3).");
  EXPECT_EQ(error_of(check_weight_bounds(3, 0.0, 0.25)),
            "max_weight=0.25 is infeasible with 3 donors: capping every donor there allows total "
            "weight 0.7500 < 1. Use max_weight >= 0.3333 (= 1/3).");
  // Exactly 1/3 on both sides passes thanks to the 1e-12 slack.
  EXPECT_TRUE(check_weight_bounds(3, 1.0 / 3.0, 1.0 / 3.0));
  EXPECT_EQ(error_of(check_weight_bounds(3, 0.0, 0.0)), "max_weight must be in (0, 1]; got 0");
  EXPECT_EQ(error_of(check_weight_bounds(3, -0.1, 1.0)), "min_weight must be in [0, 1]; got -0.1");
  EXPECT_EQ(error_of(check_weight_bounds(3, kNaN, 1.0)), "min_weight must be in [0, 1]; got NaN");
  EXPECT_EQ(error_of(check_weight_bounds(3, 0.0, 1.5)), "max_weight must be in (0, 1]; got 1.5");
  EXPECT_EQ(error_of(check_weight_bounds(3, 0.6, 0.4)),
            "min_weight (0.6) must not exceed max_weight (0.4)");
  // Without donors any valid pair is returned unchanged.
  EXPECT_EQ(check_weight_bounds(0, 0.9, 1.0).value(), std::pair(0.9, 1.0));
}

TEST(Validate, GeoWindow) {
  EXPECT_EQ(check_geo_window(4, 0, 10).value(), 4u);
  EXPECT_EQ(check_geo_window(1, 0, 10).value(), 2u);
  EXPECT_EQ(check_geo_window(3, 5, 10).value(), 5u);
  EXPECT_EQ(error_of(check_geo_window(6, 0, 10)),
            "test_len=6 with a 6-period pre-window needs at least 12 periods, but the panel has "
            "10. Reduce test_len (max usable here: 5) or pass a smaller min_pre.");
  EXPECT_EQ(error_of(check_geo_window(3, 8, 10)),
            "test_len=3 with a 8-period pre-window needs at least 11 periods, but the panel has "
            "10. Reduce test_len (max usable here: 2) or pass a smaller min_pre.");
  EXPECT_EQ(error_of(check_geo_window(1, 0, 2)),
            "test_len=1 with a 2-period pre-window needs at least 3 periods, but the panel has "
            "2. Reduce test_len (max usable here: 0) or pass a smaller min_pre.");
  EXPECT_EQ(error_of(check_geo_window(0, 0, 10)),
            "test_len must be in [1, 10) (panel has 10 periods); got 0");
  EXPECT_EQ(error_of(check_geo_window(10, 0, 10)),
            "test_len must be in [1, 10) (panel has 10 periods); got 10");
  // A huge min_pre prints the exact sum instead of wrapping around.
  EXPECT_EQ(error_of(check_geo_window(2, 18446744073709551615ull, 10)),
            "test_len=2 with a 18446744073709551615-period pre-window needs at least "
            "18446744073709551617 periods, but the panel has 10. Reduce test_len (max usable "
            "here: 0) or pass a smaller min_pre.");
}

TEST(Validate, GeoMethodAndSearchSizes) {
  EXPECT_EQ(check_method("SDID").value(), &sc::method_named("sdid"));
  EXPECT_EQ(check_method("dsc").value(), &sc::method_named("fp"));
  for (const char* bad : {"ensemble", " sdid", ""}) {
    EXPECT_EQ(error_of(check_method(bad)),
              "unknown method '" + std::string(bad) + "' (expected sc/asc/sdid/fp/rsc)");
  }
  // A batch takes exact names only: no other case, no alias.
  EXPECT_EQ(check_batch_method("fp").value(), &sc::method_named("fp"));
  for (const char* bad : {"SC", "dsc"}) {
    EXPECT_EQ(error_of(check_batch_method(bad)),
              "unknown method '" + std::string(bad) + "' (expected sc/asc/sdid/fp/rsc)");
  }
  EXPECT_TRUE(check_max_treated(4, 5));
  EXPECT_EQ(error_of(check_max_treated(0, 5)), "max_treated must be >= 1; got 0");
  EXPECT_EQ(error_of(check_max_treated(5, 5)),
            "max_treated=5 would allow treating all 5 markets; at least one market must remain "
            "as a control");
  EXPECT_TRUE(check_exact_size(2, 2, 5));
  EXPECT_EQ(error_of(check_exact_size(0, 0, 5)), "exact_size must be >= 1; got 0");
  // Treating every market is reported before a conflict with the include set.
  EXPECT_EQ(error_of(check_exact_size(5, 6, 5)),
            "exact_size=5 would treat all 5 markets; at least one market must remain as a control");
  EXPECT_EQ(error_of(check_exact_size(1, 2, 5)),
            "include forces 2 markets but exact_size=1; raise exact_size or include fewer markets");
  EXPECT_TRUE(check_include_leaves_control(4, 5));
  EXPECT_EQ(error_of(check_include_leaves_control(5, 5)),
            "include treats every market; need at least one market left as a control");
}

ArrayView2 view_of(const std::vector<double>& rowmajor, std::size_t rows, std::size_t cols) {
  return {reinterpret_cast<const char*>(rowmajor.data()),
          {rows, cols},
          {static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)}};
}

TEST(Validate, PanelShapeAndFiniteness) {
  const std::vector<double> ok{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(check_panel(view_of(ok, 2, 3)).value(), (std::pair<std::size_t, std::size_t>(2, 3)));
  EXPECT_EQ(error_of(check_panel(view_of(ok, 0, 5))),
            "y must be a non-empty N×T panel; got shape (0, 5)");
  EXPECT_EQ(error_of(check_panel(view_of(ok, 5, 0))),
            "y must be a non-empty N×T panel; got shape (5, 0)");
  for (double bad : {kNaN, kInf, -kInf}) {
    std::vector<double> v = ok;
    v[4] = bad;
    EXPECT_EQ(error_of(check_panel(view_of(v, 2, 3))),
              "y contains NaN or inf; tessarix requires a complete, finite panel");
  }
}

TEST(DidGlue, BuildPanelMapsCohortsToStarts) {
  const std::vector<double> y(4 * 5, 1.0);
  const std::vector<std::int64_t> cohorts{-1, 5, 10, 0};
  const auto p = build_panel(view_of(y, 4, 5), cohorts);
  ASSERT_TRUE(p);
  // -1, T and T + 5 mean never treated; 0 means treated from the first period.
  EXPECT_EQ(p->treat_start(), (std::vector<Panel::TreatStart>{std::nullopt, std::nullopt,
                                                              std::nullopt, 0}));
  EXPECT_EQ(error_of(build_panel(view_of(y, 4, 5), std::vector<std::int64_t>{1, 2, 3})),
            "treat_start has 3 entries but the panel has 4 units");
  EXPECT_EQ(error_of(build_panel(view_of(y, 0, 5), std::vector<std::int64_t>{})),
            "y must be a non-empty N×T panel; got shape (0, 5)");
}

TEST(DidGlue, Guards) {
  const std::vector<double> y(3 * 4, 0.0);
  const Panel at_zero = *build_panel(view_of(y, 3, 4), std::vector<std::int64_t>{0, 0, -1});
  EXPECT_EQ(error_of(require_estimable_cohort(at_zero, "TWFE")),
            "TWFE: no estimable cohort. Every unit is either never treated or treated from "
            "period 0 (no pre-period), so no treatment effect is identified.");
  const Panel untreated = *build_panel(view_of(y, 3, 4), std::vector<std::int64_t>{-1, -1, 9});
  EXPECT_FALSE(require_estimable_cohort(untreated, "Sun-Abraham"));
  const Panel mixed = *build_panel(view_of(y, 3, 4), std::vector<std::int64_t>{0, 2, 3});
  EXPECT_TRUE(require_estimable_cohort(mixed, "TWFE"));
  EXPECT_EQ(error_of(require_never_treated(mixed, "Sun-Abraham", "Hint.")),
            "Sun-Abraham needs at least one never-treated unit (treat_start < 0, or at/after the "
            "last period) as a control. Hint.");
  EXPECT_TRUE(require_never_treated(at_zero, "Sun-Abraham", "Hint."));
}

}  // namespace
}  // namespace tessarix::bindings
