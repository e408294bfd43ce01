// Python entry points of the synthetic-control family, the batched refits and the bootstrap
// of a series mean: each declared once (parameters, defaults, docstring), validated in
// signature order, then computed on owned data (the fits with the interpreter lock released).
#include "bindings/api_sc.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/sc_args.hpp"
#include "bindings/sc_entries.hpp"
#include "bindings/validate.hpp"
#include "estimators/mcnnm/softimpute.hpp"
#include "estimators/sc/cpasc.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/batch.hpp"
#include "inference/bootstrap.hpp"
#include "inference/jackknife.hpp"
#include "inference/placebo.hpp"

namespace tessarix::bindings {

PyScResult result_from_fit(const ScFit& fit) {
  PyScResult r;
  r.att = fit.att;
  r.att_path = fit.att_path;
  r.counterfactual = fit.counterfactual;
  r.treated_post = fit.treated_post;
  r.weights = fit.weights;
  r.donor_ids.assign(fit.donor_ids.begin(), fit.donor_ids.end());
  r.pre_rmspe = fit.pre_rmspe;
  r.post_rmspe = fit.post_rmspe;
  return r;
}

PyScResult result_from_fit(const inference::InferredFit& inferred) {
  PyScResult r = result_from_fit(inferred.fit);
  const inference::FitInference& inf = inferred.inference;
  r.p_value = inf.p_value;
  r.se = inf.se;
  r.ci_lower = inf.ci_lower;
  r.ci_upper = inf.ci_upper;
  r.inference_distribution = inf.distribution;
  r.placebo_atts = inf.placebo_atts;
  return r;
}

namespace {

// --- the fits of the family (checks and runs shared with tessarix._core) ---------------------

const EntryPoint<FitScArgs> fit_sc_entry{
    "fit_sc",
    "Fit synthetic control.\n"
    "\n"
    "`y` is an `N×T` outcome array (rows = units, cols = periods). `treated` are\n"
    "the row indices of treated units; `treat_time` is the first post-period\n"
    "column index. If `placebo` is true, an in-space placebo test is run and the\n"
    "p-value / distribution are attached.",
    fit_sc_params<FitScArgs>()};

const EntryPoint<FitAscArgs> fit_asc_entry{
    "fit_asc",
    "Fit Augmented Synthetic Control (Ben-Michael et al. 2021). If `placebo` is\n"
    "true, an in-space placebo test (refitting ASC per donor) attaches the\n"
    "p-value and ATT-scale SE / CI.",
    fit_asc_params<FitAscArgs>()};

const EntryPoint<FitSdidArgs> fit_sdid_entry{
    "fit_sdid",
    "Fit Synthetic Difference-in-Differences (Arkhangelsky et al. 2021).\n"
    "\n"
    "`inference` is `\"none\"`, `\"placebo\"` (in-space placebo, refitting SDID per\n"
    "donor), or `\"jackknife\"` (the fixed-weights leave-one-unit-out jackknife of\n"
    "Arkhangelsky et al. / `synthdid`; needs ≥ 2 treated units).",
    fit_sdid_params<FitSdidArgs>()};

const EntryPoint<FitFpArgs> fit_fp_entry{
    "fit_fp",
    "Fit the demeaned synthetic control (Ferman & Pinto 2021).\n"
    "\n"
    "SC on unit-demeaned data: each unit's pre-treatment mean is removed before\n"
    "the weights are solved, and the treated unit's level is added back to build\n"
    "the counterfactual. Robust to a treated level that no convex combination of\n"
    "donors can match. If `placebo` is true, an in-space placebo test attaches the\n"
    "p-value and ATT-scale SE / CI.",
    fit_fp_params<FitFpArgs>()};

const EntryPoint<FitRscArgs> fit_rsc_entry{
    "fit_rsc",
    "Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen\n"
    "2018).\n"
    "\n"
    "Hard-thresholds the donor panel's spectrum and regresses the treated\n"
    "pre-period on the de-noised factors. `rank` pins the retained rank; `None`\n"
    "picks the smallest rank carrying `energy` of the squared spectrum. The\n"
    "weights this returns are unconstrained (they may be negative and need not sum\n"
    "to one), which is what lets it extrapolate beyond the donor hull.",
    fit_rsc_params<FitRscArgs>()};

PyObject* py_fit_sc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_fit_sc(fit_sc_entry.parse(args, kwargs), nullptr); });
}

PyObject* py_fit_asc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_fit_asc(fit_asc_entry.parse(args, kwargs), nullptr); });
}

PyObject* py_fit_sdid(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_fit_sdid(fit_sdid_entry.parse(args, kwargs), nullptr); });
}

PyObject* py_fit_fp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_fit_fp(fit_fp_entry.parse(args, kwargs), nullptr); });
}

PyObject* py_fit_rsc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run_fit_rsc(fit_rsc_entry.parse(args, kwargs), nullptr); });
}

// --- fit_mcnnm -----------------------------------------------------------------------------

