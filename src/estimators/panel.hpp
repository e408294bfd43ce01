// The panel data model every estimator reads: a balanced outcome matrix (units x periods),
// each unit's optional first treated period, and optional unit-level covariates, with the
// selections the estimators use. Selections return owned copies, never views.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix {

using linalg::Mat;

// A donor block: the matrix (periods x donors) and the donor unit ids, ascending.
struct DonorBlock {
  Mat mat;
  std::vector<std::size_t> ids;
};

class Panel {
public:
  using TreatStart = std::optional<std::size_t>;

  // One treatment start per row of y (absent: never treated).
  Panel(Mat y, std::vector<TreatStart> treat_start);

  // Block design: every listed unit starts treatment at t0, every other unit is never treated.
  static Panel block(Mat y, std::span<const std::size_t> treated, std::size_t t0);

  // The panel with its covariates (n_units rows) replaced.
  Panel with_covariates(Mat covariates) &&;

  const Mat& y() const { return y_; }
  const std::vector<TreatStart>& treat_start() const { return treat_start_; }
  const std::optional<Mat>& covariates() const { return covariates_; }

  std::size_t n_units() const { return y_.rows(); }
  std::size_t n_periods() const { return y_.cols(); }

  // Units with a treatment start, ascending.
  std::vector<std::size_t> treated_units() const;
  // Units without a treatment start (the donors / controls), ascending.
  std::vector<std::size_t> never_treated_units() const;
  // The distinct treatment starts, ascending (found once, when the panel is built).
  const std::vector<std::size_t>& cohorts() const { return cohorts_; }

  // Donor outcomes over periods 0..t0-1: t0 x n_donors, entry (t, d) = y(donor d, t).
  DonorBlock donor_pre(std::size_t t0) const;
  // Donor outcomes over periods t0..T-1: (T - t0) x n_donors.
  DonorBlock donor_post(std::size_t t0) const;

  // Per-period mean over the listed units (duplicates counted); zeros for an empty list.
  std::vector<double> unit_mean(std::span<const std::size_t> units) const;

private:
  void check_t0(std::size_t t0, const char* what) const;
  DonorBlock donor_rows(std::size_t first, std::size_t last) const;

  Mat y_;
  std::vector<TreatStart> treat_start_;
  std::vector<std::size_t> cohorts_;
  std::optional<Mat> covariates_;
};

}  // namespace tessarix
