// The long-to-wide pivot of a data frame's columns for tessarix._core.
#include "bindings/core_api.hpp"

namespace tessarix::bindings {

std::vector<PyMethodDef> core_frame_functions() { return {}; }

}  // namespace tessarix::bindings
