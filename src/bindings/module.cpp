// Module initialisation: creates `_tessarix`, registers the functions (each docstring opens
// with its text signature so that inspect.signature works) and then the result classes.
#include "bindings/api.hpp"
#include "bindings/results.hpp"

namespace tessarix::bindings {
namespace {

PyMethodDef methods[] = {
    {"version", py_version, METH_NOARGS,
     "version()\n--\n\n"
     "The tessarix version string."},
    {"fit_twfe_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fit_twfe)),
     METH_VARARGS | METH_KEYWORDS,
     "fit_twfe_py(y, cohorts)\n--\n\n"
     "Two-way fixed-effects DiD with cluster-robust SE."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessarix",
    "The compiled extension module `tessarix._tessarix`.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarix::bindings

PyMODINIT_FUNC PyInit__tessarix(void) {
  using namespace tessarix::bindings;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (add_result_classes(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
