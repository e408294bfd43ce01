// The record every synthetic-control-family fit returns, and the summary statistics
// (mean, overflow-safe root mean square) its fields are defined with.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace tessarix {

struct ScFit {
  double att = 0.0;                     // mean of att_path; 0 with no post-period
  std::vector<double> att_path;         // treated_post[k] - counterfactual[k]
  std::vector<double> counterfactual;   // estimated untreated path of the averaged treated unit
  std::vector<double> treated_post;     // observed post-period path, averaged over treated units
  std::vector<double> weights;          // one per donor, in donor_ids order
  std::vector<std::size_t> donor_ids;   // never-treated units, ascending
  // Treated minus the fit's own synthetic path over the pre-periods (length t0), so that
  // pre_gap followed by att_path is the gap over every period.
  std::vector<double> pre_gap;
  double pre_rmspe = 0.0;
  double post_rmspe = 0.0;
};

// Plain left-to-right sum divided by the count; 0 for an empty slice.
double mean(std::span<const double> x);

// Sum of squared deviations from the mean (the mean as above); 0 for an empty slice.
double sum_sq_dev(std::span<const double> x);

// Root mean square via the scaled Euclidean norm: norm / sqrt(max(n, 1)); 0 when empty.
double rms(std::span<const double> x);

// With max |x| = m 2^k, m in [0.5, 1): 0 when lo < k <= hi, or x is all zero; otherwise the e
// for which 2^e max |x| lies in [1, 2), the power of two that brings x to a canonical binade.
int binade_shift(std::span<const double> x, int lo, int hi);

// 0 when the squares of x can be summed without overflow or underflow (max |x| in
// [2^-200, 2^200), or x all zero); otherwise the e for which 2^e max |x| lies in [1, 2).
int square_safe_exponent(std::span<const double> x);

// stat(x) for a statistic that scales with its values (a spread, a root mean square of
// deviations), computed on 2^e x where the squares of x would overflow or vanish and scaled
// back; exactly stat(x) otherwise. Finite values then never give an infinite or a spuriously
// zero spread.
template <class Stat>
double scale_free(std::span<const double> x, Stat stat) {
  const int e = square_safe_exponent(x);
  if (e == 0) return stat(x);
  std::vector<double> scaled(x.begin(), x.end());
  for (double& v : scaled) v = std::ldexp(v, e);
  return std::ldexp(stat(std::span<const double>(scaled)), -e);
}

}  // namespace tessarix
