// Module initialisation: creates `_tessarix` and registers its functions (each from its
// declaration, with the text signature as the first line of its docstring) and then the
// result classes.
#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/declare.hpp"
#include "bindings/results.hpp"

namespace tessarix::bindings {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessarix",
    "The compiled extension module `tessarix._tessarix`.",
    -1,
    nullptr,  // the method table, set at initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarix::bindings

PyMODINIT_FUNC PyInit__tessarix(void) {
  using namespace tessarix::bindings;
  try {
    if (module_def.m_methods == nullptr) module_def.m_methods = closed_method_table({version_functions(), sc_functions(), did_functions(), geo_functions()});
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (add_result_classes(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
