// Batched refits of a stack of panels for Monte-Carlo and robustness work: one estimator,
// one treatment time and one options record for every panel, fitted in parallel; element k
// of the result is the ATT of panel k.
#pragma once

#include <vector>

#include "estimators/panel.hpp"
#include "estimators/sc/registry.hpp"

namespace tessarix::inference {

// The ATT of method.fit_at(panel k, t0) for every panel, in input order; each panel is
// released as soon as its fit is done. Bit-identical at any worker count.
std::vector<double> att_many(std::vector<Panel> panels, std::size_t t0, const sc::Method& method);

}  // namespace tessarix::inference
