#include "geo/power.hpp"

namespace tessarix::geo {}  // namespace tessarix::geo
