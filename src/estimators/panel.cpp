#include "estimators/panel.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace tessarix {

namespace {

// The distinct starts, ascending. Starts lie in [0, T) for every panel the system builds, so
// one pass marking them in a table of T flags finds them without sorting N values; a start
// beyond T (never produced, but representable) goes through the general path.
std::vector<std::size_t> distinct_starts(std::span<const Panel::TreatStart> starts,
                                         std::size_t t_count) {
  std::vector<char> seen(t_count, 0);
  std::vector<std::size_t> beyond;
  for (const Panel::TreatStart& s : starts) {
    if (!s) continue;
    if (*s < t_count) {
      seen[*s] = 1;
    } else {
      beyond.push_back(*s);
    }
  }
  std::vector<std::size_t> out;
  for (std::size_t t = 0; t < t_count; ++t) {
    if (seen[t]) out.push_back(t);
  }
  std::sort(beyond.begin(), beyond.end());
  beyond.erase(std::unique(beyond.begin(), beyond.end()), beyond.end());
  out.insert(out.end(), beyond.begin(), beyond.end());
  return out;
}

}  // namespace

Panel::Panel(Mat y, std::vector<TreatStart> treat_start)
    : y_(std::move(y)), treat_start_(std::move(treat_start)) {
  if (treat_start_.size() != y_.rows()) {
    invariant_failure("treat_start length " + std::to_string(treat_start_.size()) +
                      " != n_units " + std::to_string(y_.rows()));
  }
  cohorts_ = distinct_starts(treat_start_, y_.cols());
}

Panel Panel::block(Mat y, std::span<const std::size_t> treated, std::size_t t0) {
  std::vector<TreatStart> starts(y.rows());
  for (std::size_t u : treated) {
    if (u >= y.rows()) invariant_failure("treated unit index " + std::to_string(u) + " out of range");
    starts[u] = t0;
  }
  return Panel(std::move(y), std::move(starts));
}

Panel Panel::with_covariates(Mat covariates) && {
  if (covariates.rows() != n_units()) {
    invariant_failure("covariate rows " + std::to_string(covariates.rows()) + " != n_units " +
                      std::to_string(n_units()));
  }
  covariates_ = std::move(covariates);
  return std::move(*this);
}

std::vector<std::size_t> Panel::treated_units() const {
  std::vector<std::size_t> out;
  for (std::size_t u = 0; u < treat_start_.size(); ++u) {
    if (treat_start_[u]) out.push_back(u);
  }
  return out;
}

std::vector<std::size_t> Panel::never_treated_units() const {
  std::vector<std::size_t> out;
  for (std::size_t u = 0; u < treat_start_.size(); ++u) {
    if (!treat_start_[u]) out.push_back(u);
  }
  return out;
}


void Panel::check_t0(std::size_t t0, const char* what) const {
  if (t0 > n_periods()) {
    invariant_failure(std::string(what) + ": t0 " + std::to_string(t0) + " > n_periods " +
                      std::to_string(n_periods()));
  }
}

DonorBlock Panel::donor_rows(std::size_t first, std::size_t last) const {
  DonorBlock block{Mat(), never_treated_units()};
  const std::size_t len = last - first;
  block.mat = Mat(len, block.ids.size());
  for (std::size_t d = 0; d < block.ids.size(); ++d) {
    const std::size_t u = block.ids[d];
    std::span<double> out = block.mat.col(d);
    for (std::size_t k = 0; k < len; ++k) out[k] = y_(u, first + k);
  }
  return block;
}

DonorBlock Panel::donor_pre(std::size_t t0) const {
  check_t0(t0, "donor_pre");
  return donor_rows(0, t0);
}

DonorBlock Panel::donor_post(std::size_t t0) const {
  check_t0(t0, "donor_post");
  return donor_rows(t0, n_periods());
}

std::vector<double> Panel::unit_mean(std::span<const std::size_t> units) const {
  const std::size_t n_t = n_periods();
  std::vector<double> total(n_t, 0.0);
  for (std::size_t u : units) {
    if (u >= n_units()) {
      invariant_failure("unit index " + std::to_string(u) + " out of range for " +
                        std::to_string(n_units()) + " units");
    }
    for (std::size_t t = 0; t < n_t; ++t) total[t] += y_(u, t);
  }
  if (units.empty()) return total;
  const double inv = 1.0 / static_cast<double>(units.size());
  for (double& v : total) v *= inv;
  return total;
}

}  // namespace tessarix
