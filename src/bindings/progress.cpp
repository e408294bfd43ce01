#include "bindings/progress.hpp"

#include <unistd.h>

namespace tessarix::bindings {
namespace {

bool wanted(PyObject* report) { return report != nullptr && report != Py_None; }

}  // namespace

ProgressReport::ProgressReport(PyObject* report, PyThreadState*& state) noexcept
    : report_(report), state_(state) {
  if (!wanted(report)) return;
  counting_.emplace(&counter_);
  installed_.emplace(&check, this);
}

bool ProgressReport::check(void* self) noexcept {
  auto* p = static_cast<ProgressReport*>(self);
  PyEval_RestoreThread(p->state_);
  const auto done = p->counter_.done.load(std::memory_order_relaxed);
  const auto total = p->counter_.total.load(std::memory_order_relaxed);
  PyObject* out = PyObject_CallFunction(p->report_, "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total));
  bool raised = out == nullptr;
  Py_XDECREF(out);
  // Signal handlers run on the main thread only (see interrupt.cpp).
  if (!raised && ::gettid() == ::getpid()) raised = PyErr_CheckSignals() != 0;
  p->state_ = PyEval_SaveThread();
  return raised;
}

}  // namespace tessarix::bindings
