#include "inference/callaway.hpp"

#include <optional>
#include <type_traits>
#include <vector>

#include "runtime/parallel.hpp"

namespace tessarix::inference {
namespace {

// Below this many unit-cells (cells times units) the whole fit takes well under a millisecond
// and handing its pieces to the pool costs more than it saves; it then runs on the caller.
constexpr std::size_t kPoolWork = 100'000;

}  // namespace

did::callaway::CsResult callaway_on_pool(const Panel& panel, const did::callaway::CsOptions& options,
                                         bool event_influence) {
  using did::callaway::CellFit;
  const did::callaway::Estimation est(panel, options, event_influence);
  const bool pooled = est.n_cells() * panel.n_units() >= kPoolWork;
  const auto map = [pooled](std::size_t n, auto&& f) {
    if (pooled) return runtime::par_map_indexed(n, [&f](std::size_t i) { return f(i); });
    std::vector<std::invoke_result_t<decltype(f)&, std::size_t>> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(f(i));
    return out;
  };
  std::vector<CellFit> cells;
  cells.reserve(est.n_cells());
  for (auto& batch : map(est.n_cell_batches(), [&](std::size_t i) { return est.cell_batch(i); })) {
    for (CellFit& c : batch) cells.push_back(std::move(c));
  }
  std::vector<std::optional<did::AggEffect>> aggregates;
  for (auto& batch :
       map(est.n_aggregate_batches(), [&](std::size_t i) { return est.aggregate_batch(i, cells); })) {
    for (auto& a : batch) aggregates.push_back(std::move(a));
  }
  return est.assemble(std::move(cells), std::move(aggregates));
}

CallawayFit fit_callaway(const Panel& panel, const did::callaway::CsOptions& options,
                         const std::optional<BandRequest>& bands) {
  CallawayFit out{callaway_on_pool(panel, options, bands.has_value()), std::nullopt};
  std::vector<did::AggEffect>& event = out.fit.event;
  if (!bands || event.empty() || !did::callaway::has_post_treatment_cell(out.fit)) return out;
  std::vector<std::vector<double>> influence;
  std::vector<double> att;
  std::vector<double> se;
  for (did::AggEffect& e : event) {
    influence.push_back(std::move(e.influence));
    att.push_back(e.att);
    se.push_back(e.se);
  }
  out.bands = multiplier_event_bands(influence, att, se, bands->n_reps, bands->seed, bands->level);
  return out;
}

}  // namespace tessarix::inference
