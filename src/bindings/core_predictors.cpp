// The synthetic control matched on predictors for tessarix._core: the array call behind
// tessarix.synth(method="sc", predictors=..., lags=...). The predictor matrix (one row per
// unit) rides on the panel as its covariates, so that the placebo refits match each
// pseudo-treated donor on its own row.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/core_api.hpp"
#include "bindings/core_sc_dicts.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pydict.hpp"
#include "bindings/sc_args.hpp"
#include "bindings/validate.hpp"
#include "estimators/sc/predictors.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/batch.hpp"
#include "inference/placebo.hpp"

namespace tessarix::bindings {
namespace {

namespace pred = sc::predictors;

struct FitScPredictorsArgs : BlockArgs, PredictorArgs {
  bool placebo = false;
  std::uint64_t draws = 1000;
  std::uint64_t seed = 0;
  double level = 0.95;
  PyObject* progress = nullptr;
};

const EntryPoint<FitScPredictorsArgs> fit_sc_predictors_entry{
    "fit_sc_predictors",
    "Synthetic control matched on predictors (Abadie, Diamond & Hainmueller 2010).\n"
    "\n"
    "`y` is the N x T outcome panel, `treated` the treated rows (matched as their\n"
    "average), `treat_time` the first post-period column and `predictors` an N x k\n"
    "float64 matrix, one row per unit (covariates aggregated over chosen periods,\n"
    "lagged outcomes). Each predictor is divided by its standard deviation across the\n"
    "donors and the treated average. The donor weights minimise\n"
    "(x1 - X0 w)' diag(v) (x1 - X0 w) over the simplex. With `v` (k non-negative\n"
    "values, not all zero; only their ratios matter) V is given; without it V is\n"
    "chosen to minimise the mean squared outcome gap over `loss_periods` (columns\n"
    "before `treat_time`; empty: every pre-period), by Nelder-Mead searches from equal\n"
    "and regression-based importances, the best kept.\n"
    "\n"
    "Returns a dict: `att`, `att_path`, `counterfactual`, `treated_post`, `pre_gap`,\n"
    "`weights`, `donor_ids` (int64), `pre_rmspe`, `post_rmspe` as the sc fit has them;\n"
    "`v` (the importances used, summing to 1), `loss` (the mean squared outcome gap\n"
    "over the loss periods), `treated`, `synthetic` and `gap` over every period. With\n"
    "`placebo` true also `placebo_test`: the set placebo test as `placebo_sc` returns\n"
    "it (`draws`, `seed`, `level`), each placebo refit matched on its pseudo-treated\n"
    "donors' own predictors, its refits reported to `progress(done, total)`.",
    join<FitScPredictorsArgs>({block_params<FitScPredictorsArgs>(), predictor_params<FitScPredictorsArgs>(),
                               {TX_PARAM(FitScPredictorsArgs, placebo, kFlag, false),
                                TX_PARAM(FitScPredictorsArgs, draws, kCount, 1000),
                                TX_PARAM(FitScPredictorsArgs, seed, kCount, 0),
                                TX_PARAM(FitScPredictorsArgs, level, kReal, 0.95),
                                progress_param<FitScPredictorsArgs>()}})};

std::string num(std::uint64_t v) { return std::to_string(v); }



// The checked options of the fit.
pred::PredictorOptions validate(const FitScPredictorsArgs& a) {
  validate_block(a);
  pred::PredictorOptions options = checked_predictor_options(a, a.y.shape[0], a.treat_time);
  unwrap(check_count_range("draws", a.draws, 1, kMaxPlaceboDraws));
  unwrap(check_unit_interval("level", a.level));
  return options;
}


// The fit with its paths over every period, and the set placebo test when asked.
struct Outcome {
  pred::PredictorFit fit;
  std::vector<double> treated;
  std::optional<inference::SetPlaceboTest> placebo;
};

Outcome run(const Panel& panel, const FitScPredictorsArgs& a, const pred::PredictorOptions& options) {
  Outcome out;
  const std::size_t t0 = a.treat_time;
  out.fit = pred::fit_nested(panel, t0, options);
  out.treated = treated_mean(panel);
  const ScFit& f = out.fit.fit;
  std::copy(f.treated_post.begin(), f.treated_post.end(), out.treated.begin() + static_cast<std::ptrdiff_t>(t0));
  if (a.placebo) out.placebo = inference::fit_with_set_placebo(panel, sc::Method{options}, a.draws, a.seed, a.level);
  return out;
}

PyObject* outcome_dict(Outcome&& o, const FitScPredictorsArgs& a) {
  ScFit& f = o.fit.fit;
  const std::size_t t0 = a.treat_time, t_count = o.treated.size();
  std::vector<double> gap = f.pre_gap;
  gap.insert(gap.end(), f.att_path.begin(), f.att_path.end());
  std::vector<double> synthetic(t_count);
  for (std::size_t t = 0; t < t0; ++t) synthetic[t] = o.treated[t] - gap[t];
  std::copy(f.counterfactual.begin(), f.counterfactual.end(), synthetic.begin() + static_cast<std::ptrdiff_t>(t0));
  std::vector<std::int64_t> donors(f.donor_ids.begin(), f.donor_ids.end());
  DictBuilder d;
  d.set_float("att", f.att)
      .set("att_path", float64_array_from(std::move(f.att_path)))
      .set("counterfactual", float64_array_from(std::move(f.counterfactual)))
      .set("treated_post", float64_array_from(std::move(f.treated_post)))
      .set("pre_gap", float64_array_from(std::move(f.pre_gap)))
      .set("weights", float64_array_from(std::move(f.weights)))
      .set("donor_ids", int64_array_from(std::move(donors)))
      .set_float("pre_rmspe", f.pre_rmspe)
      .set_float("post_rmspe", f.post_rmspe)
      .set("v", float64_array_from(std::move(o.fit.v)))
      .set_float("loss", o.fit.loss)
      .set("treated", float64_array_from(std::move(o.treated)))
      .set("synthetic", float64_array_from(std::move(synthetic)))
      .set("gap", float64_array_from(std::move(gap)));
  if (o.placebo) d.set("placebo_test", set_placebo_dict(std::move(*o.placebo), a.treated.size(), t_count));
  return d.release();
}

PyObject* py_fit_sc_predictors(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const FitScPredictorsArgs a = fit_sc_predictors_entry.parse(args, kwargs);
    const pred::PredictorOptions options = validate(a);
    Mat x = mat_from_numpy(a.predictors);
    Mat y = mat_from_numpy(a.y);
    const std::vector<std::size_t> treated = a.treated_units();
    Outcome o = [&] {
      ReleaseGil unlocked;
      ProgressReport report(a.progress, unlocked.state());
      const Panel panel = Panel::block(std::move(y), treated, a.treat_time).with_covariates(std::move(x));
      return run(panel, a, options);
    }();
    return outcome_dict(std::move(o), a);
  });
}

