// Full fitted paths of the synthetic-control family for tessarix._core: for the fit that the
// matching fit_ function of tessarix._tessarix makes (same arguments, same checks), the treated
// mean path, its synthetic counterpart and their gap over every period, for SDID also the time
// weights and the intercept, and optionally the gap path of every in-space placebo refit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/core_api.hpp"
#include "bindings/core_sc_dicts.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pydict.hpp"
#include "bindings/sc_args.hpp"
#include "bindings/sc_entries.hpp"
#include "bindings/validate.hpp"
#include "estimators/sc/registry.hpp"
#include "estimators/scale.hpp"
#include "inference/placebo.hpp"

namespace tessarix::bindings {
namespace {

// A fit's paths over every period, in outcome units.
struct Paths {
  std::vector<double> treated;    // the treated units' mean
  std::vector<double> synthetic;  // treated - gap before t0, the counterfactual from t0 on
  std::vector<double> gap;        // pre_gap, then att_path
  std::optional<std::vector<inference::PlaceboPath>> placebo;
  std::vector<double> time_weights;  // SDID only
  std::optional<double> intercept;   // SDID only
};

}  // namespace

std::vector<double> treated_mean(const Panel& panel) {
  const std::vector<std::size_t> treated = panel.treated_units();
  const int e = rescale_exponent(panel.y());
  if (e == 0) return panel.unit_mean(treated);
  std::vector<double> m = rescaled(panel, e).unit_mean(treated);
  for (double& v : m) v = std::ldexp(v, -e);
  return m;
}

namespace {

// The paths of `fit`, made at treatment time t0 on `panel`. From t0 on they are the fit's own
// fields: treated_post, counterfactual and att_path.
Paths paths_of(const Panel& panel, std::size_t t0, const ScFit& fit) {
  Paths p;
  p.treated = treated_mean(panel);
  std::copy(fit.treated_post.begin(), fit.treated_post.end(), p.treated.begin() + static_cast<std::ptrdiff_t>(t0));
  p.gap = fit.pre_gap;
  p.gap.insert(p.gap.end(), fit.att_path.begin(), fit.att_path.end());
  p.synthetic.resize(p.treated.size());
  for (std::size_t t = 0; t < t0; ++t) p.synthetic[t] = p.treated[t] - p.gap[t];
  std::copy(fit.counterfactual.begin(), fit.counterfactual.end(), p.synthetic.begin() + static_cast<std::ptrdiff_t>(t0));
  return p;
}

// The fit of `method` and, when asked, the placebo refits' gap paths, the real fit running on
// the pool beside the refits as it does in fit_sc and its kin.
Paths family_paths(const Panel& panel, std::size_t t0, const sc::Method& method, bool placebo) {
  if (!placebo) return paths_of(panel, t0, method.fit_at(panel, t0));
  inference::FitWithPlaceboPaths both = inference::fit_with_placebo_paths(panel, method);
  Paths p = paths_of(panel, t0, both.fit);
  p.placebo = std::move(both.placebo);
  return p;
}

// The dict of float64 arrays (int64 for the placebo units) that the paths_ functions return.
PyObject* paths_dict(Paths&& p) {
  const std::size_t t_count = p.treated.size();
  DictBuilder d;
  d.set("treated", float64_array_from(std::move(p.treated)))
      .set("synthetic", float64_array_from(std::move(p.synthetic)))
      .set("gap", float64_array_from(std::move(p.gap)));
  if (p.placebo) {
    std::vector<std::int64_t> units;
    std::vector<double> rows;  // row-major, one row per kept placebo
    units.reserve(p.placebo->size());
    rows.reserve(p.placebo->size() * t_count);
    for (const inference::PlaceboPath& path : *p.placebo) {
      units.push_back(static_cast<std::int64_t>(path.unit));
      rows.insert(rows.end(), path.gap.begin(), path.gap.end());
    }
    d.set("placebo_units", int64_array_from(std::move(units)))
        .set("placebo_gaps", float64_array2_from(std::move(rows), p.placebo->size(), t_count));
  }
  if (p.intercept) {
    d.set("time_weights", float64_array_from(std::move(p.time_weights))).set_float("intercept", *p.intercept);
  }
  return d.release();
}

PyObject* family_dict(const BlockArgs& a, const sc::Method& method, bool placebo) {
  return paths_dict(on_block_panel(a, [&](const Panel& panel) {
    return family_paths(panel, a.treat_time, method, placebo);
  }));
}

struct PlaceboFlag {
  bool placebo = false;
};

template <class R>
std::vector<Param<R>> placebo_flag_params() {
  return {TX_PARAM(R, placebo, kFlag, false)};
}

#define TX_PATHS_RETURNS                                                                      \
  "Returns a dict of float64 arrays over every period: `treated` (the treated\n"              \
  "units' mean path), `synthetic` (treated - gap before `treat_time`, the fit's\n"            \
  "counterfactual from it on) and `gap` (the pre-period gap, then `att_path`). From\n"        \
  "`treat_time` on they equal the fit's `treated_post`, `counterfactual` and\n"               \
  "`att_path` exactly."
#define TX_PLACEBO_RETURNS                                                                    \
  " With `placebo` true, also `placebo_units` (int64: the\n"                                  \
  "unit index of each donor the in-space placebo test keeps) and `placebo_gaps`\n"            \
  "(one row per kept placebo, its gap over every period; the mean of a row's\n"               \
  "post-period part is that placebo's ATT)."

// --- paths_sc ------------------------------------------------------------------------------

struct PathsScArgs : BlockArgs, ScOptionArgs, WeightBoundArgs, PlaceboFlag {};

const EntryPoint<PathsScArgs> paths_sc_entry{
    "paths_sc",
    "Full paths of the synthetic-control fit of `fit_sc` (same arguments and checks).\n"
    "\n" TX_PATHS_RETURNS TX_PLACEBO_RETURNS,
    join<PathsScArgs>({block_params<PathsScArgs>(),
                       {TX_PARAM(PathsScArgs, ridge, kReal, 0.0), TX_PARAM(PathsScArgs, penalty, kReal, 0.0)},
                       weight_bound_params<PathsScArgs>(), placebo_flag_params<PathsScArgs>()})};

PyObject* py_paths_sc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PathsScArgs a = paths_sc_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_sc_options(a);
    validate_bounds(n_donors, a);
    return family_dict(a, {sc_options(a, a)}, a.placebo);
  });
}

