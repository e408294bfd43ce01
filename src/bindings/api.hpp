// The module's functions, by component, each list in registration order; every entry comes
// from its function's declaration (see declare.hpp).
#pragma once

#include <vector>

#include "bindings/python.hpp"

namespace tessarix::bindings {

std::vector<PyMethodDef> version_functions();
std::vector<PyMethodDef> sc_functions();
std::vector<PyMethodDef> did_functions();
std::vector<PyMethodDef> geo_functions();

}  // namespace tessarix::bindings
