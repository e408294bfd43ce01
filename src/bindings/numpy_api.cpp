#include "bindings/numpy_api.hpp"

#include <memory>

#include "bindings/boundary.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tessarix_ARRAY_API
#include <numpy/arrayobject.h>

namespace tessarix::bindings {
namespace {

// NumPy can only have created an array if it has been imported; until then nothing is an
// array and NumPy stays unloaded.
bool numpy_imported() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  return modules != nullptr && PyDict_GetItemString(modules, "numpy") != nullptr;
}

void bind_numpy() {
  if (PyArray_API != nullptr) return;
  if (_import_array() < 0) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ImportError, "Failed to access NumPy array API capsule");
    }
    PyArray_API = nullptr;
    throw PyErrorSet{};
  }
}

PyArrayObject* as_array(PyObject* obj) {
  if (!numpy_imported()) return nullptr;
  bind_numpy();
  return PyArray_Check(obj) ? reinterpret_cast<PyArrayObject*>(obj) : nullptr;
}

bool native_float64(PyArrayObject* a, int ndim) {
  return PyArray_NDIM(a) == ndim && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a);
}

}  // namespace

std::optional<ArrayView2> float64_view2(PyObject* obj) {
  PyArrayObject* a = as_array(obj);
  if (a == nullptr || !native_float64(a, 2)) return std::nullopt;
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  ArrayView2 v;
  v.base = static_cast<const char*>(PyArray_DATA(a));
  for (int k = 0; k < 2; ++k) {
    v.shape[k] = static_cast<std::size_t>(dims[k]);
    v.strides[k] = strides[k];
  }
  return v;
}

std::optional<ArrayView3> float64_view3(PyObject* obj) {
  PyArrayObject* a = as_array(obj);
  if (a == nullptr || !native_float64(a, 3)) return std::nullopt;
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  ArrayView3 v;
  v.base = static_cast<const char*>(PyArray_DATA(a));
  for (int k = 0; k < 3; ++k) {
    v.shape[k] = static_cast<std::size_t>(dims[k]);
    v.strides[k] = strides[k];
  }
  return v;
}

std::string describe_object(PyObject* obj) {
  std::string type_name = "object";
  if (PyObject* name = PyType_GetName(Py_TYPE(obj))) {
    if (const char* s = PyUnicode_AsUTF8AndSize(name, nullptr)) type_name = s;
    Py_DECREF(name);
  }
  PyErr_Clear();
  PyArrayObject* a = as_array(obj);
  if (a == nullptr) return type_name;
  std::string dtype = "?";
  if (PyObject* d = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))) {
    if (const char* s = PyUnicode_AsUTF8AndSize(d, nullptr)) dtype = s;
    Py_DECREF(d);
  }
  PyErr_Clear();
  if (PyArray_TYPE(a) == NPY_DOUBLE && !PyArray_ISNOTSWAPPED(a)) dtype = "non-native byte order float64";
  return std::to_string(PyArray_NDIM(a)) + "-D " + dtype + " " + type_name;
}

namespace {

template <class V>
void free_vector(PyObject* capsule) {
  delete static_cast<std::vector<V>*>(PyCapsule_GetPointer(capsule, "tessarix.buffer"));
}

// An ndim-dimensional array of NumPy type `type_num` over the buffer of `values`, which a
// capsule takes over; the array borrows the buffer and keeps the capsule alive.
template <class V>
PyObject* array_owning(std::vector<V>&& values, int ndim, npy_intp* dims, int type_num) {
  bind_numpy();
  auto owner = std::make_unique<std::vector<V>>(std::move(values));
  V* data = owner->data();
  PyRef capsule(PyCapsule_New(owner.get(), "tessarix.buffer", free_vector<V>));
  if (!capsule) throw PyErrorSet{};
  owner.release();
  PyRef arr(PyArray_SimpleNewFromData(ndim, dims, type_num, data));
  if (!arr) throw PyErrorSet{};
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) < 0) {
    throw PyErrorSet{};
  }
  return arr.release();
}

std::optional<ArrayView1> view1(PyObject* obj, int type_num) {
  PyArrayObject* a = as_array(obj);
  if (a == nullptr || PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != type_num || !PyArray_ISNOTSWAPPED(a)) {
    return std::nullopt;
  }
  return ArrayView1{static_cast<const char*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIMS(a)[0]),
                    PyArray_STRIDES(a)[0]};
}

}  // namespace

PyObject* float64_array_from(std::vector<double>&& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  return array_owning(std::move(values), 1, dims, NPY_DOUBLE);
}

PyObject* float64_array2_from(std::vector<double>&& values, std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return array_owning(std::move(values), 2, dims, NPY_DOUBLE);
}

PyObject* int64_array_from(std::vector<std::int64_t>&& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  return array_owning(std::move(values), 1, dims, NPY_INT64);
}

PyObject* int64_array2_from(std::vector<std::int64_t>&& values, std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return array_owning(std::move(values), 2, dims, NPY_INT64);
}

std::optional<ArrayView1> float64_view1(PyObject* obj) { return view1(obj, NPY_DOUBLE); }
std::optional<ArrayView1> int64_view1(PyObject* obj) { return view1(obj, NPY_INT64); }

}  // namespace tessarix::bindings
