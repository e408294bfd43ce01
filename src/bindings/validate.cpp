#include "bindings/validate.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "bindings/format.hpp"

namespace tessarix::bindings {
namespace {

std::string num(std::uint64_t v) { return std::to_string(v); }

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

}  // namespace

namespace {

constexpr const char* kNotFinitePanel = "y contains NaN or inf; tessarix requires a complete, finite panel";

Checked<void> check_panel_shape(const ArrayView2& y) {
  const std::size_t n = y.shape[0];
  const std::size_t t = y.shape[1];
  if (n == 0 || t == 0) {
    return fail("y must be a non-empty N×T panel; got shape (" + num(n) + ", " + num(t) + ")");
  }
  return {};
}

}  // namespace

Checked<std::pair<std::size_t, std::size_t>> check_panel(const ArrayView2& y) {
  if (auto shape = check_panel_shape(y); !shape) return std::unexpected(shape.error());
  if (!all_finite(y)) return fail(kNotFinitePanel);
  return std::pair{y.shape[0], y.shape[1]};
}

Checked<Mat> panel_matrix(const ArrayView2& y) {
  if (auto shape = check_panel_shape(y); !shape) return std::unexpected(shape.error());
  std::optional<Mat> m = finite_mat_from_numpy(y);
  if (!m) return fail(kNotFinitePanel);
  return std::move(*m);
}

Checked<void> check_treated(std::span<const std::uint64_t> treated, std::size_t n) {
  if (treated.empty()) return fail("`treated` must list at least one treated unit index");
  std::vector<bool> seen(n, false);
  for (std::uint64_t i : treated) {
    if (i >= n) return fail("treated unit index " + num(i) + " out of range [0, " + num(n) + ")");
    if (seen[i]) return fail("treated unit index " + num(i) + " listed more than once");
    seen[i] = true;
  }
  if (treated.size() >= n) {
    return fail("every unit is treated; need at least one never-treated unit as a donor/control");
  }
  return {};
}

Checked<void> check_indices(std::string_view name, std::span<const std::uint64_t> idx,
                            std::size_t n) {
  for (std::uint64_t i : idx) {
    if (i >= n) {
      return fail(std::string(name) + " index " + num(i) + " out of range [0, " + num(n) + ")");
    }
  }
  return {};
}

Checked<void> check_min_count(std::string_view name, std::uint64_t value, std::uint64_t minimum) {
  if (value < minimum) {
    return fail(std::string(name) + " must be >= " + num(minimum) + "; got " + num(value));
  }
  return {};
}

Checked<void> check_count_range(std::string_view name, std::uint64_t value, std::uint64_t minimum,
                                std::uint64_t maximum) {
  if (value < minimum || value > maximum) {
    return fail(std::string(name) + " must be in [" + num(minimum) + ", " + num(maximum) + "]; got " + num(value));
  }
  return {};
}

Checked<void> check_unit_interval(std::string_view name, double x) {
  if (!(std::isfinite(x) && x > 0.0 && x < 1.0)) {
    return fail(std::string(name) + " must be in (0, 1); got " + fmt_real(x));
  }
  return {};
}

Checked<void> check_pos(std::string_view name, double x) {
  if (!(std::isfinite(x) && x > 0.0)) {
    return fail(std::string(name) + " must be finite and > 0; got " + fmt_real(x));
  }
  return {};
}

Checked<void> check_non_negative(std::string_view name, double x) {
  if (!(std::isfinite(x) && x >= 0.0)) {
    return fail(std::string(name) + " must be finite and >= 0; got " + fmt_real(x));
  }
  return {};
}

Checked<void> check_treat_time(std::uint64_t treat_time, std::size_t n_periods) {
  if (treat_time < 1 || treat_time >= n_periods) {
    return fail("treat_time " + num(treat_time) + " must be in [1, " + num(n_periods) +
                ") so there is at least one pre- and one post-period");
  }
  return {};
}

Checked<std::pair<double, double>> check_weight_bounds(std::size_t n_donors, double min_weight,
                                                       double max_weight) {
  if (!(std::isfinite(min_weight) && min_weight >= 0.0 && min_weight <= 1.0)) {
    return fail("min_weight must be in [0, 1]; got " + fmt_real(min_weight));
  }
  if (!(std::isfinite(max_weight) && max_weight > 0.0 && max_weight <= 1.0)) {
    return fail("max_weight must be in (0, 1]; got " + fmt_real(max_weight));
  }
  if (min_weight > max_weight) {
    return fail("min_weight (" + fmt_real(min_weight) + ") must not exceed max_weight (" +
                fmt_real(max_weight) + ")");
  }
  if (n_donors == 0) return std::pair{min_weight, max_weight};
  const double n = static_cast<double>(n_donors);
  const std::string nt = fmt_real(n);
  const std::string bound = fmt_fixed(1.0 / n, 4);
  // The slack admits bounds of exactly 1/n despite rounding in min_weight * n.
  if (min_weight * n > 1.000000000001) {
    return fail("min_weight=" + fmt_real(min_weight) + " is infeasible with " + nt +
                " donors: every donor at that floor would need total weight " +
                fmt_fixed(min_weight * n, 4) + " > 1. Use min_weight <= " + bound + " (= 1/" +
                nt + ").");
  }
  if (max_weight * n < 0.999999999999) {
    return fail("max_weight=" + fmt_real(max_weight) + " is infeasible with " + nt +
                " donors: capping every donor there allows total weight " +
                fmt_fixed(max_weight * n, 4) + " < 1. Use max_weight >= " + bound + " (= 1/" +
                nt + ").");
  }
  return std::pair{min_weight, max_weight};
}

Checked<std::size_t> check_geo_window(std::uint64_t test_len, std::uint64_t min_pre,
                                      std::size_t n_periods) {
  const std::uint64_t t_count = n_periods;
  if (test_len == 0 || test_len >= t_count) {
    return fail("test_len must be in [1, " + num(t_count) + ") (panel has " + num(t_count) +
                " periods); got " + num(test_len));
  }
  const auto pre = [min_pre](std::uint64_t t) { return min_pre > 0 ? min_pre : std::max<std::uint64_t>(t, 2); };
  const std::uint64_t need = pre(test_len);
  if (t_count - test_len >= need) return static_cast<std::size_t>(need);
  std::uint64_t max_usable = 0;
  for (std::uint64_t t = t_count - 1; t >= 1; --t) {
    if (t_count - t >= pre(t)) {
      max_usable = t;
      break;
    }
  }
  return fail("test_len=" + num(test_len) + " with a " + num(need) +
              "-period pre-window needs at least " + fmt_sum(test_len, need) +
              " periods, but the panel has " + num(t_count) + ". Reduce test_len (max usable here: " +
              num(max_usable) + ") or pass a smaller min_pre.");
}

namespace {

// "unknown method '{name}' (expected sc/asc/sdid/fp/rsc)", the registry's names in its order.
std::unexpected<std::string> unknown_method(std::string_view name) {
  std::string expected;
  for (std::string_view n : sc::method_names()) {
    if (!expected.empty()) expected += '/';
    expected += n;
  }
  return fail("unknown method '" + std::string(name) + "' (expected " + expected + ")");
}

}  // namespace

Checked<const sc::MethodEntry*> check_method(std::string_view name) {
  if (const sc::MethodEntry* m = sc::find_method_ignoring_case(name)) return m;
  return unknown_method(name);
}

Checked<const sc::MethodEntry*> check_batch_method(std::string_view name) {
  for (const sc::MethodEntry& m : sc::methods()) {
    if (m.by_name && m.name == name) return &m;
  }
  return unknown_method(name);
}

Checked<std::vector<const sc::MethodEntry*>> check_members(const std::optional<std::vector<std::string>>& names) {
  if (!names) {
    std::vector<const sc::MethodEntry*> blend;
    for (const sc::MethodEntry& m : sc::methods()) {
      if (m.default_member) blend.push_back(&m);
    }
    return blend;
  }
  if (names->empty()) return fail("members must name at least one estimator");
  std::vector<const sc::MethodEntry*> out;
  for (const std::string& n : *names) {
    const auto m = check_method(n);
    if (!m) return std::unexpected(m.error());
    out.push_back(*m);
  }
  return out;
}

Checked<void> check_ensemble_weights(std::span<const double> w, std::size_t n_members) {
  if (w.size() != n_members) {
    return fail("weights must have one entry per ensemble member (" + num(w.size()) + " given, " +
                num(n_members) + " members)");
  }
  double sum = 0.0;
  for (double v : w) {
    if (!(std::isfinite(v) && v >= 0.0)) return fail("weights must be finite and non-negative");
    sum += v;
  }
  if (!(sum > 0.0)) return fail("weights must sum to > 0");
  return {};
}

Checked<void> check_weights_have_members(bool members_given, bool weights_given) {
  if (members_given || !weights_given) return {};
  return fail("weights apply to an ensemble: pass members as well");
}

Checked<void> check_max_treated(std::uint64_t max_treated, std::size_t n) {
  if (auto r = check_min_count("max_treated", max_treated, 1); !r) return r;
  if (max_treated < n) return {};
  return fail("max_treated=" + num(max_treated) + " would allow treating all " + num(n) +
              " markets; at least one market must remain as a control");
}

Checked<void> check_exact_size(std::uint64_t exact_size, std::size_t n_include, std::size_t n) {
  if (auto r = check_min_count("exact_size", exact_size, 1); !r) return r;
  if (exact_size >= n) {
    return fail("exact_size=" + num(exact_size) + " would treat all " + num(n) +
                " markets; at least one market must remain as a control");
  }
  if (exact_size < n_include) {
    return fail("include forces " + num(n_include) + " markets but exact_size=" + num(exact_size) +
                "; raise exact_size or include fewer markets");
  }
  return {};
}

Checked<void> check_include_leaves_control(std::size_t n_include, std::size_t n) {
  if (n_include < n) return {};
  return fail("include treats every market; need at least one market left as a control");
}

Checked<std::size_t> check_choice(std::string_view what, std::string_view value,
                                  std::span<const std::string_view> options) {
  std::string expected;
  for (std::size_t k = 0; k < options.size(); ++k) {
    if (options[k] == value) return k;
    if (k > 0) expected += '/';
    expected += options[k];
  }
  return fail("unknown " + std::string(what) + " '" + std::string(value) + "' (expected " +
              expected + ")");
}

Checked<void> check_series(std::span<const double> series) {
  if (series.empty() || !std::all_of(series.begin(), series.end(), [](double v) { return std::isfinite(v); })) {
    return fail("series must be non-empty and finite");
  }
  return {};
}

Checked<void> check_jackknife_treated(std::size_t n_treated) {
  if (n_treated >= 2) return {};
  return fail(
      "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single treated unit");
}

Checked<std::array<std::size_t, 3>> check_stack_shape(const ArrayView3& y3) {
  const auto [r, n, t] = y3.shape;
  if (r == 0 || n == 0 || t == 0) {
    return fail("panel stack must be non-empty; got shape (" + num(r) + ", " + num(n) + ", " +
                num(t) + ")");
  }
  return std::array{r, n, t};
}

Checked<void> check_stack_finite(const ArrayView3& y3, std::size_t r) {
  for (std::size_t i = 0; i < y3.shape[1]; ++i) {
    for (std::size_t t = 0; t < y3.shape[2]; ++t) {
      if (!std::isfinite(y3.at(r, i, t))) {
        return fail("panel stack contains a non-finite value at [" + num(r) + ", " + num(i) + ", " +
                    num(t) + "]; tessarix requires complete, finite panels");
      }
    }
  }
  return {};
}

Checked<void> check_null_path(std::span<const double> null, std::size_t n_post) {
  if (null.size() != n_post) {
    return fail("null must give one effect per post-period (" + num(n_post) + "); got " + num(null.size()));
  }
  for (std::size_t k = 0; k < null.size(); ++k) {
    if (!std::isfinite(null[k])) return fail("null must be finite; got " + fmt_real(null[k]) + " at " + num(k));
  }
  return {};
}

}  // namespace tessarix::bindings
