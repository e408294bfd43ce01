#include "bindings/api.hpp"

namespace tessarix::bindings {

PyObject* py_version(PyObject*, PyObject*) { return PyUnicode_FromString("0.3.0"); }

}  // namespace tessarix::bindings
