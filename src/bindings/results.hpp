// The native records behind the Python result classes, and their wrapping into read-only
// Python objects. Each attribute read builds a fresh Python value from the stored field.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/python.hpp"

namespace tessarix::bindings {

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

// Creates every result class and adds it to `module` in registration order; -1 on failure.
int add_result_classes(PyObject* module);

// A new Python DiDResult owning `value`.
PyObject* wrap(PyDidResult&& value);

}  // namespace tessarix::bindings
