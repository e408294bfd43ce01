// The native records behind the Python result classes, and their wrapping into read-only
// Python objects. Each attribute read builds a fresh Python value from the stored field;
// instances pickle and copy through a private reconstructor of their class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/python.hpp"

namespace tessarix::bindings {

struct PyScResult {
  double att = 0.0;
  std::vector<double> att_path;
  std::vector<double> counterfactual;
  std::vector<double> treated_post;
  std::vector<double> weights;
  std::vector<std::uint64_t> donor_ids;
  double pre_rmspe = 0.0;
  double post_rmspe = 0.0;
  std::optional<double> p_value;
  std::optional<double> se;
  std::optional<double> ci_lower;
  std::optional<double> ci_upper;
  std::optional<std::vector<double>> inference_distribution;
  std::optional<std::vector<double>> placebo_atts;
};

struct PyCpascResult {
  double att = 0.0;
  double p_value = 0.0;
  std::vector<std::uint64_t> unit_ids;
  std::vector<double> unit_att;
  std::vector<double> unit_mspe;
  std::vector<double> unit_weight;
  std::vector<double> pooled_residual;
  std::vector<double> null_residual;
  std::uint64_t t0 = 0;
};

struct PyDidResult {
  double att = 0.0;
  double se = 0.0;
  std::vector<std::int64_t> event_time;
  std::vector<double> event_att;
  std::vector<double> event_se;
  std::vector<double> event_lo;
  std::vector<double> event_hi;
  std::optional<double> band_crit;
  std::vector<std::int64_t> group_cohort;
  std::vector<double> group_att;
  std::vector<double> group_se;
  std::optional<double> overall_group_att;
  std::optional<double> overall_group_se;
};

struct PyBaconComponent {
  std::string kind;  // "treated_vs_untreated", "earlier_vs_later" or "later_vs_earlier_forbidden"
  std::int64_t treated_cohort = 0;
  std::optional<std::int64_t> comparison_cohort;  // absent for the never-treated group
  double weight = 0.0;
  double estimate = 0.0;
};

struct PyBaconResult {
  double twfe = 0.0;
  double forbidden_weight = 0.0;
  std::vector<PyBaconComponent> components;
};

struct PyPowerResult {
  std::string method;
  std::vector<double> lifts;
  std::vector<double> power;
  std::vector<double> est_mean;
  std::vector<double> est_lo;
  std::vector<double> est_hi;
  std::optional<double> mde_pct;
  std::optional<double> mde_abs_per_period;
  std::optional<double> mde_cumulative;
  double crit = 0.0;
  double se_null = 0.0;
  std::uint64_t n_windows = 0;
  std::optional<std::vector<double>> ensemble_weights;
};

struct PyGeoDiagnostics {
  double holdout_pct = 0.0;
  double pre_fit_rel = 0.0;
  double improvement_vs_naive = 0.0;
  double seasonality_strength = 0.0;
  double stability_score = 0.0;
  double confidence = 0.0;
  std::vector<std::string> warnings;
};

struct PyMarketCandidate {
  std::vector<std::uint64_t> treated;
  double power_at_target = 0.0;
  std::optional<double> mde_pct;
  double holdout_pct = 0.0;
  double pre_fit_rel = 0.0;
  double stability_score = 0.0;
  double confidence = 0.0;
  double score = 0.0;
};

// Creates every result class and adds it to `module` in registration order; -1 on failure.
int add_result_classes(PyObject* module);

// Makes wrap() produce instances of the result classes already registered in `module` by
// add_result_classes in another extension module (each module links its own copy of this
// code); -1 on failure.
int use_result_classes(PyObject* module);

// A new Python object of the matching result class, owning `value`.
PyObject* wrap(PyScResult&& value);
PyObject* wrap(PyCpascResult&& value);
PyObject* wrap(PyDidResult&& value);
PyObject* wrap(PyBaconResult&& value);
PyObject* wrap(PyBaconComponent&& value);
PyObject* wrap(PyPowerResult&& value);
PyObject* wrap(PyGeoDiagnostics&& value);
PyObject* wrap(PyMarketCandidate&& value);

}  // namespace tessarix::bindings
