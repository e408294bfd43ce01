#include "bindings/interrupt.hpp"

#include <unistd.h>

namespace tessarix::bindings {
namespace {

// Python runs signal handlers only on its main thread, which is the process's first thread
// (its thread id is the process id) when Python is the program. Other threads have nothing to
// gain from taking the lock back; keeping it released for the whole call also spares a daemon
// thread from trying to take it while the interpreter shuts down.
bool handles_signals() { return ::gettid() == ::getpid(); }

}  // namespace

SignalCheck::SignalCheck(PyThreadState*& state) noexcept
    : state_(state),
      installed_(handles_signals() ? &signal_raised : nullptr, this),
      polled_(handles_signals() ? &signal_raised : nullptr, this,
              runtime::interrupt_check_interval) {}

bool SignalCheck::signal_raised(void* self) noexcept {
  PyThreadState*& state = static_cast<SignalCheck*>(self)->state_;
  PyEval_RestoreThread(state);
  const bool raised = PyErr_CheckSignals() != 0;
  state = PyEval_SaveThread();
  return raised;
}

HeldLockSignalCheck::HeldLockSignalCheck() noexcept
    : installed_(handles_signals() ? &signal_raised : nullptr, nullptr),
      polled_(handles_signals() ? &signal_raised : nullptr, nullptr,
              runtime::interrupt_check_interval) {}

bool HeldLockSignalCheck::signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

}  // namespace tessarix::bindings