const EntryPoint<McnnmArgs> fit_mcnnm_entry{
    "fit_mcnnm",
    "Fit Matrix-Completion NNM (Athey et al. 2021). `max_rank`, when set, uses a\n"
    "fast randomized truncated SVD inside SoftImpute (big speedup, low-rank cap).",
    mcnnm_params()};

// No inference: the six inference attributes stay None.
PyObject* py_fit_mcnnm(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const McnnmArgs a = fit_mcnnm_entry.parse(args, kwargs);
    validate_mcnnm(a);
    const mcnnm::McnnmOptions options = mcnnm_options(a);
    return wrap(on_block_panel(a, [&](const Panel& panel) {
      return result_from_fit(mcnnm::fit_at(panel, a.treat_time, options));
    }));
  });
}

// --- end of fit_mcnnm ----------------------------------------------------------------------

// --- fit_cpasc ----------------------------------------------------------------------------

struct FitCpascArgs : BlockArgs {
  std::string mode;
  std::uint64_t n_strata = 3;
  std::optional<std::uint64_t> block_len;
  double sc_ridge = 0.0;
  std::optional<double> aug_lambda;
};

const EntryPoint<FitCpascArgs> fit_cpasc_entry{
    "fit_cpasc",
    "Fit a CP-ASC-family estimator (novel). `mode` is \"mspe\" (CP-ASC),\n"
    "\"stratified\" (Strat-CP-ASC), or \"cumulative\" (C-AS-CP-ASC).",
    join<FitCpascArgs>({block_params<FitCpascArgs>(),
                        {TX_PARAM(FitCpascArgs, mode, kChoice, "mspe"), TX_PARAM(FitCpascArgs, n_strata, kCount, 3),
                         TX_PARAM(FitCpascArgs, block_len, kCount, kNone),
                         TX_PARAM(FitCpascArgs, sc_ridge, kReal, 0.0),
                         TX_PARAM(FitCpascArgs, aug_lambda, kReal, kNone)}})};

constexpr std::array<std::string_view, 3> kCpascModes{"mspe", "stratified", "cumulative"};

// The weighting mode at position `which` of kCpascModes.
sc::cpasc::CpascMode cpasc_mode(std::size_t which, std::uint64_t n_strata) {
  switch (which) {
    case 0: return sc::cpasc::Mspe{};
    case 1: return sc::cpasc::Stratified{n_strata};
    default: return sc::cpasc::Cumulative{};
  }
}

PyCpascResult cpasc_result(const sc::cpasc::CpascFit& fit) {
  PyCpascResult r;
  r.att = fit.att;
  r.p_value = fit.p_value;
  for (const sc::cpasc::UnitFit& u : fit.units) {
    r.unit_ids.push_back(u.unit);
    r.unit_att.push_back(u.att);
    r.unit_mspe.push_back(u.mspe);
    r.unit_weight.push_back(u.weight);
  }
  r.pooled_residual = fit.pooled_residual;
  r.null_residual = fit.null_residual;
  r.t0 = fit.t0;
  return r;
}

PyObject* py_fit_cpasc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const FitCpascArgs a = fit_cpasc_entry.parse(args, kwargs);
    // The mode is examined before anything about the panel.
    const std::size_t which = unwrap(check_choice("CP-ASC mode", a.mode, kCpascModes));
    validate_block(a);
    unwrap(check_non_negative("sc_ridge", a.sc_ridge));
    if (a.aug_lambda) unwrap(check_pos("aug_lambda", *a.aug_lambda));
    unwrap(check_min_count("n_strata", a.n_strata, 1));
    if (a.block_len) unwrap(check_min_count("block_len", *a.block_len, 1));
    const sc::cpasc::CpascOptions options{
        {a.aug_lambda, a.sc_ridge, 0.0, 1.0},  // the Python entry exposes no weight bounds
        a.block_len ? std::optional<std::size_t>(*a.block_len) : std::nullopt,
        cpasc_mode(which, a.n_strata)};
    // The fit runs one unit after another with the interpreter lock held.
    const Panel panel = Panel::block(mat_from_numpy(a.y), a.treated_units(), a.treat_time);
    return wrap(cpasc_result(sc::cpasc::fit_at(panel, a.treat_time, options)));
  });
}

// --- end of fit_cpasc ----------------------------------------------------------------------

// --- bootstrap_mean ------------------------------------------------------------------------

struct BootstrapMeanArgs {
  std::vector<double> series;
  std::string kind;
  std::uint64_t block_len = 4;
  std::uint64_t n_reps = 2000;
  std::uint64_t seed = 0;
  double level = 0.95;
};

const EntryPoint<BootstrapMeanArgs> bootstrap_mean_entry{
    "bootstrap_mean",
    "Block / stationary bootstrap of the mean of a series (e.g. a post-period\n"
    "gap path). Returns `(se, ci_lower, ci_upper)`. `kind` is \"block\" or\n"
    "\"stationary\"; `block_len` is the (mean) block length.",
    {TX_PARAM(BootstrapMeanArgs, series, kFloatList), TX_PARAM(BootstrapMeanArgs, kind, kChoice, "block"),
     TX_PARAM(BootstrapMeanArgs, block_len, kCount, 4), TX_PARAM(BootstrapMeanArgs, n_reps, kCount, 2000),
     TX_PARAM(BootstrapMeanArgs, seed, kCount, 0), TX_PARAM(BootstrapMeanArgs, level, kReal, 0.95)}};

