// A call's progress reported to a Python callable while the interpreter lock is released: the
// maps the call hands to the pool count their items, and between waiting slices the calling
// thread takes the lock back, calls report(done, total) and runs Python's signal handlers (on
// the main thread). An exception raised by the callable, or by a signal handler, cancels the
// work as Ctrl-C does and is the call's result.
#pragma once

#include <optional>

#include "bindings/python.hpp"
#include "runtime/parallel.hpp"

namespace tessarix::bindings {

class ProgressReport {
public:
  // `report` is borrowed and may be null or None (no reporting: nothing is installed, and
  // Ctrl-C reaches the work through the signal check already in place). `state`
  // is the thread state a ReleaseGil in scope saved.
  ProgressReport(PyObject* report, PyThreadState*& state) noexcept;
  ProgressReport(const ProgressReport&) = delete;
  ProgressReport& operator=(const ProgressReport&) = delete;

private:
  // True when the callable or a signal handler raised; its exception is then set.
  static bool check(void* self) noexcept;

  PyObject* report_;
  PyThreadState*& state_;
  runtime::ProgressCounter counter_;
  // Installed only with a callable: without one, the maps keep counting into, and checking
  // with, whatever the caller had installed (the signal check of the lock's release).
  std::optional<runtime::ScopedProgress> counting_;
  std::optional<runtime::ScopedInterruptCheck> installed_;
};

}  // namespace tessarix::bindings
