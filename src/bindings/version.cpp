#include "bindings/api.hpp"
#include "bindings/declare.hpp"

namespace tessarix::bindings {
namespace {

const Signature version_signature{"version", "The tessarix version string.", {}};

PyObject* py_version(PyObject*, PyObject*) { return PyUnicode_FromString("0.3.0"); }

}  // namespace

std::vector<PyMethodDef> version_functions() {
  return {{version_signature.name(), py_version, METH_NOARGS, version_signature.docstring()}};
}

}  // namespace tessarix::bindings
