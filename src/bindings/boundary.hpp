// The boundary between C++ and CPython: every entry point, getter and repr runs its body
// through `guarded`, which turns each C++ failure into the matching Python exception, so no
// C++ exception ever unwinds into the interpreter.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/interrupt.hpp"
#include "bindings/python.hpp"
#include "linalg/error.hpp"

namespace tessarix::bindings {

// A Python exception is already set; unwind to the boundary and return NULL.
struct PyErrorSet {};

// A user-facing validation failure, raised as ValueError with this exact message.
struct UserError {
  std::string message;
};

// Raises `message` as tessarix.InternalError (BaseException), falling back to a private
// type of the same name when the package cannot be imported.
void raise_internal_error(const char* message);

// Sets the Python error for the exception currently being handled.
void translate_current_exception();

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

// Releases the interpreter lock for its lifetime. Declared inside the guarded body, so it
// re-acquires the lock while unwinding, before any Python error is set. Meanwhile the parallel
// maps started on this thread check for signals between waiting slices, so that Ctrl-C
// cancels them (see SignalCheck).
class ReleaseGil {
public:
  ReleaseGil() : state_(PyEval_SaveThread()), signals_(state_) {}
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;
  ~ReleaseGil() { PyEval_RestoreThread(state_); }

private:
  PyThreadState* state_;
  SignalCheck signals_;  // after state_: installed once the lock is released
};

// The value of a validation result, or UserError with its message.
template <class T>
T unwrap(std::expected<T, std::string>&& r) {
  if (!r) throw UserError{std::move(r.error())};
  if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// Binds the call's arguments to the named parameters with CPython's own argument parser
// (so missing, unexpected and duplicated arguments get CPython's wording). `n_required`
// leading parameters are required; omitted optional ones are left as nullptr (the default).
template <std::size_t N>
std::array<PyObject*, N> bind_args(PyObject* args, PyObject* kwargs, const char* func,
                                   const std::array<const char*, N>& names,
                                   std::size_t n_required) {
  // CPython's parser reports a surplus or duplicated keyword only as an argument count; name
  // the parameter instead, in the wording CPython uses for Python-level functions.
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
      if (k == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        throw PyErrorSet{};
      }
      std::size_t index = N;
      for (std::size_t i = 0; i < N; ++i) {
        if (std::string_view(names[i]) == k) index = i;
      }
      if (index == N) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", func, k);
        throw PyErrorSet{};
      }
      if (static_cast<Py_ssize_t>(index) < PyTuple_Size(args)) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, k);
        throw PyErrorSet{};
      }
    }
  }
  std::string format;
  for (std::size_t i = 0; i < N; ++i) {
    if (i == n_required) format += '|';
    format += 'O';
  }
  format += ':';
  format += func;
  std::array<char*, N + 1> kwlist{};
  for (std::size_t i = 0; i < N; ++i) kwlist[i] = const_cast<char*>(names[i]);
  std::array<PyObject*, N> out{};
  const int ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist.data(), &out[I]...);
  }(std::make_index_sequence<N>{});
  if (!ok) throw PyErrorSet{};
  return out;
}

}  // namespace tessarix::bindings
