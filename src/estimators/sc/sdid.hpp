// Synthetic difference-in-differences (Arkhangelsky, Athey, Hirshberg, Imbens and Wager):
// simplex unit weights with an intercept and a noise-scaled ridge, simplex time weights with
// an intercept, and the weighted double difference; plus the fixed-weights leave-one-unit-out
// jackknife of the effect.
#pragma once

#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::sc::sdid {

struct SdidOptions {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double zeta_scale = 1.0;  // multiplier of the regularisation strength zeta
};

// Weights w (one per column of a, n x m) minimising 1/2 ||a w + c - b||^2 + 1/2 ridge ||w||^2
// over the bounded simplex and a free intercept c; only w is returned.
std::vector<double> simplex_with_intercept(const Mat& a, std::span<const double> b, double ridge,
                                           double min_weight, double max_weight);

// Gram matrices of a fit's two weight problems, given by a caller that fits many panels which
// share them (the windows and candidate sets of a market search) instead of forming them per
// fit. Both are of the panel at its canonical scale, and each entry is the dot product of the
// fit's own centred vectors summed in index order, so that a fit given them returns the bits
// of one that forms them itself.
struct SdidGrams {
  // J x J: the donors' pre-period columns (t0 values each), each centred on its mean.
  const Mat* unit = nullptr;
  // At least t0 x t0, of which the leading t0 x t0 block is used: the periods' donor vectors
  // (donors in ascending order), each centred on its mean over the donors.
  const Mat* time = nullptr;
};

// The SDID fit together with its time weights (one per pre-period, scale-free like the unit
// weights), which the jackknife reuses, and its intercept: the time-weighted pre-period level
// of the treated path minus that of the weighted donors, u - sum_j omega_j a_j, in outcome
// units. The counterfactual is sum_j omega_j x1(k, j) + intercept, up to rounding, and the
// pre-period gap (fit.pre_gap) is y_pre - x0 omega - intercept.
struct SdidFit {
  ScFit fit;
  std::vector<double> time_weights;
  double intercept = 0.0;
};

// The SDID fit at the panel's canonical scale, in outcome units.
SdidFit fit_with_time_weights(const Panel& panel, std::size_t t0, const SdidOptions& options);

// The SDID fit: weights are the unit weights; pre/post RMSPE are deviations around the mean.
ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options);

// The SDID fit with every period in the pre-period, for a null hypothesis on the last n_tested
// periods: unit weights with a free intercept on all T periods, the ridge that a fit with
// n_tested post-periods would use (noise level from all T periods); pre_gap is the treated
// path less the weighted donors less their mean gap, the intercept. No time weights: without
// post-periods there is nothing for them to match, so every period counts alike. The noise
// level, from first differences, is the one part that depends on the order of the periods.
ScFit fit_all_periods(const Panel& panel, std::size_t n_tested, const SdidOptions& options);

// The same fit from the given Gram matrices, where present (a null one is formed as fit_at
// forms it): the bits of fit_at when they are the ones fit_at would form.
ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options, const SdidGrams& grams);

// The time Gram of SdidGrams for the donors of `panel` over periods [0, t_end), at the
// panel's canonical scale: its leading t0 x t0 block serves every t0 <= t_end.
Mat time_gram(const Panel& panel, std::size_t t_end);

// The unit Gram of SdidGrams over periods [0, t0) for every row of y (each row a unit), y as
// given: the Gram of the donors of a panel with these rows is its sub-block at their rows.
Mat unit_gram(const Mat& y, std::size_t t0);

// The SDID effect for the given treated and donor lists with fixed unit weights omega (one
// per donor, used as given) and time weights lambda (one per pre-period).
double att_given_weights(const Panel& panel, std::size_t t0, std::span<const std::size_t> treated,
                         std::span<const std::size_t> donors, std::span<const double> omega,
                         std::span<const double> lambda);

// The fixed-weights leave-one-out jackknife of a fit: its cases are each treated unit left out
// in turn, then each donor whose weight is below 1 - 1e-12 left out with the remaining
// weights renormalised (a donor carrying all the weight has no case). The weights stay those
// of the full fit throughout, and so does every donor's contrast (post-period mean minus
// time-weighted pre-period level), which the cases share: a case then costs the mean path of
// the treated units it keeps, or one weighted sum over the donors, with the arithmetic of
// att_given_weights to the bit.
class Jackknife {
public:
  // For the fit `full` of `panel` at t0 (the panel at any scale: the effects scale with it).
  // Invariant failure with fewer than two treated units.
  Jackknife(const Panel& panel, std::size_t t0, const SdidFit& full);

  std::size_t size() const { return treated_.size() + left_out_donors_.size(); }

  // The effect of case k (0 <= k < size()); `panel` is the one the jackknife was built on.
  double loo_att(const Panel& panel, std::size_t k) const;

private:
  std::vector<std::size_t> treated_;
  std::vector<double> omega_;
  std::vector<double> lambda_;
  std::size_t t0_;
  std::vector<double> contrasts_;             // one per donor
  double treated_contrast_ = 0.0;             // of the mean path of all treated units
  double control_ = 0.0;                      // sum_i omega_i contrasts_i
  std::vector<std::size_t> left_out_donors_;  // positions of the donors with a case
};

// Every leave-one-out effect in case order, fitting the panel first.
std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       const SdidOptions& options);

}  // namespace tessarix::sc::sdid
