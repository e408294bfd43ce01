#include "inference/batch.hpp"

#include "runtime/parallel.hpp"

namespace tessarix::inference {

std::vector<double> att_many(std::vector<Panel> panels, std::size_t t0, const sc::Method& method) {
  return runtime::par_map_owned(std::move(panels), [&](Panel p) { return method.fit_at(p, t0).att; });
}

}  // namespace tessarix::inference
