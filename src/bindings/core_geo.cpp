// The power analysis's placebo windows for tessarix._core.
#include "bindings/core_api.hpp"

namespace tessarix::bindings {

std::vector<PyMethodDef> core_geo_functions() { return {}; }

}  // namespace tessarix::bindings
