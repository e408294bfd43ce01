#include "inference/callaway.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "runtime/parallel.hpp"

namespace tessarix::inference {

did::callaway::CsResult callaway_on_pool(const Panel& panel, const did::callaway::CsOptions& options,
                                         bool event_influence) {
  const did::callaway::Estimation est(panel, options, event_influence);
  if (est.n_cells() * panel.n_units() < kCallawayPoolWork) return est.run(did::callaway::in_order);
  return est.run([](std::size_t n, auto&& f) {
    return runtime::par_map_indexed(n, [&f](std::size_t i) { return f(i); });
  });
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
