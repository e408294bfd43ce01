#include "estimators/sc/registry.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "linalg/error.hpp"

namespace tessarix::sc {
namespace {

// The fit of a row, on the alternative of MethodOptions that its estimator takes.
template <class Options, ScFit (*Fit)(const Panel&, std::size_t, const Options&)>
ScFit fit_with(const Panel& panel, std::size_t t0, const MethodOptions& options) {
  return Fit(panel, t0, std::get<Options>(options));
}

// The fit of a row on every period: its ordinary fit with the treatment time after the last
// period. The null's extent does not enter it.
template <class Options, ScFit (*Fit)(const Panel&, std::size_t, const Options&)>
ScFit fit_all_with(const Panel& panel, std::size_t, const MethodOptions& options) {
  return Fit(panel, panel.n_periods(), std::get<Options>(options));
}

// The fit on every period of a row that has one of its own, told the null's extent.
template <class Options, ScFit (*Fit)(const Panel&, std::size_t, const Options&)>
ScFit fit_all_tested(const Panel& panel, std::size_t n_tested, const MethodOptions& options) {
  return Fit(panel, n_tested, std::get<Options>(options));
}

// The options of each member under the shared settings: the estimator's own defaults
// otherwise (no pairwise penalty, the default augmentation strength, rank chosen by energy).
// The robust fit takes none of them: its weights are unconstrained and its ridge is its own.
constexpr MethodOptions sc_shared(const SharedSettings& s) {
  return synthetic::ScOptions{.min_weight = s.min_weight, .max_weight = s.max_weight, .ridge = s.ridge};
}
constexpr MethodOptions asc_shared(const SharedSettings& s) {
  return augmented::AscOptions{.aug_lambda = std::nullopt, .sc_ridge = s.ridge, .min_weight = s.min_weight, .max_weight = s.max_weight};
}
constexpr MethodOptions sdid_shared(const SharedSettings& s) {
  return sdid::SdidOptions{.min_weight = s.min_weight, .max_weight = s.max_weight, .zeta_scale = s.zeta_scale};
}
constexpr MethodOptions fp_shared(const SharedSettings& s) {
  return demeaned::FpOptions{.min_weight = s.min_weight, .max_weight = s.max_weight, .ridge = s.ridge};
}
constexpr MethodOptions rsc_shared(const SharedSettings&) { return robust::RscOptions{}; }
// The predictor fit takes none either: its weights are on the plain simplex, its predictors
// are the panel's covariates and V is chosen by its nested search.
constexpr MethodOptions scp_shared(const SharedSettings&) { return predictors::PredictorOptions{}; }

constexpr std::array kMethods{
    MethodEntry{.name = "sc", .display = "SC", .statistic = PlaceboStatistic::RmspeRatio,
                .weight_bounds = true, .default_member = true, .options = sc_shared,
                .fit = fit_with<synthetic::ScOptions, synthetic::fit_at>,
                .fit_all = fit_all_with<synthetic::ScOptions, synthetic::fit_at>},
    MethodEntry{.name = "asc", .display = "ASC", .statistic = PlaceboStatistic::RmspeRatio,
                .weight_bounds = true, .default_member = true, .options = asc_shared,
                .fit = fit_with<augmented::AscOptions, augmented::fit_at>,
                .fit_all = fit_all_with<augmented::AscOptions, augmented::fit_at>},
    MethodEntry{.name = "sdid", .display = "SDID", .statistic = PlaceboStatistic::AbsoluteAtt,
                .weight_bounds = true, .default_member = true, .options = sdid_shared,
                .fit = fit_with<sdid::SdidOptions, sdid::fit_at>,
                .fit_all = fit_all_tested<sdid::SdidOptions, sdid::fit_all_periods>},
    MethodEntry{.name = "fp", .alias = "dsc", .display = "FP", .statistic = PlaceboStatistic::AbsoluteAtt,
                .weight_bounds = true, .options = fp_shared,
                .fit = fit_with<demeaned::FpOptions, demeaned::fit_at>,
                .fit_all = fit_all_with<demeaned::FpOptions, demeaned::fit_at>},
    MethodEntry{.name = "rsc", .display = "RSC", .statistic = PlaceboStatistic::RmspeRatio,
                .options = rsc_shared, .fit = fit_with<robust::RscOptions, robust::fit_at>,
                .fit_all = fit_all_with<robust::RscOptions, robust::fit_at>},
    MethodEntry{.name = "scp", .display = "SC", .statistic = PlaceboStatistic::RmspeRatio,
                .by_name = false, .options = scp_shared, .fit = fit_with<predictors::PredictorOptions, predictors::fit_at>,
                .fit_all = fit_all_with<predictors::PredictorOptions, predictors::fit_at>},
};

// Row k builds alternative k, which Method::entry relies on to find a record's row.
constexpr bool rows_follow_the_variant() {
  if (kMethods.size() != std::variant_size_v<MethodOptions>) return false;
  for (std::size_t k = 0; k < kMethods.size(); ++k) {
    if (kMethods[k].options(SharedSettings{}).index() != k) return false;
  }
  return true;
}
static_assert(rows_follow_the_variant());

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::span<const MethodEntry> methods() { return kMethods; }

std::vector<std::string_view> method_names() {
  std::vector<std::string_view> names;
  for (const MethodEntry& m : kMethods) {
    if (m.by_name) names.push_back(m.name);
  }
  return names;
}

const MethodEntry* find_method_ignoring_case(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = ascii_lower(c);
  for (const MethodEntry& m : kMethods) {
    if (m.by_name && (lower == m.name || (!m.alias.empty() && lower == m.alias))) return &m;
  }
  return nullptr;
}

const MethodEntry& method_named(std::string_view name) {
  for (const MethodEntry& m : kMethods) {
    if (m.name == name) return m;
  }
  invariant_failure("no synthetic-control method is called '" + std::string(name) + "'");
}

const MethodEntry& Method::entry() const { return kMethods[options.index()]; }

ScFit Method::fit_at(const Panel& panel, std::size_t t0) const { return entry().fit(panel, t0, options); }

ScFit Method::fit_all(const Panel& panel, std::size_t n_tested) const {
  const MethodEntry& e = entry();
  if (e.fit_all == nullptr) invariant_failure(std::string(e.name) + " has no fit on every period");
  return e.fit_all(panel, n_tested, options);
}

double Method::statistic(const ScFit& fit) const { return placebo_statistic(entry().statistic, fit); }

double placebo_statistic(PlaceboStatistic kind, const ScFit& fit) {
  if (kind == PlaceboStatistic::AbsoluteAtt) return std::fabs(fit.att);
  return fit.pre_rmspe > 0.0 ? fit.post_rmspe / fit.pre_rmspe : std::numeric_limits<double>::infinity();
}

}  // namespace tessarix::sc