// --- batches ---------------------------------------------------------------------------------

struct FitManyPredictorsArgs : PredictorArgs {
  ArrayView3 y3;
  std::vector<std::uint64_t> treated;
  std::uint64_t treat_time = 0;
};

const EntryPoint<FitManyPredictorsArgs> fit_many_predictors_entry{
    "fit_many_predictors",
    "`fit_many` for the synthetic control matched on predictors: `y3` is a stack of\n"
    "panels (R, N, T) sharing `treated`, `treat_time` and the N x k `predictors` (one\n"
    "row per unit, the same for every replication), each replication fitted as\n"
    "`fit_sc_predictors` fits it (`v`, `loss_periods` likewise). Returns the R ATTs,\n"
    "fitted in parallel with the GIL released.",
    join<FitManyPredictorsArgs>({{TX_PARAM(FitManyPredictorsArgs, y3, kPanelStack),
                                  TX_PARAM(FitManyPredictorsArgs, treated, kIndexList),
                                  TX_PARAM(FitManyPredictorsArgs, treat_time, kCount)},
                                 predictor_params<FitManyPredictorsArgs>()})};

PyObject* py_fit_many_predictors(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const FitManyPredictorsArgs a = fit_many_predictors_entry.parse(args, kwargs);
    const auto [reps, n, t] = unwrap(check_stack_shape(a.y3));
    unwrap(check_treated(a.treated, n));
    unwrap(check_treat_time(a.treat_time, t));
    const pred::PredictorOptions options = checked_predictor_options(a, n, a.treat_time);
    const Mat x = mat_from_numpy(a.predictors);
    const std::vector<std::size_t> treated(a.treated.begin(), a.treated.end());
    std::vector<Panel> panels;
    panels.reserve(reps);
    for (std::size_t r = 0; r < reps; ++r) {
      unwrap(check_stack_finite(a.y3, r));
      panels.push_back(Panel::block(mat_from_numpy(a.y3.slice(r)), treated, a.treat_time).with_covariates(Mat(x)));
    }
    std::vector<double> atts;
    {
      ReleaseGil unlocked;
      atts = inference::att_many(std::move(panels), a.treat_time, sc::Method{options});
    }
    return float64_array_from(std::move(atts));
  });
}

