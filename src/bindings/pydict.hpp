// Python containers filled from owned values: the records of tessarix._core come back as plain
// dicts of floats and NumPy arrays, and its lists are built item by item.
#pragma once

#include <cstddef>

#include "bindings/boundary.hpp"
#include "bindings/python.hpp"

namespace tessarix::bindings {

// A list of n items, item k the new reference item(k) makes (nullptr: a Python error is set).
template <class Item>
PyObject* new_list(std::size_t n, Item item) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) throw PyErrorSet{};
  for (std::size_t k = 0; k < n; ++k) {
    PyObject* v = item(k);
    if (v == nullptr) throw PyErrorSet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), v);  // steals v
  }
  return list.release();
}

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
