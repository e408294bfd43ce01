// Callaway & Sant'Anna group-time average treatment effects ATT(g, t) for staggered adoption,
// against never-treated or not-yet-treated controls, with an anticipation window, by outcome
// regression, doubly robust or inverse-probability-weighted estimation on unit covariates;
// each carries its influence function over all units, from which the event-study, per-cohort
// and overall aggregations (weights in proportion to cohort sizes, corrected for the
// estimated weights) and their standard errors are built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "estimators/did/callaway_options.hpp"
#include "estimators/did/effect.hpp"
#include "estimators/panel.hpp"

namespace tessarix::did::callaway {

// One (cohort, period) cell.
struct GroupTimeAtt {
  std::size_t cohort = 0;         // g
  std::size_t period = 0;         // t
  std::int64_t event_time = 0;    // t - g
  double att = 0.0;
  double se = 0.0;                // sqrt(sum of squared influence values) / N
};

// Why a cell of the propensity-score methods has no estimate.
enum class CellFault : std::uint8_t {
  None,
  Separation,    // the covariates (quasi-)completely separate the cohort from its controls:
                 // a fitted propensity reached exactly 0 or 1, or the logit fit diverged
  Collinear,     // the covariates are collinear over the cohort and its controls, or (doubly
                 // robust) over the controls alone, whose outcome regression is then not identified
};

// A cell whose fit failed, by its cohort g and period t.
struct CellFailure {
  std::size_t cohort = 0;
  std::size_t period = 0;
  CellFault fault = CellFault::None;
};

// A covariate left out of one cell because it takes a single value over the cohort and the
// controls (it carries no information on who is treated and would make the fit singular).
struct DroppedCovariate {
  std::size_t cohort = 0;
  std::size_t period = 0;
  std::size_t covariate = 0;  // column of the covariate matrix
};

struct CsResult {
  std::vector<GroupTimeAtt> group_time;  // by cohort, then period
  std::vector<AggEffect> event;          // keyed by event time, ascending; influence kept on request
  std::vector<AggEffect> group;          // keyed by cohort, ascending
  std::vector<double> overall_influence; // empty when there is no post-treatment cell
  double att = 0.0;                      // overall post-treatment ATT
  double se = 0.0;
  double overall_group_att = 0.0;        // cohort-size-weighted average of the cohort effects
  double overall_group_se = 0.0;
  std::vector<DroppedCovariate> dropped; // by cell, then covariate
  // The first failed cell; the result then holds nothing else.
  std::optional<CellFailure> failure;
};

// Whether some post-treatment cell (t >= g) has a control, without which no treatment
// effect is identified.
bool has_post_treatment_cell(const CsResult& fit);

// An allocator that leaves the values it creates uninitialised: a cell's influence vectors are
// written in full as soon as they are sized, so zero-filling them first would only double the
// memory traffic of the largest arrays of the fit.
template <class T>
struct Uninitialized : std::allocator<T> {
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using InfluenceValues = std::vector<double, Uninitialized<double>>;

// A computed cell with its influence function, which is 0 outside its treated cohort and its
// controls.
struct CellFit {
  GroupTimeAtt summary;
  std::vector<std::size_t> controls;  // not-yet-treated controls; empty: the never-treated
  InfluenceValues treated_influence;  // one per unit of the cohort, in unit order
  InfluenceValues control_influence;  // one per control, in unit order
  CellFault fault = CellFault::None;   // then nothing else is set
  std::vector<std::size_t> dropped;    // covariate columns left out of this cell
};

// The first failed cell in cell order, if any.
std::optional<CellFailure> first_failure(std::span<const CellFit> cells);

// A fit laid out as independent pieces of work: first the cells, then the aggregates (one per
// event time, the overall one, one per cohort), which read the computed cells, each in
// batches of consecutive pieces. Each batch depends only on the panel and its index, so the
// batches may run in any order or in parallel and `assemble` always gives the same result.
class Estimation {
public:
  // Plans the cells of the fit with a universal base period g - 1 - anticipation per cohort;
  // the panel must have the units the control group is drawn from (has_control_units).
  // Covariates attached to the panel switch on the regression adjustment. The event-study
  // influence functions (N values per event time, for simultaneous bands) are kept only when
  // `event_influence` is set.
  Estimation(const Panel& panel, const CsOptions& options, bool event_influence);
  ~Estimation();
  Estimation(const Estimation&) = delete;
  Estimation& operator=(const Estimation&) = delete;

  std::size_t n_cells() const;
  // The cells are computed in batches of consecutive cells (by cohort, then period); batch i
  // returns its cells in order, and the batches in order give every cell.
  std::size_t n_cell_batches() const;
  std::vector<CellFit> cell_batch(std::size_t i) const;

  // The aggregates are computed in batches of consecutive aggregates from all the cells; an
  // aggregate is none when it has no part or its weights sum to nothing.
  std::size_t n_aggregate_batches() const;
  std::vector<std::optional<AggEffect>> aggregate_batch(std::size_t i,
                                                        std::span<const CellFit> cells) const;

  // The result from every cell and every aggregate, in index order.
  CsResult assemble(std::vector<CellFit> cells, std::vector<std::optional<AggEffect>> aggregates) const;

  // The whole fit: the cell batches, then the aggregate batches, each mapped by `map(n, f)`,
  // which returns f(0), ..., f(n - 1) in index order however it computes them (one after
  // another on the caller, or in parallel), so that the result is the same either way.
  template <class Map>
  CsResult run(Map&& map) const;

private:
  struct State;
  std::unique_ptr<State> s_;
};

// Maps f over 0, ..., n - 1 on the calling thread, in index order.
struct InOrder {
  template <class F>
  auto operator()(std::size_t n, F&& f) const {
    std::vector<std::invoke_result_t<F&, std::size_t>> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(f(i));
    return out;
  }
};
inline constexpr InOrder in_order{};

template <class Map>
CsResult Estimation::run(Map&& map) const {
  std::vector<CellFit> cells;
  cells.reserve(n_cells());
  for (auto& batch : map(n_cell_batches(), [this](std::size_t i) { return cell_batch(i); })) {
    for (CellFit& c : batch) cells.push_back(std::move(c));
  }
  if (std::optional<CellFailure> failure = first_failure(cells)) {
    CsResult out;
    out.failure = failure;
    return out;
  }
  std::vector<std::optional<AggEffect>> aggregates;
  for (auto& batch :
       map(n_aggregate_batches(), [&](std::size_t i) { return aggregate_batch(i, cells); })) {
    for (auto& a : batch) aggregates.push_back(std::move(a));
  }
  return assemble(std::move(cells), std::move(aggregates));
}

// The whole fit, piece after piece on the calling thread.
CsResult fit_with_anticipation(const Panel& panel, const CsOptions& options,
                               bool event_influence = true);

}  // namespace tessarix::did::callaway
