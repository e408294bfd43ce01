// The shared validation routines of the entry points. Each returns the noted value or the
// complete user-facing message, which the entry point raises as ValueError.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/array_view.hpp"
#include "estimators/sc/registry.hpp"

namespace tessarix::bindings {

template <class T>
using Checked = std::expected<T, std::string>;

// Shape (N, T) of a non-empty, complete, finite panel.
Checked<std::pair<std::size_t, std::size_t>> check_panel(const ArrayView2& y);

// The same checks, and the panel copied as a matrix (in one pass over the data).
Checked<Mat> panel_matrix(const ArrayView2& y);

// At least one treated unit, each in [0, n) and listed once, and at least one left over.
Checked<void> check_treated(std::span<const std::uint64_t> treated, std::size_t n);

// Every index in [0, n); duplicates and emptiness are not tested.
Checked<void> check_indices(std::string_view name, std::span<const std::uint64_t> idx,
                            std::size_t n);

// value >= minimum.
Checked<void> check_min_count(std::string_view name, std::uint64_t value, std::uint64_t minimum);

// minimum <= value <= maximum.
Checked<void> check_count_range(std::string_view name, std::uint64_t value, std::uint64_t minimum,
                                std::uint64_t maximum);

// 0 < x < 1 with x finite.
Checked<void> check_unit_interval(std::string_view name, double x);

// x finite and > 0.
Checked<void> check_pos(std::string_view name, double x);

// x finite and >= 0 (-0.0 passes): ridge-like parameters.
Checked<void> check_non_negative(std::string_view name, double x);

// 1 <= treat_time < T: at least one pre- and one post-period.
Checked<void> check_treat_time(std::uint64_t treat_time, std::size_t n_periods);

// Per-donor simplex weight bounds, feasible for n_donors (with 1e-12 slack); returns them.
Checked<std::pair<double, double>> check_weight_bounds(std::size_t n_donors, double min_weight,
                                                       double max_weight);

// The position of `value` among `options` (exact, case-sensitive match), or "unknown {what}
// '{value}' (expected a/b/c)".
Checked<std::size_t> check_choice(std::string_view what, std::string_view value,
                                  std::span<const std::string_view> options);

// A non-empty series of finite values (the input of a mean bootstrap).
Checked<void> check_series(std::span<const double> series);

// At least two treated units for the SDID jackknife.
Checked<void> check_jackknife_treated(std::size_t n_treated);

// Shape (R, N, T) of a non-empty panel stack.
Checked<std::array<std::size_t, 3>> check_stack_shape(const ArrayView3& y3);

// Replication r of a panel stack is finite; the first non-finite element is reported by its
// index [r, i, t].
Checked<void> check_stack_finite(const ArrayView3& y3, std::size_t r);

// The pre-window length for a geo test window of test_len periods in a T-period panel.
Checked<std::size_t> check_geo_window(std::uint64_t test_len, std::uint64_t min_pre,
                                      std::size_t n_periods);

// The synthetic-control member a geo analysis names (by name or alias, ASCII case-insensitive;
// the ensemble is not a member).
Checked<const sc::MethodEntry*> check_method(std::string_view name);

// The member a batch names: its exact name, no alias.
Checked<const sc::MethodEntry*> check_batch_method(std::string_view name);

// The members of a power-analysis ensemble: each a single member, at least one; absent names
// give the registry's default blend (SC + ASC + SDID).
Checked<std::vector<const sc::MethodEntry*>> check_members(const std::optional<std::vector<std::string>>& names);

// Ensemble weights: one per member, finite, non-negative, with a positive sum.
Checked<void> check_ensemble_weights(std::span<const double> w, std::size_t n_members);

// Weights are given only together with the members they weight.
Checked<void> check_weights_have_members(bool members_given, bool weights_given);

// Market search sizes, for a panel of n markets: at least one market must stay a control.
Checked<void> check_max_treated(std::uint64_t max_treated, std::size_t n);
Checked<void> check_exact_size(std::uint64_t exact_size, std::size_t n_include, std::size_t n);
Checked<void> check_include_leaves_control(std::size_t n_include, std::size_t n);

// A hypothesised effect path: one finite value per post-period.
Checked<void> check_null_path(std::span<const double> null, std::size_t n_post);

}  // namespace tessarix::bindings
