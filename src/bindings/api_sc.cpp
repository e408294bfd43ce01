// Python entry points of the synthetic-control family and the batched refits.
#include "bindings/api_sc.hpp"

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/convert.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/validate.hpp"
#include "estimators/sc/sdid.hpp"
#include "inference/batch.hpp"
#include "inference/ci.hpp"
#include "inference/jackknife.hpp"

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

void attach_placebo(PyScResult& result, const inference::PlaceboResult& placebo, double att,
                    double level) {
  if (placebo.placebo_stats.empty()) return;
  result.p_value = placebo.p_value;
  result.inference_distribution = placebo.placebo_stats;
  const inference::PercentileCi ci = inference::percentile_ci(placebo.placebo_atts, 0.0, level);
  result.se = ci.se;
  result.ci_lower = att + ci.lower;
  result.ci_upper = att + ci.upper;
  result.placebo_atts = placebo.placebo_atts;
}

namespace {

// The arguments every synthetic-control entry point starts with, converted.
struct PanelArgs {
  ArrayView2 y;
  std::vector<std::uint64_t> treated;
  std::uint64_t treat_time = 0;
  std::size_t n = 0;
  std::size_t t = 0;

  PanelArgs(PyObject* y_obj, PyObject* treated_obj, PyObject* treat_time_obj)
      : y(to_panel(y_obj, "y")),
        treated(to_index_list(treated_obj, "treated")),
        treat_time(to_count(treat_time_obj, "treat_time")) {}

  // Shape and finiteness, treated indices, treatment time: in that order.
  void validate() {
    std::tie(n, t) = unwrap(check_panel(y));
    unwrap(check_treated(treated, n));
    unwrap(check_treat_time(treat_time, t));
  }

  std::size_t n_donors() const { return n - treated.size(); }
  std::vector<std::size_t> treated_units() const { return {treated.begin(), treated.end()}; }
};

// Copies y, then with the interpreter lock released builds the block-design panel and runs
// `estimate` on it (owned data only); the record is wrapped once the lock is back.
template <class Estimate>
PyObject* on_block_panel(const PanelArgs& a, Estimate estimate) {
  Mat y = mat_from_numpy(a.y);
  const std::vector<std::size_t> treated = a.treated_units();
  PyScResult result;
  {
    ReleaseGil unlocked;
    const Panel panel = Panel::block(std::move(y), treated, a.treat_time);
    result = estimate(panel);
  }
  return wrap(std::move(result));
}

// Fits the panel with `method` and optionally attaches in-space placebo inference.
PyObject* fit_family(const PanelArgs& a, const inference::ScMethod& method, bool placebo,
                     double level) {
  return on_block_panel(a, [&](const Panel& panel) {
    ScFit fit = method.fit_at(panel, a.treat_time);
    PyScResult result = result_from_fit(fit);
    if (placebo) {
      const double att = fit.att;
      attach_placebo(result, inference::sc_placebo_method(panel, method, std::move(fit)), att, level);
    }
    return result;
  });
}

double real_arg(PyObject* obj, const char* name, double fallback) {
  return arg_or(obj, name, to_real, fallback);
}

bool flag_arg(PyObject* obj, const char* name) { return arg_or(obj, name, to_flag, false); }

}  // namespace

PyObject* py_fit_sc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto o = bind_args<9>(args, kwargs, "fit_sc",
                                {"y", "treated", "treat_time", "ridge", "placebo", "level", "penalty",
                                 "min_weight", "max_weight"},
                                3);
    PanelArgs a(o[0], o[1], o[2]);
    const double ridge = real_arg(o[3], "ridge", 0.0);
    const bool placebo = flag_arg(o[4], "placebo");
    const double level = real_arg(o[5], "level", 0.95);
    const double penalty = real_arg(o[6], "penalty", 0.0);
    const double min_weight = real_arg(o[7], "min_weight", 0.0);
    const double max_weight = real_arg(o[8], "max_weight", 1.0);

    a.validate();
    unwrap(check_non_negative("ridge", ridge));
    unwrap(check_non_negative("penalty", penalty));
    unwrap(check_unit_interval("level", level));
    unwrap(check_weight_bounds(a.n_donors(), min_weight, max_weight));
    const inference::ScMethod method{sc::synthetic::ScOptions{min_weight, max_weight, ridge, penalty}};
    return fit_family(a, method, placebo, level);
  });
}

