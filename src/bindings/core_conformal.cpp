// Conformal inference of the synthetic-control family for tessarix._core: for the fit that the
// matching fit_ function of tessarix._tessarix makes (same arguments, same checks), the
// permutation test of a hypothesised effect path after refitting on every period under it, and
// the pointwise intervals of the post-period effects that inverting the test gives.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/core_api.hpp"
#include "bindings/core_sc_dicts.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pydict.hpp"
#include "bindings/sc_args.hpp"
#include "bindings/validate.hpp"
#include "estimators/sc/predictors.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/conformal.hpp"

namespace tessarix::bindings {
namespace {

// The most random permutations one call may ask for: the p-value's Monte-Carlo error is
// below 1e-4 long before, and each draw costs a pass over the periods.
constexpr std::uint64_t kMaxPermutations = 100'000'000;

constexpr std::array<std::string_view, 2> kSchemes{"block", "iid"};

struct ConformalArgs {
  std::optional<std::vector<double>> null;
  std::string scheme = "block";
  std::uint64_t permutations = 999;
  std::uint64_t seed = 0;
  double q = 1.0;
  double level = 0.95;
  bool intervals = true;
  PyObject* progress = nullptr;
};

template <class R>
std::vector<Param<R>> conformal_params() {
  return {TX_PARAM(R, null, kFloatList, kNone),     TX_PARAM(R, scheme, kChoice, "block"),
          TX_PARAM(R, permutations, kCount, 999),   TX_PARAM(R, seed, kCount, 0),
          TX_PARAM(R, q, kReal, 1.0),               TX_PARAM(R, level, kReal, 0.95),
          TX_PARAM(R, intervals, kFlag, true),      progress_param<R>()};
}

// The conformal options after their checks (null path, scheme, permutations, q, level), and
// the null path: zero in every post-period when absent.
struct CheckedConformal {
  inference::ConformalOptions options;
  std::vector<double> null;
};

CheckedConformal validate_conformal(const BlockArgs& b, const ConformalArgs& a) {
  const std::size_t n_post = b.y.shape[1] - b.treat_time;
  CheckedConformal out;
  out.null = a.null.value_or(std::vector<double>(n_post, 0.0));
  unwrap(check_null_path(out.null, n_post));
  const std::size_t scheme = unwrap(check_choice("permutation scheme", a.scheme, kSchemes));
  out.options.scheme = scheme == 0 ? inference::PermutationScheme::MovingBlock : inference::PermutationScheme::Iid;
  unwrap(check_count_range("permutations", a.permutations, 1, kMaxPermutations));
  out.options.permutations = static_cast<std::size_t>(a.permutations);
  out.options.seed = a.seed;
  unwrap(check_pos("q", a.q));
  out.options.q = a.q;
  unwrap(check_unit_interval("level", a.level));
  return out;
}

// The dict the conformal_ functions return.
PyObject* conformal_dict(inference::ConformalTest&& t) {
  std::vector<double> lower, upper;
  for (const inference::EffectInterval& e : t.intervals) {
    lower.push_back(e.lower);
    upper.push_back(e.upper);
  }
  DictBuilder d;
  d.set_float("att", t.fit.att)
      .set("att_path", float64_array_from(std::move(t.fit.att_path)))
      .set_float("statistic", t.statistic)
      .set_float("p_value", t.p_value)
      .set("residuals", float64_array_from(std::move(t.residuals)))
      .set("ci_lower", float64_array_from(std::move(lower)))
      .set("ci_upper", float64_array_from(std::move(upper)));
  return d.release();
}

// The conformal test of `method` on the block panel of b, carrying `covariates` (one row per
// unit: a predictor fit's predictors) when given.
PyObject* conformal_of(const BlockArgs& b, const sc::Method& method, const ConformalArgs& a,
                       const Mat* covariates = nullptr) {
  const CheckedConformal c = validate_conformal(b, a);
  inference::ConformalTest test = on_block_panel(
      b,
      [&](const Panel& panel) {
        if (covariates == nullptr) {
          return inference::conformal_test(panel, method, c.null, c.options, a.intervals, a.level);
        }
        const Panel with = Panel(panel).with_covariates(Mat(*covariates));
        return inference::conformal_test(with, method, c.null, c.options, a.intervals, a.level);
      },
      a.progress);
  return conformal_dict(std::move(test));
}

#define TX_CONFORMAL_DOC(name)                                                                   \
  "Conformal inference for the `" name "` fit (same arguments and checks), after\n"              \
  "Chernozhukov, Wuthrich and Zhu: the treated units less the hypothesised effects\n"           \
  "`null` (one per post-period; zero when None) are refitted on every period, and the\n"        \
  "post-periods' residuals u are ranked by S(u) = (n^-1/2 sum |u_t|^q)^(1/q) against\n"          \
  "their images under permutations of the time index: `scheme` \"block\" takes the T\n"         \
  "cyclic shifts (exact), \"iid\" the identity and `permutations` random\n"                     \
  "permutations drawn under `seed`. With `intervals`, each post-period's effect gets\n"          \
  "the set of values whose test on the pre-periods and that period alone has\n"                 \
  "p > 1 - `level`: a grid around the estimate, widened until both ends reject, each\n"          \
  "edge refined by bisection; an end that never rejects is infinite. The work runs in\n"        \
  "parallel; `progress(done, total)` hears of it.\n"                                            \
  "\n"                                                                                           \
  "Returns a dict: `att` and `att_path` of the ordinary fit, `statistic` and\n"                 \
  "`p_value` of the test of `null`, `residuals` (under `null`, every period), and\n"             \
  "`ci_lower`, `ci_upper` (one per post-period; empty without `intervals`)."

struct ConformalScArgs : BlockArgs, ScOptionArgs, WeightBoundArgs, ConformalArgs {};
struct ConformalAscArgs : BlockArgs, AscOptionArgs, WeightBoundArgs, ConformalArgs {};
struct ConformalSdidArgs : BlockArgs, SdidOptionArgs, WeightBoundArgs, ConformalArgs {};
struct ConformalFpArgs : BlockArgs, FpOptionArgs, WeightBoundArgs, ConformalArgs {};
struct ConformalRscArgs : BlockArgs, RscOptionArgs, ConformalArgs {};
struct ConformalPredictorArgs : BlockArgs, PredictorArgs, ConformalArgs {};

const EntryPoint<ConformalScArgs> conformal_sc_entry{
    "conformal_sc", TX_CONFORMAL_DOC("fit_sc"),
    join<ConformalScArgs>({block_params<ConformalScArgs>(),
                           {TX_PARAM(ConformalScArgs, ridge, kReal, 0.0), TX_PARAM(ConformalScArgs, penalty, kReal, 0.0)},
                           weight_bound_params<ConformalScArgs>(), conformal_params<ConformalScArgs>()})};
const EntryPoint<ConformalAscArgs> conformal_asc_entry{
    "conformal_asc", TX_CONFORMAL_DOC("fit_asc"),
    join<ConformalAscArgs>({block_params<ConformalAscArgs>(),
                            {TX_PARAM(ConformalAscArgs, sc_ridge, kReal, 0.0),
                             TX_PARAM(ConformalAscArgs, aug_lambda, kReal, kNone)},
                            weight_bound_params<ConformalAscArgs>(), conformal_params<ConformalAscArgs>()})};
const EntryPoint<ConformalSdidArgs> conformal_sdid_entry{
    "conformal_sdid",
    TX_CONFORMAL_DOC("fit_sdid") "\n\nUnder the null SDID fits its unit weights with an intercept on every\n"
                                 "period (no time weights) and the residual is taken about the intercept.",
    join<ConformalSdidArgs>({block_params<ConformalSdidArgs>(), {TX_PARAM(ConformalSdidArgs, zeta_scale, kReal, 1.0)},
                             weight_bound_params<ConformalSdidArgs>(), conformal_params<ConformalSdidArgs>()})};
const EntryPoint<ConformalFpArgs> conformal_fp_entry{
    "conformal_fp", TX_CONFORMAL_DOC("fit_fp"),
    join<ConformalFpArgs>({block_params<ConformalFpArgs>(), {TX_PARAM(ConformalFpArgs, ridge, kReal, 0.0)},
                           weight_bound_params<ConformalFpArgs>(), conformal_params<ConformalFpArgs>()})};
const EntryPoint<ConformalRscArgs> conformal_rsc_entry{
    "conformal_rsc", TX_CONFORMAL_DOC("fit_rsc"),
    join<ConformalRscArgs>({block_params<ConformalRscArgs>(), rsc_option_params<ConformalRscArgs>(),
                            conformal_params<ConformalRscArgs>()})};

const EntryPoint<ConformalPredictorArgs> conformal_sc_predictors_entry{
    "conformal_sc_predictors",
    TX_CONFORMAL_DOC("fit_sc_predictors") "\n\nUnder the null the fit keeps the given predictors and chooses V on every\n"
                                          "period (on `loss_periods` when they are given).",
    join<ConformalPredictorArgs>({block_params<ConformalPredictorArgs>(), predictor_params<ConformalPredictorArgs>(),
                                  conformal_params<ConformalPredictorArgs>()})};

#undef TX_CONFORMAL_DOC

PyObject* py_conformal_sc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ConformalScArgs a = conformal_sc_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_sc_options(a);
    validate_bounds(n_donors, a);
    return conformal_of(a, {sc_options(a, a)}, a);
  });
}

