// What the synthetic-control entry points of tessarix._core share beside their argument
// records: the treated mean path, the dict of a set placebo test, and the predictor fit's
// argument checks and options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/array_view.hpp"
#include "bindings/declare.hpp"
#include "bindings/python.hpp"
#include "estimators/panel.hpp"
#include "estimators/sc/predictors.hpp"
#include "inference/placebo.hpp"

namespace tessarix::bindings {

// The most placebo sets one call may ask for: beyond this the refits alone would run for
// hours, and the sets' storage would grow with them.
inline constexpr std::uint64_t kMaxPlaceboDraws = 10'000'000;

// The treated units' mean path, formed at the panel's canonical scale as the fits form it (so
// that no sum overflows where a fit's does not), in outcome units.
std::vector<double> treated_mean(const Panel& panel);

// A predictor matrix of n_units rows (one per unit), at least one column, every entry finite;
// a UserError naming the first fault otherwise.
void validate_predictors(const ArrayView2& x, std::size_t n_units);

// The predictor fit's own arguments: the units' predictor rows, importances (none: the nested
// search) and the loss periods.
struct PredictorArgs {
  ArrayView2 predictors;
  std::optional<std::vector<double>> v;
  std::vector<std::uint64_t> loss_periods;
};

template <class R>
std::vector<Param<R>> predictor_params() {
  return {TX_PARAM(R, predictors, kPanel), TX_PARAM(R, v, kFloatList, kNone),
          TX_PARAM(R, loss_periods, kIndexList, kEmptyList)};
}

// Those arguments checked for a panel of n_units units treated from treat_time (importances
// non-negative, finite and not all zero, one per predictor; loss periods strictly ascending
// before treat_time), as the fit's options.
sc::predictors::PredictorOptions checked_predictor_options(const PredictorArgs& a, std::size_t n_units,
                                                           std::uint64_t treat_time);

// The dict the placebo_ functions return; placebo rows in set order.
PyObject* set_placebo_dict(inference::SetPlaceboTest&& t, std::size_t set_size, std::size_t t_count);

}  // namespace tessarix::bindings
