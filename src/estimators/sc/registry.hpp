// The synthetic-control family as one table: each member's name, its options record and its
// fit, with what the layers above need to know of it (the name results print, how its placebo
// test ranks fits, whether it takes weight bounds, the options a caller naming it by string
// gets). The placebo test, the batch fitter and the geo tools reach the estimators through it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/predictors.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"

namespace tessarix::sc {

// Each member's own options record: alternative k belongs to entry k of methods().
using MethodOptions = std::variant<synthetic::ScOptions, augmented::AscOptions, sdid::SdidOptions,
                                   demeaned::FpOptions, robust::RscOptions, predictors::PredictorOptions>;

// How a placebo test ranks fits: by the scale-free ratio post_rmspe / pre_rmspe (+inf when the
// pre-period fit is perfect or undefined), or by |att|, in outcome units. The ratio rewards a
// member whose pre-period fit is tight; |att| suits members that fit levels loosely by design.
enum class PlaceboStatistic { RmspeRatio, AbsoluteAtt };

// What a caller that names a member by string passes to whichever member it names (the batch
// fitter, the geo tools); each member takes those its options have. The defaults are the
// geo tools' settings.
struct SharedSettings {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double ridge = 0.0;       // in squared outcome units: SC's, ASC's simplex ridge, FP's
  double zeta_scale = 1.0;  // SDID's
};

struct MethodEntry {
  std::string_view name{};     // lower case, as callers name it
  std::string_view alias{};    // a second name callers may use for it, or empty
  std::string_view display{};  // upper case, as results print it
  PlaceboStatistic statistic = PlaceboStatistic::RmspeRatio;
  bool weight_bounds = false;     // whether its options carry per-donor weight bounds
  bool default_member = false;    // in the ensemble a power analysis blends by default
  // Whether callers that name members by string and pass only outcomes (the batch fitter, the
  // geo tools) can reach it: a member that needs data beside the outcomes (predictors) cannot.
  bool by_name = true;
  MethodOptions (*options)(const SharedSettings&) = nullptr;
  ScFit (*fit)(const Panel&, std::size_t t0, const MethodOptions&) = nullptr;
  // Its fit with every period in the pre-period (pre_gap: the residual of all T periods, no
  // post-period), for a null hypothesis on the last n_tested periods, as conformal inference
  // refits it. SC, ASC, FP and RSC fit at t0 = T. SDID, whose time weights need post-periods,
  // fits its unit weights with an intercept on all T periods, regularised as for n_tested
  // post-periods, and takes the residual about the intercept (their mean gap). The predictor
  // fit keeps its predictors and chooses V on every period (its loss periods, when given).
  ScFit (*fit_all)(const Panel&, std::size_t n_tested, const MethodOptions&) = nullptr;
};

// Every member, in the order callers are told their names.
std::span<const MethodEntry> methods();

// The names in table order, as callers are told them ("expected sc/asc/sdid/fp/rsc"): the members reachable by
// name.
std::vector<std::string_view> method_names();

// The member reachable by name whose name or alias equals `name` up to ASCII case, or none.
const MethodEntry* find_method_ignoring_case(std::string_view name);

// The member called exactly `name` (reachable by name or not); an invariant failure for any
// other text.
const MethodEntry& method_named(std::string_view name);

// A member with its options: what a placebo test, a batch or a power analysis refits.
struct Method {
  MethodOptions options;

  const MethodEntry& entry() const;
  // The member's fit at treatment time t0.
  ScFit fit_at(const Panel& panel, std::size_t t0) const;
  // The member's fit on every period, under a null on the last n_tested (MethodEntry::fit_all).
  ScFit fit_all(const Panel& panel, std::size_t n_tested) const;
  // The member's placebo test statistic of `fit`.
  double statistic(const ScFit& fit) const;
};

// The statistic `kind` of a fit.
double placebo_statistic(PlaceboStatistic kind, const ScFit& fit);

}  // namespace tessarix::sc
