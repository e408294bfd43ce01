// Ctrl-C during native work. While an entry point runs with the interpreter lock released,
// the parallel maps it starts wait in short slices; between slices this takes the lock back
// for a moment to run Python's signal handlers, and a handler that raises (KeyboardInterrupt
// for Ctrl-C) cancels the map. Long sequential loops on the calling thread run the same check
// at their interruption points (runtime::interruption_point), at most once per slice. Either
// way the work throws runtime::Interrupted (a cancelled map's runtime::MapCancelled is one),
// and the boundary leaves the handler's exception in place as the call's result. An entry
// point that keeps the lock runs the handlers the same way, with the lock it holds.
#pragma once

#include "bindings/python.hpp"
#include "runtime/parallel.hpp"
#include "runtime/interrupt.hpp"

namespace tessarix::bindings {

// Installed by ReleaseGil right after it released the lock, for as long as it stays released.
class SignalCheck {
public:
  // `state` is the thread state saved by the release; each check re-acquires and re-saves it.
  explicit SignalCheck(PyThreadState*& state) noexcept;
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

private:
  // True when a signal handler raised; its exception is then set on this thread.
  static bool signal_raised(void* self) noexcept;

  PyThreadState*& state_;
  runtime::ScopedInterruptCheck installed_;
  runtime::ScopedInterruptPoll polled_;
};

// Installed by an entry point that computes with the interpreter lock held, for as long as it
// computes: the maps it starts run Python's signal handlers between waiting slices with the
// lock they already hold, so that Ctrl-C cancels them just as it cancels lock-released ones.
class HeldLockSignalCheck {
public:
  HeldLockSignalCheck() noexcept;
  HeldLockSignalCheck(const HeldLockSignalCheck&) = delete;
  HeldLockSignalCheck& operator=(const HeldLockSignalCheck&) = delete;

private:
  // True when a signal handler raised; its exception is then set on this thread.
  static bool signal_raised(void*) noexcept;

  runtime::ScopedInterruptCheck installed_;
  runtime::ScopedInterruptPoll polled_;
};

}  // namespace tessarix::bindings