// --- paths_asc -----------------------------------------------------------------------------

struct PathsAscArgs : BlockArgs, AscOptionArgs, WeightBoundArgs, PlaceboFlag {};

const EntryPoint<PathsAscArgs> paths_asc_entry{
    "paths_asc",
    "Full paths of the augmented synthetic-control fit of `fit_asc` (same arguments\n"
    "and checks). The pre-period gap is the augmented fit's: the simplex fit's\n"
    "imbalance less its ridge adjustment.\n"
    "\n" TX_PATHS_RETURNS TX_PLACEBO_RETURNS,
    join<PathsAscArgs>({block_params<PathsAscArgs>(),
                        {TX_PARAM(PathsAscArgs, sc_ridge, kReal, 0.0), TX_PARAM(PathsAscArgs, aug_lambda, kReal, kNone)},
                        weight_bound_params<PathsAscArgs>(), placebo_flag_params<PathsAscArgs>()})};

PyObject* py_paths_asc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PathsAscArgs a = paths_asc_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_asc_options(a);
    validate_bounds(n_donors, a);
    return family_dict(a, {asc_options(a, a)}, a.placebo);
  });
}

// --- paths_fp ------------------------------------------------------------------------------

struct PathsFpArgs : BlockArgs, FpOptionArgs, WeightBoundArgs, PlaceboFlag {};

const EntryPoint<PathsFpArgs> paths_fp_entry{
    "paths_fp",
    "Full paths of the demeaned synthetic-control fit of `fit_fp` (same arguments\n"
    "and checks).\n"
    "\n" TX_PATHS_RETURNS TX_PLACEBO_RETURNS,
    join<PathsFpArgs>({block_params<PathsFpArgs>(), {TX_PARAM(PathsFpArgs, ridge, kReal, 0.0)},
                       weight_bound_params<PathsFpArgs>(), placebo_flag_params<PathsFpArgs>()})};

PyObject* py_paths_fp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PathsFpArgs a = paths_fp_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_fp_options(a);
    validate_bounds(n_donors, a);
    return family_dict(a, {fp_options(a, a)}, a.placebo);
  });
}

