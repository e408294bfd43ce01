// The functions of the second compiled module, tessarix._core, by component, each list in
// registration order. The module serves the data-frame front ends: what the specified module
// does not expose (full fitted paths, placebo paths, SDID time weights and intercept, the
// power analysis's placebo windows, progress reports of long fits, the market search in steps,
// conformal inference)
// and the long-to-wide pivot of a data frame's columns.
#pragma once

#include <vector>

#include "bindings/python.hpp"

namespace tessarix::bindings {

std::vector<PyMethodDef> core_frame_functions();
std::vector<PyMethodDef> core_sc_functions();
std::vector<PyMethodDef> core_predictor_functions();
std::vector<PyMethodDef> core_geo_functions();
std::vector<PyMethodDef> core_did_functions();
std::vector<PyMethodDef> core_imputation_functions();
std::vector<PyMethodDef> core_honest_functions();
std::vector<PyMethodDef> core_conformal_functions();

}  // namespace tessarix::bindings