// k non-negative finite importances, not all zero.
void validate_importances(const std::vector<double>& v, std::size_t k) {
  if (v.size() != k) throw UserError{"v must give one importance per predictor: " + num(k) + " values, got " + num(v.size())};
  double total = 0.0;
  for (double x : v) {
    if (!std::isfinite(x) || x < 0.0) throw UserError{"v must be finite and non-negative; got " + std::to_string(x)};
    total += x;
  }
  if (!(total > 0.0)) throw UserError{"v must not be all zero"};
}

// Strictly ascending columns before the treatment time.
void validate_loss_periods(const std::vector<std::uint64_t>& periods, std::uint64_t treat_time) {
  for (std::size_t i = 0; i < periods.size(); ++i) {
    if (periods[i] >= treat_time) {
      throw UserError{"loss_periods must lie before treat_time " + num(treat_time) + "; got " + num(periods[i])};
    }
    if (i > 0 && periods[i] <= periods[i - 1]) throw UserError{"loss_periods must be strictly ascending"};
  }
}

}  // namespace

sc::predictors::PredictorOptions checked_predictor_options(const PredictorArgs& a, std::size_t n_units,
                                                           std::uint64_t treat_time) {
  validate_predictors(a.predictors, n_units);
  sc::predictors::PredictorOptions o;
  if (a.v) {
    validate_importances(*a.v, a.predictors.shape[1]);
    o.v = *a.v;
  }
  validate_loss_periods(a.loss_periods, treat_time);
  o.loss_periods.assign(a.loss_periods.begin(), a.loss_periods.end());
  return o;
}

void validate_predictors(const ArrayView2& x, std::size_t n_units) {
  if (x.shape[0] != n_units || x.shape[1] == 0) {
    throw UserError{"predictors must be an N x k matrix with N = " + num(n_units) + " rows (one per unit) and k >= 1; got shape (" +
                     num(x.shape[0]) + ", " + num(x.shape[1]) + ")"};
  }
  for (std::size_t p = 0; p < x.shape[1]; ++p) {
    for (std::size_t u = 0; u < x.shape[0]; ++u) {
      if (!std::isfinite(x.at(u, p))) {
        throw UserError{"predictors must be finite; row " + num(u) + ", column " + num(p) + " is not"};
      }
    }
  }
}

std::vector<PyMethodDef> core_predictor_functions() {
  return {method_def(fit_sc_predictors_entry.signature(), py_fit_sc_predictors),
          method_def(fit_many_predictors_entry.signature(), py_fit_many_predictors)};
}

}  // namespace tessarix::bindings
