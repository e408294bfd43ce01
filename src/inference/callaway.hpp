// Callaway & Sant'Anna on the shared pool: the group-time cells in parallel, then the
// aggregates in parallel, giving exactly the result of the estimator run on one thread.
#pragma once

#include <cstddef>

#include "estimators/did/callaway.hpp"

namespace tessarix::inference {

// did::callaway::fit_with_anticipation, computed on the pool.
did::callaway::CsResult callaway_on_pool(const Panel& panel, const did::callaway::CsOptions& options,
                                         bool event_influence);

}  // namespace tessarix::inference