constexpr std::array<std::string_view, 2> kBootstrapKinds{"block", "stationary"};

PyObject* py_bootstrap_mean(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const BootstrapMeanArgs a = bootstrap_mean_entry.parse(args, kwargs);
    unwrap(check_series(a.series));
    unwrap(check_min_count("block_len", a.block_len, 1));
    unwrap(check_min_count("n_reps", a.n_reps, 1));
    unwrap(check_unit_interval("level", a.level));
    // The kind is examined only once the numbers passed.
    const bool block = unwrap(check_choice("bootstrap kind", a.kind, kBootstrapKinds)) == 0;
    inference::BootstrapMean boot;
    {
      // The interpreter lock stays held for the whole call; Ctrl-C still cancels the replicates.
      HeldLockSignalCheck signals;
      boot = block ? inference::block_bootstrap_mean(a.series, a.block_len, a.n_reps, a.seed, a.level)
                   : inference::stationary_bootstrap_mean(a.series, a.block_len, a.n_reps, a.seed, a.level);
    }
    return Py_BuildValue("(ddd)", boot.ci.se, boot.ci.lower, boot.ci.upper);
  });
}

// --- fit_many ------------------------------------------------------------------------------

struct FitManyArgs : WeightBoundArgs {
  ArrayView3 y3;
  std::vector<std::uint64_t> treated;
  std::uint64_t treat_time = 0;
  std::string method;
  double ridge = 0.0;
  double zeta_scale = 1.0;
};

const EntryPoint<FitManyArgs> fit_many_entry{
    "fit_many",
    "Batched, parallel fitting for Monte-Carlo / power-analysis / robustness runs.\n"
    "\n"
    "`y3` is a stack of panels `(R, N, T)` — replication `r` is an `N×T` panel\n"
    "sharing the same `treated`/`treat_time`. Returns an array of `R` ATTs, one\n"
    "per replication, computed in parallel in native code with the GIL released.\n"
    "\n"
    "`method` is \"sc\", \"asc\" or \"sdid\".",
    join<FitManyArgs>({{TX_PARAM(FitManyArgs, y3, kPanelStack), TX_PARAM(FitManyArgs, treated, kIndexList),
                        TX_PARAM(FitManyArgs, treat_time, kCount), TX_PARAM(FitManyArgs, method, kChoice, "sc"),
                        TX_PARAM(FitManyArgs, ridge, kReal, 0.0), TX_PARAM(FitManyArgs, zeta_scale, kReal, 1.0)},
                       weight_bound_params<FitManyArgs>()})};

PyObject* py_fit_many(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const FitManyArgs a = fit_many_entry.parse(args, kwargs);
    const auto [reps, n, t] = unwrap(check_stack_shape(a.y3));
    unwrap(check_treated(a.treated, n));
    unwrap(check_treat_time(a.treat_time, t));
    validate_bounds(n - a.treated.size(), a);
    // A non-finite ridge or zeta_scale would turn every ATT into NaN without a word.
    unwrap(check_non_negative("ridge", a.ridge));
    unwrap(check_non_negative("zeta_scale", a.zeta_scale));

    const std::vector<std::size_t> treated(a.treated.begin(), a.treated.end());
    std::vector<Panel> panels;
    panels.reserve(reps);
    for (std::size_t r = 0; r < reps; ++r) {
      unwrap(check_stack_finite(a.y3, r));
      panels.push_back(Panel::block(mat_from_numpy(a.y3.slice(r)), treated, a.treat_time));
    }
    // The method is examined only once the whole stack is validated and copied.
    const sc::MethodEntry& entry = *unwrap(check_batch_method(a.method));
    const sc::Method method{entry.options({a.min_weight, a.max_weight, a.ridge, a.zeta_scale})};

    std::vector<double> atts;
    {
      ReleaseGil unlocked;
      atts = inference::att_many(std::move(panels), a.treat_time, method);
    }
    return float64_array_from(std::move(atts));
  });
}

}  // namespace

std::vector<PyMethodDef> sc_functions() {
  return {method_def(fit_sc_entry.signature(), py_fit_sc), method_def(fit_asc_entry.signature(), py_fit_asc),
          method_def(fit_sdid_entry.signature(), py_fit_sdid), method_def(fit_fp_entry.signature(), py_fit_fp),
          method_def(fit_rsc_entry.signature(), py_fit_rsc),
          method_def(fit_mcnnm_entry.signature(), py_fit_mcnnm),
          method_def(fit_cpasc_entry.signature(), py_fit_cpasc),
          method_def(bootstrap_mean_entry.signature(), py_bootstrap_mean),
          method_def(fit_many_entry.signature(), py_fit_many)};
}

}  // namespace tessarix::bindings
