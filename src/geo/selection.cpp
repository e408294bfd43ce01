#include "geo/selection.hpp"

namespace tessarix::geo {}  // namespace tessarix::geo