// --- paths_rsc -----------------------------------------------------------------------------

struct PathsRscArgs : BlockArgs, RscOptionArgs, PlaceboFlag {};

const EntryPoint<PathsRscArgs> paths_rsc_entry{
    "paths_rsc",
    "Full paths of the robust synthetic-control fit of `fit_rsc` (same arguments and\n"
    "checks).\n"
    "\n" TX_PATHS_RETURNS TX_PLACEBO_RETURNS,
    join<PathsRscArgs>({block_params<PathsRscArgs>(), rsc_option_params<PathsRscArgs>(),
                        placebo_flag_params<PathsRscArgs>()})};

PyObject* py_paths_rsc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PathsRscArgs a = paths_rsc_entry.parse(args, kwargs);
    validate_block(a);
    validate_rsc_ridge_energy(a);
    validate_rsc_rank(a);
    return family_dict(a, {rsc_options(a)}, a.placebo);
  });
}

// --- paths_sdid ----------------------------------------------------------------------------

struct PathsSdidArgs : BlockArgs, SdidOptionArgs, WeightBoundArgs, PlaceboFlag {};

const EntryPoint<PathsSdidArgs> paths_sdid_entry{
    "paths_sdid",
    "Full paths of the synthetic difference-in-differences fit of `fit_sdid` (same\n"
    "arguments and checks; `placebo` true is its in-space placebo inference). The\n"
    "synthetic path is the weighted donors plus the intercept.\n"
    "\n" TX_PATHS_RETURNS TX_PLACEBO_RETURNS
    " Also `time_weights` (one per pre-period) and\n"
    "`intercept` (float: the treated minus the weighted donors' time-weighted\n"
    "pre-period level).",
    join<PathsSdidArgs>({block_params<PathsSdidArgs>(), {TX_PARAM(PathsSdidArgs, zeta_scale, kReal, 1.0)},
                         weight_bound_params<PathsSdidArgs>(), placebo_flag_params<PathsSdidArgs>()})};

// The fit with its time weights and intercept; the placebo refits, when asked, after it.
Paths sdid_paths(const Panel& panel, std::size_t t0, const sc::sdid::SdidOptions& options, bool placebo) {
  sc::sdid::SdidFit full = sc::sdid::fit_with_time_weights(panel, t0, options);
  Paths p = paths_of(panel, t0, full.fit);
  p.time_weights = std::move(full.time_weights);
  p.intercept = full.intercept;
  if (placebo) p.placebo = inference::placebo_paths(panel, {options});
  return p;
}

PyObject* py_paths_sdid(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PathsSdidArgs a = paths_sdid_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_sdid_options(a);
    validate_bounds(n_donors, a);
    const sc::sdid::SdidOptions options = sdid_options(a, a);
    return paths_dict(on_block_panel(a, [&](const Panel& panel) {
      return sdid_paths(panel, a.treat_time, options, a.placebo);
    }));
  });
}

// --- paths_mcnnm ---------------------------------------------------------------------------

const EntryPoint<McnnmArgs> paths_mcnnm_entry{
    "paths_mcnnm",
    "Full paths of the matrix-completion fit of `fit_mcnnm` (same arguments and\n"
    "checks). The pre-period gap is the treated units' mean residual from the\n"
    "fitted low-rank and two-way fixed-effects model.\n"
    "\n" TX_PATHS_RETURNS,
    mcnnm_params()};

PyObject* py_paths_mcnnm(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const McnnmArgs a = paths_mcnnm_entry.parse(args, kwargs);
    validate_mcnnm(a);
    const mcnnm::McnnmOptions options = mcnnm_options(a);
    return paths_dict(on_block_panel(a, [&](const Panel& panel) {
      return paths_of(panel, a.treat_time, mcnnm::fit_at(panel, a.treat_time, options));
    }));
  });
}

#undef TX_PATHS_RETURNS
#undef TX_PLACEBO_RETURNS

// --- placebo_sc, _asc, _sdid, _fp, _rsc: set placebo tests ---------------------------------

struct SetPlaceboArgs {
  std::uint64_t draws = 1000;
  std::uint64_t seed = 0;
  double level = 0.95;
  PyObject* progress = nullptr;
};

