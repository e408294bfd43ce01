// Full fitted paths of the synthetic-control family for tessarix._core.
#include "bindings/core_api.hpp"

namespace tessarix::bindings {

std::vector<PyMethodDef> core_sc_functions() { return {}; }

}  // namespace tessarix::bindings
