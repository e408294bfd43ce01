// Batched refits of a stack of panels for Monte-Carlo and robustness work: one estimator,
// one treatment time and one options record for every panel, fitted in parallel; element k
// of the result is the ATT of panel k.
#pragma once

#include <vector>

#include "estimators/panel.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"

namespace tessarix::inference {

std::vector<double> sc_att_many(std::vector<Panel> panels, std::size_t t0,
                                const sc::synthetic::ScOptions& options);
std::vector<double> fp_att_many(std::vector<Panel> panels, std::size_t t0,
                                const sc::demeaned::FpOptions& options);
std::vector<double> asc_att_many(std::vector<Panel> panels, std::size_t t0,
                                 const sc::augmented::AscOptions& options);
std::vector<double> rsc_att_many(std::vector<Panel> panels, std::size_t t0,
                                 const sc::robust::RscOptions& options);
std::vector<double> sdid_att_many(std::vector<Panel> panels, std::size_t t0,
                                  const sc::sdid::SdidOptions& options);

}  // namespace tessarix::inference
