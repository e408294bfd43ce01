#include "inference/callaway.hpp"

#include <optional>
#include <vector>

#include "inference/parallel.hpp"

namespace tessarix::inference {

did::callaway::CsResult callaway_on_pool(const Panel& panel, bool not_yet, std::size_t anticipation,
                                         bool event_influence) {
  using did::callaway::CellFit;
  const did::callaway::Estimation est(panel, not_yet, anticipation, event_influence);
  std::vector<CellFit> cells = par_map_indexed(est.n_cells(), [&](std::size_t j) { return est.cell(j); });
  std::vector<std::optional<did::AggEffect>> aggregates = par_map_indexed(
      est.n_aggregates(), [&](std::size_t k) { return est.aggregate(k, cells); });
  return est.assemble(std::move(cells), std::move(aggregates));
}

}  // namespace tessarix::inference
