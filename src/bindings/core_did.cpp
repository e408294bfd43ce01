// The Callaway-Sant'Anna fit of tessarix._tessarix for tessarix._core, reporting the progress
// of its band bootstrap.
#include "bindings/core_api.hpp"
#include "bindings/did_entries.hpp"

namespace tessarix::bindings {
namespace {

struct CallawayProgressArgs : CallawayArgs {
  PyObject* progress = nullptr;
};

const EntryPoint<CallawayProgressArgs> core_callaway_entry{
    "fit_callaway_py",
    "`tessarix.fit_callaway_py` (same arguments, checks and result), reporting the progress\n"
    "of its cells and band bootstrap to `progress(done, total)`.",
    join<CallawayProgressArgs>({callaway_params<CallawayProgressArgs>(), {progress_param<CallawayProgressArgs>()}})};

PyObject* py_core_callaway(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const CallawayProgressArgs a = core_callaway_entry.parse(args, kwargs);
    return run_fit_callaway(a, a.progress);
  });
}

}  // namespace

std::vector<PyMethodDef> core_did_functions() {
  return {method_def(core_callaway_entry.signature(), py_core_callaway)};
}

}  // namespace tessarix::bindings