template <class R>
std::vector<Param<R>> set_placebo_params() {
  return {TX_PARAM(R, draws, kCount, 1000), TX_PARAM(R, seed, kCount, 0), TX_PARAM(R, level, kReal, 0.95),
          progress_param<R>()};
}

void validate_set_placebo(const SetPlaceboArgs& a) {
  unwrap(check_count_range("draws", a.draws, 1, kMaxPlaceboDraws));
  unwrap(check_unit_interval("level", a.level));
}

}  // namespace

PyObject* set_placebo_dict(inference::SetPlaceboTest&& t, std::size_t set_size, std::size_t t_count) {
  const std::size_t m = t.placebos.size();
  std::vector<std::int64_t> units;
  std::vector<double> stats, atts, gaps;  // gaps row-major, one row per placebo
  units.reserve(m * set_size);
  gaps.reserve(m * t_count);
  for (inference::SetPlacebo& p : t.placebos) {
    units.insert(units.end(), p.units.begin(), p.units.end());
    stats.push_back(p.stat);
    atts.push_back(p.att);
    gaps.insert(gaps.end(), p.gap.begin(), p.gap.end());
  }
  DictBuilder d;
  d.set_float("att", t.fit.att)
      .set_float("stat", t.stat)
      .set_float("p_value", t.p_value)
      .set_float("se", t.se)
      .set_float("ci_lower", t.interval.lower)
      .set_float("ci_upper", t.interval.upper)
      .set("exhaustive", PyBool_FromLong(t.exhaustive ? 1 : 0))
      .set("placebo_units", int64_array2_from(std::move(units), m, set_size))
      .set("placebo_stats", float64_array_from(std::move(stats)))
      .set("placebo_atts", float64_array_from(std::move(atts)))
      .set("placebo_gaps", float64_array2_from(std::move(gaps), m, t_count));
  return d.release();
}

