// Test-only module `tessarix._testhooks` (built with TESSARIX_TEST_HOOKS=ON, never shipped):
// exposes each argument converter and the failure boundary directly, so that the tests can
// pin conversions that no entry point reaches yet.
#include <new>
#include <string>

#include "bindings/boundary.hpp"
#include "bindings/convert.hpp"
#include "bindings/validate.hpp"

namespace tessarix::bindings {
namespace {

// Parses (value, name) for a converter hook.
std::pair<PyObject*, std::string> value_and_name(PyObject* args) {
  PyObject* value = nullptr;
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "Os", &value, &name)) throw PyErrorSet{};
  return {value, name};
}

PyObject* list_of(const std::vector<double>& v) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!out) throw PyErrorSet{};
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(v[i]));
  }
  return out.release();
}

// (rows, cols, column-major data) of the owned copy of a 2-D panel.
PyObject* panel_tuple(const ArrayView2& v) {
  const Mat m = mat_from_numpy(v);
  const std::vector<double> data(m.data().begin(), m.data().end());
  PyRef list(list_of(data));
  return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(m.rows()),
                       static_cast<Py_ssize_t>(m.cols()), list.get());
}

template <class T>
PyObject* int_list(const std::vector<T>& v) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!out) throw PyErrorSet{};
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = std::is_signed_v<T> ? PyLong_FromLongLong(static_cast<long long>(v[i]))
                                         : PyLong_FromUnsignedLongLong(v[i]);
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

PyObject* h_panel(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return panel_tuple(to_panel(v, n.c_str()));
  });
}

PyObject* h_check_panel(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const auto [rows, cols] = unwrap(check_panel(to_panel(v, n.c_str())));
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols));
  });
}

PyObject* h_panel_stack(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const ArrayView3 s = to_panel_stack(v, n.c_str());
    PyRef out(PyList_New(0));
    for (std::size_t r = 0; r < s.shape[0]; ++r) {
      PyRef item(panel_tuple(s.slice(r)));
      if (!item || PyList_Append(out.get(), item.get()) < 0) throw PyErrorSet{};
    }
    return out.release();
  });
}

PyObject* h_index_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return int_list(to_index_list(v, n.c_str()));
  });
}

PyObject* h_cohort_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return int_list(to_cohort_list(v, n.c_str()));
  });
}

PyObject* h_float_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return list_of(to_float_list(v, n.c_str()));
  });
}

PyObject* h_name_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const std::vector<std::string> names = to_name_list(v, n.c_str());
    PyRef out(PyList_New(0));
    for (const std::string& s : names) {
      PyRef item(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
      if (!item || PyList_Append(out.get(), item.get()) < 0) throw PyErrorSet{};
    }
    return out.release();
  });
}

PyObject* h_count(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return PyLong_FromUnsignedLongLong(to_count(v, n.c_str()));
  });
}

PyObject* h_real(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return PyFloat_FromDouble(to_real(v, n.c_str()));
  });
}

PyObject* h_flag(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return PyBool_FromLong(to_flag(v, n.c_str()) ? 1 : 0);
  });
}

PyObject* h_choice(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const std::string s = to_choice(v, n.c_str());
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

// Optional count: None or omitted gives None.
PyObject* h_optional_count(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    auto [v, n] = value_and_name(args);
    const auto c = optional_arg(v, n.c_str(), to_count);
    if (!c) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*c);
  });
}

// Raises an internal invariant failure with the lock held (released=False) or from inside
// a lock-released section (released=True).
PyObject* h_invariant(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* msg = nullptr;
    int released = 0;
    if (!PyArg_ParseTuple(args, "sp", &msg, &released)) throw PyErrorSet{};
    const std::string text = msg;
    if (released) {
      ReleaseGil unlocked;
      invariant_failure(text);
    }
    invariant_failure(text);
  });
}

PyObject* h_bad_alloc(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

PyMethodDef hooks[] = {
    {"panel", h_panel, METH_VARARGS, nullptr},
    {"check_panel", h_check_panel, METH_VARARGS, nullptr},
    {"panel_stack", h_panel_stack, METH_VARARGS, nullptr},
    {"index_list", h_index_list, METH_VARARGS, nullptr},
    {"cohort_list", h_cohort_list, METH_VARARGS, nullptr},
    {"float_list", h_float_list, METH_VARARGS, nullptr},
    {"name_list", h_name_list, METH_VARARGS, nullptr},
    {"count", h_count, METH_VARARGS, nullptr},
    {"real", h_real, METH_VARARGS, nullptr},
    {"flag", h_flag, METH_VARARGS, nullptr},
    {"choice", h_choice, METH_VARARGS, nullptr},
    {"optional_count", h_optional_count, METH_VARARGS, nullptr},
    {"invariant", h_invariant, METH_VARARGS, nullptr},
    {"bad_alloc", h_bad_alloc, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {PyModuleDef_HEAD_INIT, "_testhooks", "Test-only conversion hooks.",
                         -1, hooks, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tessarix::bindings

PyMODINIT_FUNC PyInit__testhooks(void) { return PyModule_Create(&tessarix::bindings::hooks_def); }
