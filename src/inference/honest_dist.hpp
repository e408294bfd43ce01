// Normal-family distribution functions of the honest (sensitivity) inference, accurate to the
// last few bits: the standard normal's tails and quantile, the quantile of a standard normal
// truncated to an interval (the conditional moment-inequality tests' critical values), and the
// quantile of a folded normal |N(mu, 1)| (the fixed-length intervals' critical values).
#pragma once

namespace tessarix::inference {

// P(Z <= x) for a standard normal Z, from erfc (accurate in the lower tail).
double normal_cdf(double x);

// The standard-normal quantile at p in (0, 1), to a few units in the last place: Acklam's
// rational approximation refined by one Halley step on erfc.
double normal_quantile_exact(double p);

// The p-quantile of a standard normal truncated to [lo, hi] (lo < hi, either may be
// infinite), computed on the side of zero where the interval's tail probabilities keep their
// digits (log upper-tail probabilities beyond erfc's range); lo when hi <= lo.
double truncated_normal_quantile(double p, double lo, double hi);

// The p-quantile of |X| for X ~ N(mu, 1): the c >= 0 with Phi(c - mu) - Phi(-c - mu) = p.
double folded_normal_quantile(double p, double mu);

}  // namespace tessarix::inference
