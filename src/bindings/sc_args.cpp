#include "bindings/sc_args.hpp"

#include "bindings/validate.hpp"

namespace tessarix::bindings {

std::size_t validate_block(const BlockArgs& a) {
  const auto [n, t] = unwrap(check_panel(a.y));
  unwrap(check_treated(a.treated, n));
  unwrap(check_treat_time(a.treat_time, t));
  return n - a.treated.size();
}

void validate_bounds(std::size_t n_donors, const WeightBoundArgs& a) {
  unwrap(check_weight_bounds(n_donors, a.min_weight, a.max_weight));
}

void validate_sc_options(const ScOptionArgs& a) {
  unwrap(check_non_negative("ridge", a.ridge));
  unwrap(check_non_negative("penalty", a.penalty));
}

void validate_asc_options(const AscOptionArgs& a) {
  unwrap(check_non_negative("sc_ridge", a.sc_ridge));
  if (a.aug_lambda) unwrap(check_pos("aug_lambda", *a.aug_lambda));
}

void validate_fp_options(const FpOptionArgs& a) { unwrap(check_non_negative("ridge", a.ridge)); }

void validate_sdid_options(const SdidOptionArgs& a) { unwrap(check_non_negative("zeta_scale", a.zeta_scale)); }

void validate_rsc_ridge_energy(const RscOptionArgs& a) {
  unwrap(check_non_negative("ridge", a.ridge));
  unwrap(check_unit_interval("energy", a.energy));
}

void validate_rsc_rank(const RscOptionArgs& a) {
  if (a.rank) unwrap(check_min_count("rank", *a.rank, 1));
}

void validate_mcnnm(const McnnmArgs& a) {
  validate_block(a);
  if (a.lambda_) unwrap(check_pos("lambda_", *a.lambda_));
  unwrap(check_min_count("max_iter", a.max_iter, 1));
  unwrap(check_pos("tol", a.tol));
  if (a.max_rank) unwrap(check_min_count("max_rank", *a.max_rank, 1));
}

sc::synthetic::ScOptions sc_options(const ScOptionArgs& a, const WeightBoundArgs& b) {
  return {b.min_weight, b.max_weight, a.ridge, a.penalty};
}

sc::augmented::AscOptions asc_options(const AscOptionArgs& a, const WeightBoundArgs& b) {
  return {a.aug_lambda, a.sc_ridge, b.min_weight, b.max_weight};
}

sc::demeaned::FpOptions fp_options(const FpOptionArgs& a, const WeightBoundArgs& b) {
  return {b.min_weight, b.max_weight, a.ridge};
}

sc::robust::RscOptions rsc_options(const RscOptionArgs& a) { return {a.rank, a.energy, a.ridge}; }

sc::sdid::SdidOptions sdid_options(const SdidOptionArgs& a, const WeightBoundArgs& b) {
  return {b.min_weight, b.max_weight, a.zeta_scale};
}

mcnnm::McnnmOptions mcnnm_options(const McnnmArgs& a) {
  mcnnm::McnnmOptions options{a.lambda_, a.max_iter, a.tol, a.seed, std::nullopt};
  if (a.max_rank) options.max_rank = static_cast<std::size_t>(*a.max_rank);
  return options;
}

}  // namespace tessarix::bindings
