// The boundary between C++ and CPython: every entry point, getter and repr runs its body
// through `guarded`, which turns each C++ failure into the matching Python exception, so no
// C++ exception ever unwinds into the interpreter.
#pragma once

#include <expected>
#include <new>
#include <string>
#include <type_traits>
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

  // The thread state saved by the release, for whatever takes the lock back meanwhile.
  PyThreadState*& state() { return state_; }

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

}  // namespace tessarix::bindings
