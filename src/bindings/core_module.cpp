// Initialisation of tessarix._core, the second compiled module: built from the same core
// libraries and declaration machinery as tessarix._tessarix, it registers its functions
// (each from its declaration) and nothing else; its results are instances of
// tessarix._tessarix's result classes.
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/core_api.hpp"
#include "bindings/results.hpp"

namespace tessarix::bindings {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Native helpers of tessarix's data-frame front ends: the long-to-wide pivot, full fitted and\n"
    "placebo paths, SDID time weights and intercept, the power analysis's placebo windows, the\n"
    "long fits of tessarix._tessarix with progress reports, the market search in steps, the\n"
    "sensitivity of an event study to violations of parallel trends, and conformal inference\n"
    "for the synthetic-control family.",
    -1,
    nullptr,  // the method table, set at initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarix::bindings

PyMODINIT_FUNC PyInit__core(void) {
  using namespace tessarix::bindings;
  try {
    if (module_def.m_methods == nullptr) module_def.m_methods = closed_method_table({core_frame_functions(), core_sc_functions(), core_predictor_functions(), core_geo_functions(), core_did_functions(), core_imputation_functions(), core_honest_functions(), core_conformal_functions()});
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
  // The results are tessarix._tessarix's own classes, so that both modules return one kind of
  // object for one kind of result.
  PyRef specified(PyImport_ImportModule("tessarix._tessarix"));
  if (!specified || use_result_classes(specified.get()) < 0) return nullptr;
  return PyModule_Create(&module_def);
}
