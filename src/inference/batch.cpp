#include "inference/batch.hpp"

#include "inference/parallel.hpp"

namespace tessarix::inference {
namespace {

// Fits every panel (released as soon as its fit is done) and keeps the ATT.
template <class Fit>
std::vector<double> att_many(std::vector<Panel> panels, Fit fit) {
  return par_map_owned(std::move(panels), [&](Panel p) { return fit(p).att; });
}

}  // namespace

std::vector<double> sc_att_many(std::vector<Panel> panels, std::size_t t0,
                                const sc::synthetic::ScOptions& options) {
  return att_many(std::move(panels), [&](const Panel& p) { return sc::synthetic::fit_at(p, t0, options); });
}

std::vector<double> fp_att_many(std::vector<Panel> panels, std::size_t t0,
                                const sc::demeaned::FpOptions& options) {
  return att_many(std::move(panels), [&](const Panel& p) { return sc::demeaned::fit_at(p, t0, options); });
}

std::vector<double> asc_att_many(std::vector<Panel> panels, std::size_t t0,
                                 const sc::augmented::AscOptions& options) {
  return att_many(std::move(panels), [&](const Panel& p) { return sc::augmented::fit_at(p, t0, options); });
}

std::vector<double> rsc_att_many(std::vector<Panel> panels, std::size_t t0,
                                 const sc::robust::RscOptions& options) {
  return att_many(std::move(panels), [&](const Panel& p) { return sc::robust::fit_at(p, t0, options); });
}

std::vector<double> sdid_att_many(std::vector<Panel> panels, std::size_t t0,
                                  const sc::sdid::SdidOptions& options) {
  return att_many(std::move(panels), [&](const Panel& p) { return sc::sdid::fit_at(p, t0, options); });
}

}  // namespace tessarix::inference
