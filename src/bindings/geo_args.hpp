// The settings checks that the power analyses and the market search of both compiled modules
// share: the test window, the detection levels and the weight bounds, each checked where
// tessarix._tessarix checks it, so that every entry point builds its settings one way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "bindings/array_view.hpp"
#include "bindings/boundary.hpp"
#include "bindings/validate.hpp"
#include "geo/power.hpp"

namespace tessarix::bindings {

// The test length, the pre-window that check_geo_window derives from min_pre, and the
// lookback, for a panel already checked.
inline geo::PowerSettings checked_window(const ArrayView2& y, std::uint64_t test_len, std::uint64_t min_pre,
                                         std::optional<std::uint64_t> lookback) {
  geo::PowerSettings s;
  s.min_pre = unwrap(check_geo_window(test_len, min_pre, y.shape[1]));
  s.test_len = static_cast<std::size_t>(test_len);
  if (lookback) s.lookback = static_cast<std::size_t>(*lookback);
  return s;
}

// alpha, then target_power, each in (0, 1), into s.
inline void set_checked_levels(geo::PowerSettings& s, double alpha, double target_power) {
  unwrap(check_unit_interval("alpha", alpha));
  unwrap(check_unit_interval("target_power", target_power));
  s.alpha = alpha;
  s.target_power = target_power;
}

// The weight bounds, checked against the donors that n_treated markets leave, into s.
inline void set_checked_bounds(geo::PowerSettings& s, const ArrayView2& y, std::size_t n_treated,
                               double min_weight, double max_weight) {
  const auto [lo, hi] = unwrap(check_weight_bounds(y.shape[0] - n_treated, min_weight, max_weight));
  s.min_weight = lo;
  s.max_weight = hi;
}

// The weight bounds of a market search over n markets whose candidates treat up to `largest`
// markets, into s: the largest set leaves the fewest donors, which bounds max_weight; a single
// treated market leaves the most, which bounds min_weight.
inline void set_checked_search_bounds(geo::PowerSettings& s, std::size_t n, std::uint64_t largest,
                                      double min_weight, double max_weight) {
  const std::size_t fewest_donors = largest < n ? n - static_cast<std::size_t>(largest) : 0;
  unwrap(check_weight_bounds(fewest_donors, 0.0, max_weight));
  const auto [lo, hi] = unwrap(check_weight_bounds(n - 1, min_weight, max_weight));
  s.min_weight = lo;
  s.max_weight = hi;
}

}  // namespace tessarix::bindings
