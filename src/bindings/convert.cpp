#include "bindings/convert.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "bindings/boundary.hpp"
#include "bindings/numpy_api.hpp"

namespace tessarix::bindings {
namespace {

[[noreturn]] void type_error(const char* name, const std::string& reason) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, reason.c_str());
  throw PyErrorSet{};
}

// Prefixes a pending TypeError with the argument name; other errors pass unchanged.
[[noreturn]] void reraise_for(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type(type), owned_value(value), owned_tb(tb);
    PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
    if (!text) throw PyErrorSet{};
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  }
  throw PyErrorSet{};
}

// Length of a sequence argument, refusing str and non-sequences.
Py_ssize_t sequence_length(PyObject* obj, const char* name, const char* item_kind) {
  if (PyUnicode_Check(obj)) {
    type_error(name, std::string("a str cannot be taken as a list of ") + item_kind);
  }
  if (!PySequence_Check(obj)) {
    type_error(name, "expected a sequence of " + std::string(item_kind) + ", got " +
                         describe_object(obj));
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) reraise_for(name);
  return n;
}

template <class T, class F>
std::vector<T> convert_sequence(PyObject* obj, const char* name, const char* item_kind,
                                F item) {
  const Py_ssize_t n = sequence_length(obj, name, item_kind);
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(n));
  // A list hands out its items without the sequence protocol's call per item; each is held
  // for its conversion, which may run Python code.
  const bool list = PyList_Check(obj);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* borrowed = list ? PyList_GetItem(obj, k) : nullptr;
    if (borrowed != nullptr) Py_INCREF(borrowed);
    PyRef it(list ? borrowed : PySequence_GetItem(obj, k));
    if (!it) reraise_for(name);
    out.push_back(item(it.get(), name));
  }
  return out;
}

std::uint64_t index_value(PyObject* obj, const char* name) {
  PyRef idx(PyNumber_Index(obj));
  if (!idx) reraise_for(name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for(name);
  return v;
}

std::int64_t signed_value(PyObject* obj, const char* name) {
  if (PyLong_CheckExact(obj)) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) reraise_for(name);
    return v;
  }
  PyRef idx(PyNumber_Index(obj));
  if (!idx) reraise_for(name);
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) reraise_for(name);
  return v;
}

// One machine integer of `size` bytes at `at`, widened.
template <class W, class N8, class N16, class N32, class N64>
W read_integer(const char* at, Py_ssize_t size) {
  const auto load = [at]<class I>(I) {
    I v;
    std::memcpy(&v, at, sizeof v);
    return static_cast<W>(v);
  };
  switch (size) {
    case 1: return load(N8{});
    case 2: return load(N16{});
    case 4: return load(N32{});
    default: return load(N64{});
  }
}

// The items of a one-dimensional buffer of native machine integers (a NumPy integer array,
// an array.array), read in place instead of through a Python object per item. None when obj
// exports no such buffer or an item does not fit T: the item-by-item conversion then takes
// over and reports the item as it always has.
template <class T>
std::optional<std::vector<T>> integer_items(PyObject* obj) {
  if (!PyObject_CheckBuffer(obj)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view, PyBuffer_Release);
  std::string_view format = view.format != nullptr ? view.format : "";
  if (!format.empty() && (format[0] == '@' || format[0] == '=')) format.remove_prefix(1);
  const Py_ssize_t size = view.itemsize;
  if (view.ndim != 1 || format.size() != 1 || (size != 1 && size != 2 && size != 4 && size != 8)) {
    return std::nullopt;
  }
  const bool is_signed = std::string_view("bhilqn").find(format[0]) != std::string_view::npos;
  const bool is_unsigned = std::string_view("BHILQN").find(format[0]) != std::string_view::npos;
  if (!is_signed && !is_unsigned) return std::nullopt;
  std::vector<T> out(static_cast<std::size_t>(view.shape[0]));
  const char* base = static_cast<const char*>(view.buf);
  for (std::size_t k = 0; k < out.size(); ++k) {
    const char* at = base + static_cast<Py_ssize_t>(k) * view.strides[0];
    if (is_signed) {
      const auto v = read_integer<std::int64_t, std::int8_t, std::int16_t, std::int32_t, std::int64_t>(at, size);
      if (!std::in_range<T>(v)) return std::nullopt;
      out[k] = static_cast<T>(v);
    } else {
      const auto v = read_integer<std::uint64_t, std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(at, size);
      if (!std::in_range<T>(v)) return std::nullopt;
      out[k] = static_cast<T>(v);
    }
  }
  return out;
}

std::string utf8(PyObject* s, const char* name) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &len);
  if (p == nullptr) reraise_for(name);
  return {p, static_cast<std::size_t>(len)};
}

// numpy.bool_ (numpy.bool in NumPy 2) recognised by type, without binding NumPy.
bool is_numpy_bool(PyObject* obj) {
  PyRef type_name(PyType_GetName(Py_TYPE(obj)));
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  PyErr_Clear();
  if (!type_name || !module || !PyUnicode_Check(module.get())) return false;
  const char* tn = PyUnicode_AsUTF8AndSize(type_name.get(), nullptr);
  const char* mn = PyUnicode_AsUTF8AndSize(module.get(), nullptr);
  PyErr_Clear();
  if (tn == nullptr || mn == nullptr) return false;
  const std::string_view t(tn);
  return std::string_view(mn) == "numpy" && (t == "bool_" || t == "bool");
}

}  // namespace

ArrayView2 to_panel(PyObject* obj, const char* name) {
  if (auto v = float64_view2(obj)) return *v;
  type_error(name, "expected a 2-D float64 numpy.ndarray, got " + describe_object(obj));
}

ArrayView3 to_panel_stack(PyObject* obj, const char* name) {
  if (auto v = float64_view3(obj)) return *v;
  type_error(name, "expected a 3-D float64 numpy.ndarray, got " + describe_object(obj));
}

std::vector<std::uint64_t> to_index_list(PyObject* obj, const char* name) {
  if (auto items = integer_items<std::uint64_t>(obj)) return std::move(*items);
  return convert_sequence<std::uint64_t>(obj, name, "non-negative integers", index_value);
}

std::vector<std::int64_t> to_cohort_list(PyObject* obj, const char* name) {
  if (auto items = integer_items<std::int64_t>(obj)) return std::move(*items);
  return convert_sequence<std::int64_t>(obj, name, "integers", signed_value);
}

std::vector<double> to_float_list(PyObject* obj, const char* name) {
  return convert_sequence<double>(obj, name, "floats", to_real);
}

std::vector<std::string> to_name_list(PyObject* obj, const char* name) {
  return convert_sequence<std::string>(obj, name, "str", [](PyObject* it, const char* n) {
    if (!PyUnicode_Check(it)) type_error(n, "expected str items, got " + describe_object(it));
    return utf8(it, n);
  });
}

std::uint64_t to_count(PyObject* obj, const char* name) { return index_value(obj, name); }

double to_real(PyObject* obj, const char* name) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) reraise_for(name);
  return v;
}

bool to_flag(PyObject* obj, const char* name) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) reraise_for(name);
    return truth == 1;
  }
  type_error(name, "expected a bool, got " + describe_object(obj));
}

std::string to_choice(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) type_error(name, "expected a str, got " + describe_object(obj));
  return utf8(obj, name);
}

}  // namespace tessarix::bindings
