// A Python dict filled key by key from owned values: the records of tessarix._core come back
// as plain dicts of floats and NumPy arrays.
#pragma once

#include "bindings/boundary.hpp"
#include "bindings/python.hpp"

namespace tessarix::bindings {

class DictBuilder {
public:
  DictBuilder() : dict_(PyDict_New()) {
    if (!dict_) throw PyErrorSet{};
  }

  // Stores `owned` (a new reference, taken over; nullptr means a Python error is set) at `key`.
  DictBuilder& set(const char* key, PyObject* owned) {
    PyRef value(owned);
    if (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0) throw PyErrorSet{};
    return *this;
  }
  DictBuilder& set_float(const char* key, double v) { return set(key, PyFloat_FromDouble(v)); }
  DictBuilder& set_int(const char* key, long long v) { return set(key, PyLong_FromLongLong(v)); }

  PyObject* release() { return dict_.release(); }

private:
  PyRef dict_;
};

}  // namespace tessarix::bindings