namespace {

PyObject* set_placebo_of(const BlockArgs& a, const sc::Method& method, const SetPlaceboArgs& p) {
  inference::SetPlaceboTest test = on_block_panel(
      a, [&](const Panel& panel) { return inference::fit_with_set_placebo(panel, method, p.draws, p.seed, p.level); },
      p.progress);
  return set_placebo_dict(std::move(test), a.treated.size(), a.y.shape[1]);
}

#define TX_SET_PLACEBO_DOC(name)                                                                \
  "In-space placebo test of the `" name "` fit (same arguments and checks) whose\n"             \
  "placebos treat as many donors at once as there are treated units, the real\n"              \
  "treated units left out: every such set of donors when there are at most `draws`\n"          \
  "of them (`exhaustive`; with one treated unit, each donor alone as `" name "`'s\n"          \
  "placebo test does), otherwise `draws` sets drawn uniformly at random under\n"               \
  "`seed`. Refits run in parallel; `progress(done, total)` hears of them.\n"                  \
  "\n"                                                                                          \
  "Returns a dict: `att` and `stat` of the real fit, `p_value` (share of placebo\n"            \
  "statistics >= `stat`, the real one counted), `se` (sample spread of the placebo\n"         \
  "ATTs; 0 below two), `ci_lower` and `ci_upper` (rank interval at `level`: the ATT\n"        \
  "less the placebo ATTs' order statistics of ranks ceil((m+1)(1-a/2)) and\n"                 \
  "floor((m+1)a/2), a = 1 - level; infinite where that rank is not in 1..m), and per\n"       \
  "kept placebo in set order `placebo_units` (int64, one row of unit indices),\n"             \
  "`placebo_stats`, `placebo_atts` and `placebo_gaps` (its gap over every period)."

struct PlaceboScArgs : BlockArgs, ScOptionArgs, WeightBoundArgs, SetPlaceboArgs {};
struct PlaceboAscArgs : BlockArgs, AscOptionArgs, WeightBoundArgs, SetPlaceboArgs {};
struct PlaceboSdidArgs : BlockArgs, SdidOptionArgs, WeightBoundArgs, SetPlaceboArgs {};
struct PlaceboFpArgs : BlockArgs, FpOptionArgs, WeightBoundArgs, SetPlaceboArgs {};
struct PlaceboRscArgs : BlockArgs, RscOptionArgs, SetPlaceboArgs {};

const EntryPoint<PlaceboScArgs> placebo_sc_entry{
    "placebo_sc", TX_SET_PLACEBO_DOC("fit_sc"),
    join<PlaceboScArgs>({block_params<PlaceboScArgs>(),
                         {TX_PARAM(PlaceboScArgs, ridge, kReal, 0.0), TX_PARAM(PlaceboScArgs, penalty, kReal, 0.0)},
                         weight_bound_params<PlaceboScArgs>(), set_placebo_params<PlaceboScArgs>()})};
const EntryPoint<PlaceboAscArgs> placebo_asc_entry{
    "placebo_asc", TX_SET_PLACEBO_DOC("fit_asc"),
    join<PlaceboAscArgs>({block_params<PlaceboAscArgs>(),
                          {TX_PARAM(PlaceboAscArgs, sc_ridge, kReal, 0.0), TX_PARAM(PlaceboAscArgs, aug_lambda, kReal, kNone)},
                          weight_bound_params<PlaceboAscArgs>(), set_placebo_params<PlaceboAscArgs>()})};
const EntryPoint<PlaceboSdidArgs> placebo_sdid_entry{
    "placebo_sdid", TX_SET_PLACEBO_DOC("fit_sdid"),
    join<PlaceboSdidArgs>({block_params<PlaceboSdidArgs>(), {TX_PARAM(PlaceboSdidArgs, zeta_scale, kReal, 1.0)},
                           weight_bound_params<PlaceboSdidArgs>(), set_placebo_params<PlaceboSdidArgs>()})};
const EntryPoint<PlaceboFpArgs> placebo_fp_entry{
    "placebo_fp", TX_SET_PLACEBO_DOC("fit_fp"),
    join<PlaceboFpArgs>({block_params<PlaceboFpArgs>(), {TX_PARAM(PlaceboFpArgs, ridge, kReal, 0.0)},
                         weight_bound_params<PlaceboFpArgs>(), set_placebo_params<PlaceboFpArgs>()})};
const EntryPoint<PlaceboRscArgs> placebo_rsc_entry{
    "placebo_rsc", TX_SET_PLACEBO_DOC("fit_rsc"),
    join<PlaceboRscArgs>({block_params<PlaceboRscArgs>(), rsc_option_params<PlaceboRscArgs>(),
                          set_placebo_params<PlaceboRscArgs>()})};

#undef TX_SET_PLACEBO_DOC

PyObject* py_placebo_sc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PlaceboScArgs a = placebo_sc_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_sc_options(a);
    validate_bounds(n_donors, a);
    validate_set_placebo(a);
    return set_placebo_of(a, {sc_options(a, a)}, a);
  });
}

PyObject* py_placebo_asc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PlaceboAscArgs a = placebo_asc_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_asc_options(a);
    validate_bounds(n_donors, a);
    validate_set_placebo(a);
    return set_placebo_of(a, {asc_options(a, a)}, a);
  });
}

PyObject* py_placebo_sdid(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PlaceboSdidArgs a = placebo_sdid_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_sdid_options(a);
    validate_bounds(n_donors, a);
    validate_set_placebo(a);
    return set_placebo_of(a, {sdid_options(a, a)}, a);
  });
}

PyObject* py_placebo_fp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PlaceboFpArgs a = placebo_fp_entry.parse(args, kwargs);
    const std::size_t n_donors = validate_block(a);
    validate_fp_options(a);
    validate_bounds(n_donors, a);
    validate_set_placebo(a);
    return set_placebo_of(a, {fp_options(a, a)}, a);
  });
}

PyObject* py_placebo_rsc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PlaceboRscArgs a = placebo_rsc_entry.parse(args, kwargs);
    validate_block(a);
    validate_rsc_ridge_energy(a);
    validate_rsc_rank(a);
    validate_set_placebo(a);
    return set_placebo_of(a, {rsc_options(a)}, a);
  });
}

// --- the fits of tessarix._tessarix with progress ------------------------------------------

// The placebo refits (or jackknife cases) done so far and in all.
#define TX_PROGRESS_DOC(name)                                                                      \
  "`tessarix." name "` (same arguments, checks and result), reporting the progress of its\n"   \
  "placebo refits to `progress(done, total)`."

