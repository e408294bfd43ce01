// The module's entry points, one C function per Python function. Their names, text
// signatures and docstrings are registered in module.cpp.
#pragma once

#include "bindings/python.hpp"

namespace tessarix::bindings {

PyObject* py_version(PyObject* self, PyObject* unused);
PyObject* py_fit_sc(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_fit_asc(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_fit_sdid(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_fit_fp(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_fit_rsc(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_fit_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_fit_twfe(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessarix::bindings
