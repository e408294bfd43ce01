#include "bindings/sc_entries.hpp"

#include <array>
#include <string_view>

#include "bindings/api_sc.hpp"
#include "bindings/boundary.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "estimators/sc/registry.hpp"
#include "inference/jackknife.hpp"
#include "inference/placebo.hpp"

namespace tessarix::bindings {
namespace {

// Fits the panel with `method` and optionally attaches in-space placebo inference.
PyObject* fit_family(const BlockArgs& a, const sc::Method& method, const PlaceboArgs& p, PyObject* progress) {
  return wrap(on_block_panel(
      a,
      [&](const Panel& panel) {
        if (!p.placebo) return result_from_fit(method.fit_at(panel, a.treat_time));
        return result_from_fit(inference::fit_with_placebo_inference(panel, method, p.level));
      },
      progress));
}

enum class SdidInference { None, Placebo, Jackknife };
constexpr std::array<std::string_view, 3> kSdidInference{"none", "placebo", "jackknife"};

}  // namespace

PyObject* run_fit_sc(const FitScArgs& a, PyObject* progress) {
  const std::size_t n_donors = validate_block(a);
  validate_sc_options(a);
  unwrap(check_unit_interval("level", a.level));
  validate_bounds(n_donors, a);
  return fit_family(a, {sc_options(a, a)}, a, progress);
}

PyObject* run_fit_asc(const FitAscArgs& a, PyObject* progress) {
  const std::size_t n_donors = validate_block(a);
  validate_asc_options(a);
  unwrap(check_unit_interval("level", a.level));
  validate_bounds(n_donors, a);
  return fit_family(a, {asc_options(a, a)}, a, progress);
}

PyObject* run_fit_sdid(const FitSdidArgs& a, PyObject* progress) {
  const std::size_t n_donors = validate_block(a);
  validate_sdid_options(a);
  unwrap(check_unit_interval("level", a.level));
  const auto kind = static_cast<SdidInference>(unwrap(check_choice("SDID inference", a.inference, kSdidInference)));
  if (kind == SdidInference::Jackknife) unwrap(check_jackknife_treated(a.treated.size()));
  validate_bounds(n_donors, a);
  const sc::sdid::SdidOptions options = sdid_options(a, a);
  if (kind != SdidInference::Jackknife) {
    return fit_family(a, {options}, {kind == SdidInference::Placebo, a.level}, progress);
  }
  return wrap(on_block_panel(
      a,
      [&](const Panel& panel) {
        return result_from_fit(inference::sdid_with_jackknife(panel, a.treat_time, options, a.level));
      },
      progress));
}

PyObject* run_fit_fp(const FitFpArgs& a, PyObject* progress) {
  const std::size_t n_donors = validate_block(a);
  validate_fp_options(a);
  unwrap(check_unit_interval("level", a.level));
  validate_bounds(n_donors, a);
  return fit_family(a, {fp_options(a, a)}, a, progress);
}

PyObject* run_fit_rsc(const FitRscArgs& a, PyObject* progress) {
  validate_block(a);
  validate_rsc_ridge_energy(a);
  unwrap(check_unit_interval("level", a.level));
  validate_rsc_rank(a);
  return fit_family(a, {rsc_options(a)}, a, progress);
}

}  // namespace tessarix::bindings
