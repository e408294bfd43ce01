// Exact power-of-two rescaling of outcome data. The estimators square outcomes (Gram
// matrices, sums of squares) and stop their solvers on absolute tolerances, so they are exact
// and meaningful over a range of magnitudes only. A panel outside that range is fitted at a
// canonical scale, its values times 2^e, which binary floating point represents exactly, and
// every result in outcome units is scaled back by 2^-e; a panel inside it is fitted as it is.
#pragma once

#include "estimators/panel.hpp"

namespace tessarix {

// Largest magnitudes fitted as they are: [1, 2^kMaxOrdinaryExp). Below 1 the solvers'
// absolute tolerances grow loose against the Gram matrices; far above, squares of outcomes
// head for the top of the double range.
inline constexpr int kMaxOrdinaryExp = 100;

// 0 when max |y| lies in [1, 2^kMaxOrdinaryExp) or y is empty or all zero; otherwise the e
// for which 2^e max |y| lies in [1, 2).
int rescale_exponent(const Mat& y);

// y * 2^e elementwise.
Mat rescaled(Mat y, int e);

// The panel with its outcomes multiplied by 2^e (starts and covariates unchanged).
Panel rescaled(const Panel& panel, int e);

// x * 2^(2e): a parameter in squared outcome units (a ridge) at the canonical scale. Beyond
// the double range it saturates: to +inf, where the penalty dominates, or for a positive x to
// the smallest positive double, where it tends to vanish.
double rescaled_sq(double x, int e);

// f(y', e) with y' the matrix at its canonical scale: y itself (e = 0) inside the ordinary
// range, else a copy of y times 2^e. Whatever f returns in outcome units it must scale back by
// 2^-e; what is scale-free (ratios, shares, rates) then does not depend on the scale of y.
template <class F>
auto on_canonical_scale(const Mat& y, F&& f) -> decltype(f(y, 0)) {
  const int e = rescale_exponent(y);
  if (e == 0) return f(y, 0);
  return f(rescaled(y, e), e);
}

// fit(panel) for a fit whose outcome-unit results are linear in the outcomes: on the panel
// itself inside the ordinary range, else on its canonical rescaling, after which
// unscale(result, e) multiplies every outcome-unit field by 2^e to bring it back.
template <class Fit, class Unscale>
auto linear_fit_at_canonical_scale(const Panel& panel, Fit&& fit, Unscale&& unscale) {
  const int e = rescale_exponent(panel.y());
  if (e == 0) return fit(panel);
  auto out = fit(rescaled(panel, e));
  unscale(out, -e);
  return out;
}

}  // namespace tessarix
