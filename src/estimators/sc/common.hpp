// Shared plumbing of the synthetic-control family: extracting the averaged treated series
// and the donor blocks from a panel, assembling the fit record from a counterfactual, and
// fitting a panel of any magnitude at its canonical scale.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"
#include "estimators/scale.hpp"

namespace tessarix::sc {

// Everything a fit at treatment time t0 reads from the panel.
struct ScInputs {
  std::vector<double> y_pre;            // averaged treated path, periods 0..t0-1
  std::vector<double> y_post;           // averaged treated path, periods t0..T-1
  Mat x0;                               // donors' pre-periods, t0 x J
  Mat x1;                               // donors' post-periods, (T - t0) x J
  std::vector<std::size_t> donor_ids;   // never-treated units, ascending
};

// Treated units averaged into one series and the donor blocks at t0. Invariant failures:
// "no treated units", `no_donor_message` when there is no never-treated unit, t0 > T.
ScInputs prepare(const Panel& panel, std::size_t t0, const char* no_donor_message);

// y - x w: the part of a path that the weighted columns of x leave unexplained.
std::vector<double> residual(std::span<const double> y, const Mat& x, std::span<const double> w);

// The fit record: att_path = y_post - counterfactual, att its mean, pre_rmspe the RMS of
// the pre-period residual, post_rmspe the RMS of att_path; the residual becomes pre_gap.
ScFit assemble(std::span<const double> y_post, std::vector<double> counterfactual,
               std::vector<double> pre_residual, std::vector<double> weights,
               std::vector<std::size_t> donor_ids);

// The fit with every field in outcome units (att, paths, RMSPEs) multiplied by 2^-e; the
// weights are scale-free.
ScFit unscaled(ScFit fit, int e);

// fit(p, e) on the panel at its canonical scale, scaled back with `unscaled`: p is the panel
// times 2^e (e = 0: the panel itself, fitted as it is), and `fit` puts its squared-unit
// parameters at that scale with rescaled_sq.
template <class Fit>
auto at_canonical_scale(const Panel& panel, Fit&& fit) -> decltype(fit(panel, 0)) {
  const int e = rescale_exponent(panel.y());
  if (e == 0) return fit(panel, 0);
  return unscaled(fit(rescaled(panel, e), e), e);
}

}  // namespace tessarix::sc