PyObject* py_fit_fp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto o = bind_args<8>(args, kwargs, "fit_fp",
                                {"y", "treated", "treat_time", "ridge", "placebo", "level", "min_weight",
                                 "max_weight"},
                                3);
    PanelArgs a(o[0], o[1], o[2]);
    const double ridge = real_arg(o[3], "ridge", 0.0);
    const bool placebo = flag_arg(o[4], "placebo");
    const double level = real_arg(o[5], "level", 0.95);
    const double min_weight = real_arg(o[6], "min_weight", 0.0);
    const double max_weight = real_arg(o[7], "max_weight", 1.0);

    a.validate();
    unwrap(check_non_negative("ridge", ridge));
    unwrap(check_unit_interval("level", level));
    unwrap(check_weight_bounds(a.n_donors(), min_weight, max_weight));
    const inference::ScMethod method{sc::demeaned::FpOptions{min_weight, max_weight, ridge}};
    return fit_family(a, method, placebo, level);
  });
}

PyObject* py_fit_asc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto o = bind_args<9>(args, kwargs, "fit_asc",
                                {"y", "treated", "treat_time", "sc_ridge", "aug_lambda", "placebo",
                                 "level", "min_weight", "max_weight"},
                                3);
    PanelArgs a(o[0], o[1], o[2]);
    const double sc_ridge = real_arg(o[3], "sc_ridge", 0.0);
    const std::optional<double> aug_lambda = optional_arg(o[4], "aug_lambda", to_real);
    const bool placebo = flag_arg(o[5], "placebo");
    const double level = real_arg(o[6], "level", 0.95);
    const double min_weight = real_arg(o[7], "min_weight", 0.0);
    const double max_weight = real_arg(o[8], "max_weight", 1.0);

    a.validate();
    unwrap(check_non_negative("sc_ridge", sc_ridge));
    if (aug_lambda) unwrap(check_pos("aug_lambda", *aug_lambda));
    unwrap(check_unit_interval("level", level));
    unwrap(check_weight_bounds(a.n_donors(), min_weight, max_weight));
    const inference::ScMethod method{sc::augmented::AscOptions{aug_lambda, sc_ridge, min_weight, max_weight}};
    return fit_family(a, method, placebo, level);
  });
}

PyObject* py_fit_rsc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto o = bind_args<8>(args, kwargs, "fit_rsc",
                                {"y", "treated", "treat_time", "rank", "energy", "ridge", "placebo",
                                 "level"},
                                3);
    PanelArgs a(o[0], o[1], o[2]);
    const std::optional<std::uint64_t> rank = optional_arg(o[3], "rank", to_count);
    const double energy = real_arg(o[4], "energy", 0.999);
    const double ridge = real_arg(o[5], "ridge", 0.0);
    const bool placebo = flag_arg(o[6], "placebo");
    const double level = real_arg(o[7], "level", 0.95);

    a.validate();
    unwrap(check_non_negative("ridge", ridge));
    unwrap(check_unit_interval("energy", energy));
    unwrap(check_unit_interval("level", level));
    if (rank) unwrap(check_min_count("rank", *rank, 1));
    const inference::ScMethod method{sc::robust::RscOptions{rank, energy, ridge}};
    return fit_family(a, method, placebo, level);
  });
}

PyObject* py_fit_sdid(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto o = bind_args<8>(args, kwargs, "fit_sdid",
                                {"y", "treated", "treat_time", "zeta_scale", "inference", "level",
                                 "min_weight", "max_weight"},
                                3);
    PanelArgs a(o[0], o[1], o[2]);
    const double zeta_scale = real_arg(o[3], "zeta_scale", 1.0);
    const std::string inference_kind = arg_or(o[4], "inference", to_choice, "none");
    const double level = real_arg(o[5], "level", 0.95);
    const double min_weight = real_arg(o[6], "min_weight", 0.0);
    const double max_weight = real_arg(o[7], "max_weight", 1.0);

    a.validate();
    unwrap(check_non_negative("zeta_scale", zeta_scale));
    unwrap(check_unit_interval("level", level));
    if (inference_kind != "none" && inference_kind != "placebo" && inference_kind != "jackknife") {
      throw UserError{"unknown SDID inference '" + inference_kind + "' (expected none/placebo/jackknife)"};
    }
    if (inference_kind == "jackknife" && a.treated.size() < 2) {
      throw UserError{
          "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single treated unit"};
    }
    unwrap(check_weight_bounds(a.n_donors(), min_weight, max_weight));
    const sc::sdid::SdidOptions options{min_weight, max_weight, zeta_scale};
    if (inference_kind != "jackknife") {
      return fit_family(a, inference::ScMethod{options}, inference_kind == "placebo", level);
    }

    return on_block_panel(a, [&](const Panel& panel) {
      const sc::sdid::SdidFit full = sc::sdid::fit_with_time_weights(panel, a.treat_time, options);
      PyScResult result = result_from_fit(full.fit);
      const double se = inference::jackknife_se(inference::sdid_jackknife(panel, a.treat_time, full));
      const inference::NormalCi ci = inference::normal_ci(full.fit.att, se, level);
      result.se = se;
      result.ci_lower = ci.lower;
      result.ci_upper = ci.upper;
      return result;
    });
  });
}