template <class Args>
struct WithProgress : Args {
  PyObject* progress = nullptr;
};

const EntryPoint<WithProgress<FitScArgs>> core_fit_sc_entry{
    "fit_sc", TX_PROGRESS_DOC("fit_sc"),
    join<WithProgress<FitScArgs>>({fit_sc_params<WithProgress<FitScArgs>>(), {progress_param<WithProgress<FitScArgs>>()}})};
const EntryPoint<WithProgress<FitAscArgs>> core_fit_asc_entry{
    "fit_asc", TX_PROGRESS_DOC("fit_asc"),
    join<WithProgress<FitAscArgs>>({fit_asc_params<WithProgress<FitAscArgs>>(), {progress_param<WithProgress<FitAscArgs>>()}})};
const EntryPoint<WithProgress<FitSdidArgs>> core_fit_sdid_entry{
    "fit_sdid", TX_PROGRESS_DOC("fit_sdid"),
    join<WithProgress<FitSdidArgs>>({fit_sdid_params<WithProgress<FitSdidArgs>>(), {progress_param<WithProgress<FitSdidArgs>>()}})};
const EntryPoint<WithProgress<FitFpArgs>> core_fit_fp_entry{
    "fit_fp", TX_PROGRESS_DOC("fit_fp"),
    join<WithProgress<FitFpArgs>>({fit_fp_params<WithProgress<FitFpArgs>>(), {progress_param<WithProgress<FitFpArgs>>()}})};
const EntryPoint<WithProgress<FitRscArgs>> core_fit_rsc_entry{
    "fit_rsc", TX_PROGRESS_DOC("fit_rsc"),
    join<WithProgress<FitRscArgs>>({fit_rsc_params<WithProgress<FitRscArgs>>(), {progress_param<WithProgress<FitRscArgs>>()}})};

#undef TX_PROGRESS_DOC

template <class Args, PyObject* (*Run)(const Args&, PyObject*)>
PyObject* with_progress(const EntryPoint<WithProgress<Args>>& entry, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const WithProgress<Args> a = entry.parse(args, kwargs);
    return Run(a, a.progress);
  });
}

PyObject* py_core_fit_sc(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_progress<FitScArgs, run_fit_sc>(core_fit_sc_entry, args, kwargs);
}
PyObject* py_core_fit_asc(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_progress<FitAscArgs, run_fit_asc>(core_fit_asc_entry, args, kwargs);
}
PyObject* py_core_fit_sdid(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_progress<FitSdidArgs, run_fit_sdid>(core_fit_sdid_entry, args, kwargs);
}
PyObject* py_core_fit_fp(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_progress<FitFpArgs, run_fit_fp>(core_fit_fp_entry, args, kwargs);
}
PyObject* py_core_fit_rsc(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_progress<FitRscArgs, run_fit_rsc>(core_fit_rsc_entry, args, kwargs);
}

}  // namespace

std::vector<PyMethodDef> core_sc_functions() {
  return {method_def(paths_sc_entry.signature(), py_paths_sc), method_def(paths_asc_entry.signature(), py_paths_asc),
          method_def(paths_fp_entry.signature(), py_paths_fp), method_def(paths_rsc_entry.signature(), py_paths_rsc),
          method_def(paths_sdid_entry.signature(), py_paths_sdid),
          method_def(paths_mcnnm_entry.signature(), py_paths_mcnnm),
          method_def(placebo_sc_entry.signature(), py_placebo_sc),
          method_def(placebo_asc_entry.signature(), py_placebo_asc),
          method_def(placebo_sdid_entry.signature(), py_placebo_sdid),
          method_def(placebo_fp_entry.signature(), py_placebo_fp),
          method_def(placebo_rsc_entry.signature(), py_placebo_rsc),
          method_def(core_fit_sc_entry.signature(), py_core_fit_sc),
          method_def(core_fit_asc_entry.signature(), py_core_fit_asc),
          method_def(core_fit_sdid_entry.signature(), py_core_fit_sdid),
          method_def(core_fit_fp_entry.signature(), py_core_fit_fp),
          method_def(core_fit_rsc_entry.signature(), py_core_fit_rsc)};
}

}  // namespace tessarix::bindings
