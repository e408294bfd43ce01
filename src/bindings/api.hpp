// The module's entry points, one C function per Python function. Their names, text
// signatures and docstrings are registered in module.cpp.
#pragma once

#include "bindings/python.hpp"

namespace tessarix::bindings {

PyObject* py_version(PyObject* self, PyObject* unused);
PyObject* py_fit_twfe(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessarix::bindings
