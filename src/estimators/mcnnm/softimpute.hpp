// Matrix completion with a nuclear-norm penalty (Athey, Bayati, Doudchenko, Imbens and
// Khosravi): the treated cells are missing, the outcome matrix is unit effects plus period
// effects plus a low-rank part, fitted to the observed cells by SoftImpute (repeated
// singular-value soft-thresholding); the imputed treated cells are the counterfactual.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "estimators/panel.hpp"
#include "estimators/result.hpp"

namespace tessarix::mcnnm {

struct McnnmOptions {
  std::optional<double> lambda;          // nuclear-norm penalty; absent = chosen by hold-out
  std::size_t max_iter = 200;            // cap on SoftImpute iterations per fit
  double tol = 1e-5;                     // on the relative change of the low-rank part
  std::uint64_t seed = 0;                // hold-out draw and randomized decomposition
  std::optional<std::size_t> max_rank;   // rank cap of the randomized thresholding
};

// The model: fitted value of cell (i, t) is low_rank(i, t) + unit_fe[i] + time_fe[t].
struct FitState {
  Mat low_rank;
  std::vector<double> unit_fe;
  std::vector<double> time_fe;

  static FitState zeros(std::size_t n_units, std::size_t n_periods);
};

// One flag per cell in element order (cell (i, t) at i + t n_units): 1 = observed, 0 = a
// cell of a unit at or after its treatment start.
using Mask = std::vector<unsigned char>;
Mask observed_mask(const Panel& panel);

// Refits the unit and period effects for the current low-rank part, alternating exact means
// over the observed cells until the effects stop moving (in place).
void update_fe(const Mat& y, std::span<const unsigned char> mask, FitState& state);

// Largest singular value of the two-way fixed-effects residual (0 on unobserved cells).
double sigma_max_fe_residual(const Mat& y, std::span<const unsigned char> mask);

// The Gram matrix Z^T Z of the iterates Z of one SoftImpute fit on a panel with at least as
// many units as periods. A unit whose cells are all observed has the row
// y - alpha 1^T - beta^T in every iterate, so the part of the Gram from those units moves
// with the effects alone: it is their Gram at an anchor iterate plus a symmetric rank-four
// correction in the effects' changes since then, O(units x periods) work instead of
// O(units x periods^2). The few units with unobserved cells contribute their Gram directly.
// The anchor moves to the current iterate when the effects have changed by more than an
// eighth of the anchored rows' size, which bounds the cancellation in the correction.
class IterateGram {
 public:
  // nullopt when tracking does not pay: fewer units than periods, or more than a quarter of
  // the units with an unobserved cell.
  static std::optional<IterateGram> make(std::span<const unsigned char> mask, std::size_t n_units,
                                         std::size_t n_periods);
  // Z^T Z (lower triangle) for the iterate z formed from `state`'s effects.
  Mat of(const Mat& z, const FitState& state);

 private:
  void anchor(const Mat& z, const FitState& state);

  std::vector<std::size_t> complete_, partial_;  // units with all / some cells observed
  bool anchored_ = false;
  Mat rows0_;                        // the complete units' rows of the anchor iterate
  Mat gram0_;                        // their Gram
  std::vector<double> col_sums0_;    // their column sums
  double size0_ = 0.0;               // their Frobenius norm
  std::vector<double> unit_fe0_, time_fe0_;
};

// One SoftImpute fit at penalty `lambda`, warm-started from `state`.
FitState soft_impute_fe(const Mat& y, std::span<const unsigned char> mask,
                        const McnnmOptions& options, FitState state, double lambda);

// The penalty used for `y`: options.lambda, or the hold-out choice on a geometric grid.
double choose_lambda(const Mat& y, std::span<const unsigned char> mask,
                     const McnnmOptions& options);

ScFit fit_at(const Panel& panel, std::size_t t0, const McnnmOptions& options);

}  // namespace tessarix::mcnnm
