#include "bindings/boundary.hpp"

#include <exception>
#include <stdexcept>

#include "runtime/interrupt.hpp"

namespace tessarix::bindings {
namespace {

// Looked up once, on the first internal failure, and kept for the life of the process.
PyObject* internal_error_type() {
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  if (PyObject* pkg = PyImport_ImportModule("tessarix")) {
    PyObject* t = PyObject_GetAttrString(pkg, "InternalError");
    Py_DECREF(pkg);
    if (t != nullptr && PyType_Check(t) && PyObject_IsSubclass(t, PyExc_BaseException) == 1) {
      type = t;
      return type;
    }
    Py_XDECREF(t);
  }
  PyErr_Clear();
  type = PyErr_NewException("tessarix._tessarix.InternalError", PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

void raise_internal_error(const char* message) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // PyErr_NewException left its own error set
  PyErr_SetString(type, message);
}

void translate_current_exception() {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const UserError& e) {
    PyErr_SetString(PyExc_ValueError, e.message.c_str());
  } catch (const InvariantError& e) {
    raise_internal_error(e.what());
  } catch (const runtime::Interrupted&) {
    // A signal handler raised while a map waited or at an interruption point, and that
    // exception (KeyboardInterrupt for Ctrl-C) is the call's result; nothing may replace it.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold (a replicate count near 2^64):
    // memory runs out as surely as for a failed allocation, and the caller sees it the same way.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native exception");
  }
}

}  // namespace tessarix::bindings