PyObject* py_conformal_asc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ConformalAscArgs a = conformal_asc_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_asc_options(a);
    validate_bounds(n_donors, a);
    return conformal_of(a, {asc_options(a, a)}, a);
  });
}

PyObject* py_conformal_sdid(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ConformalSdidArgs a = conformal_sdid_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_sdid_options(a);
    validate_bounds(n_donors, a);
    return conformal_of(a, {sdid_options(a, a)}, a);
  });
}

PyObject* py_conformal_fp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ConformalFpArgs a = conformal_fp_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_fp_options(a);
    validate_bounds(n_donors, a);
    return conformal_of(a, {fp_options(a, a)}, a);
  });
}

PyObject* py_conformal_rsc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ConformalRscArgs a = conformal_rsc_entry.parse(args, kwargs);
    validate_block(a);
    validate_rsc_ridge_energy(a);
    validate_rsc_rank(a);
    return conformal_of(a, {rsc_options(a)}, a);
  });
}

PyObject* py_conformal_sc_predictors(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ConformalPredictorArgs a = conformal_sc_predictors_entry.parse(args, kwargs);
    validate_block(a);
    const sc::predictors::PredictorOptions options = checked_predictor_options(a, a.y.shape[0], a.treat_time);
    const Mat x = mat_from_numpy(a.predictors);
    return conformal_of(a, {options}, a, &x);
  });
}

}  // namespace

std::vector<PyMethodDef> core_conformal_functions() {
  return {method_def(conformal_sc_entry.signature(), py_conformal_sc),
          method_def(conformal_asc_entry.signature(), py_conformal_asc),
          method_def(conformal_sdid_entry.signature(), py_conformal_sdid),
          method_def(conformal_fp_entry.signature(), py_conformal_fp),
          method_def(conformal_rsc_entry.signature(), py_conformal_rsc),
          method_def(conformal_sc_predictors_entry.signature(), py_conformal_sc_predictors)};
}

}  // namespace tessarix::bindings
