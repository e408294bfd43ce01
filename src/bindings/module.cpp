// Module initialisation: creates `_tessarix` and registers its functions (each from its
// declaration, with the text signature as the first line of its docstring) and then the
// result classes.
#include "bindings/api.hpp"
#include "bindings/boundary.hpp"
#include "bindings/results.hpp"

namespace tessarix::bindings {
namespace {

// The method table, in registration order and closed by the sentinel; it lives as long as
// the process, as CPython requires.
std::vector<PyMethodDef>& method_table() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t;
    for (auto part : {version_functions(), sc_functions(), did_functions(), geo_functions()}) {
      t.insert(t.end(), part.begin(), part.end());
    }
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table;
}

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
    module_def.m_methods = method_table().data();
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
