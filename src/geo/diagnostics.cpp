#include "geo/diagnostics.hpp"

namespace tessarix::geo {}  // namespace tessarix::geo
