// Callaway & Sant'Anna on the shared pool: the group-time cells in parallel, then the
// aggregates in parallel, giving exactly the result of the estimator run on one thread; and
// the fit with sup-t simultaneous bands on its event study.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "estimators/did/callaway.hpp"
#include "inference/bootstrap.hpp"
#include "linalg/matrix.hpp"

namespace tessarix::inference {

// Below this many unit-cells (cells times units) the whole fit takes well under a millisecond
// and handing its pieces to the pool costs more than it saves; it then runs on the caller.
inline constexpr std::size_t kCallawayPoolWork = 100'000;

// did::callaway::fit_with_anticipation, computed on the pool (one drive loop, mapped on the
// pool instead of in order).
did::callaway::CsResult callaway_on_pool(const Panel& panel, const did::callaway::CsOptions& options,
                                         bool event_influence);

// Sup-t bands asked of the event study: multiplier-bootstrap replicates, seed, level.
struct BandRequest {
  std::size_t n_reps = 999;
  std::uint64_t seed = 0;
  double level = 0.95;
};

struct CallawayFit {
  did::callaway::CsResult fit;      // event entries without influence values
  std::optional<EventBands> bands;  // one (lower, upper) per event entry, and the critical value
  std::optional<Mat> event_vcov;    // covariance of the event entries, in their order
};

// The fit on the pool and, when `bands` is given, sup-t bands on its event study from a
// multiplier bootstrap of the event-study influence functions; no bands without an event
// study or without a post-treatment cell (no effect identified, nothing to band). With
// `event_vcov` set, also the event entries' covariance from the same influence functions.
CallawayFit fit_callaway(const Panel& panel, const did::callaway::CsOptions& options,
                         const std::optional<BandRequest>& bands, bool event_vcov = false);

// The covariance of estimates given their influence values over the same n units:
// entry (i, j) = sum_u psi_i(u) psi_j(u) / n^2, so that its diagonal holds the squared
// standard errors sum_u psi_i(u)^2 / n^2. The sums run at a power-of-two scale of the largest
// |psi|, so that the products neither overflow nor vanish when the entries are representable.
Mat influence_covariance(std::span<const std::vector<double>> influence, std::size_t n);

}  // namespace tessarix::inference
