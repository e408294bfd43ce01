// Glue shared by the synthetic-control entry points: the fit record and placebo outcome
// copied into the Python result record.
#pragma once

#include "bindings/results.hpp"
#include "estimators/result.hpp"
#include "inference/placebo.hpp"

namespace tessarix::bindings {

// The fit record copied field for field; every inference field absent.
PyScResult result_from_fit(const ScFit& fit);

// Placebo p-value and null distribution, and the ATT-scale SE and interval from the placebo
// ATTs (the treated ATT shifted by their quantiles). No statistics: nothing is attached.
void attach_placebo(PyScResult& result, const inference::PlaceboResult& placebo, double att,
                    double level);

}  // namespace tessarix::bindings