PyObject* py_fit_many(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto o = bind_args<8>(args, kwargs, "fit_many",
                                {"y3", "treated", "treat_time", "method", "ridge", "zeta_scale",
                                 "min_weight", "max_weight"},
                                3);
    const ArrayView3 y3 = to_panel_stack(o[0], "y3");
    const std::vector<std::uint64_t> treated_idx = to_index_list(o[1], "treated");
    const std::uint64_t treat_time = to_count(o[2], "treat_time");
    const std::string method = arg_or(o[3], "method", to_choice, "sc");
    const double ridge = real_arg(o[4], "ridge", 0.0);
    const double zeta_scale = real_arg(o[5], "zeta_scale", 1.0);
    const double min_weight = real_arg(o[6], "min_weight", 0.0);
    const double max_weight = real_arg(o[7], "max_weight", 1.0);

    const std::size_t reps = y3.shape[0], n = y3.shape[1], t = y3.shape[2];
    if (reps == 0 || n == 0 || t == 0) {
      throw UserError{"panel stack must be non-empty; got shape (" + std::to_string(reps) + ", " +
                      std::to_string(n) + ", " + std::to_string(t) + ")"};
    }
    unwrap(check_treated(treated_idx, n));
    unwrap(check_treat_time(treat_time, t));
    unwrap(check_weight_bounds(n - treated_idx.size(), min_weight, max_weight));
    // A non-finite ridge or zeta_scale would turn every ATT into NaN without a word.
    unwrap(check_non_negative("ridge", ridge));
    unwrap(check_non_negative("zeta_scale", zeta_scale));

    const std::vector<std::size_t> treated(treated_idx.begin(), treated_idx.end());
    std::vector<Panel> panels;
    panels.reserve(reps);
    for (std::size_t r = 0; r < reps; ++r) {
      const ArrayView2 slice = y3.slice(r);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < t; ++k) {
          if (!std::isfinite(slice.at(i, k))) {
            throw UserError{"panel stack contains a non-finite value at [" + std::to_string(r) + ", " +
                            std::to_string(i) + ", " + std::to_string(k) +
                            "]; tessarix requires complete, finite panels"};
          }
        }
      }
      panels.push_back(Panel::block(mat_from_numpy(slice), treated, treat_time));
    }
    if (method != "sc" && method != "asc" && method != "sdid" && method != "fp" && method != "rsc") {
      throw UserError{"unknown method '" + method + "' (expected sc/asc/sdid/fp/rsc)"};
    }

    std::vector<double> atts;
    {
      ReleaseGil unlocked;
      if (method == "sc") {
        atts = inference::sc_att_many(std::move(panels), treat_time, {min_weight, max_weight, ridge, 0.0});
      } else if (method == "asc") {
        atts = inference::asc_att_many(std::move(panels), treat_time,
                                       {std::nullopt, ridge, min_weight, max_weight});
      } else if (method == "sdid") {
        atts = inference::sdid_att_many(std::move(panels), treat_time, {min_weight, max_weight, zeta_scale});
      } else if (method == "fp") {
        atts = inference::fp_att_many(std::move(panels), treat_time, {min_weight, max_weight, ridge});
      } else {
        atts = inference::rsc_att_many(std::move(panels), treat_time, {std::nullopt, 0.999, 0.0});
      }
    }
    return float64_array_from(std::move(atts));
  });
}

}  // namespace tessarix::bindings
