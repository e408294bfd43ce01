// Glue shared by the synthetic-control entry points: the fit record and its inference copied
// into the Python result record.
#pragma once

#include "bindings/results.hpp"
#include "estimators/result.hpp"
#include "inference/fit_inference.hpp"

namespace tessarix::bindings {

// The fit record copied field for field; every inference field absent.
PyScResult result_from_fit(const ScFit& fit);

// The fit and its inference copied field for field.
PyScResult result_from_fit(const inference::InferredFit& inferred);

}  // namespace tessarix::bindings
