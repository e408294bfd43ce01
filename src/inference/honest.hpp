// Sensitivity of an event study's conclusions to violations of parallel trends, after
// Rambachan & Roth ("A More Credible Approach to Parallel Trends"). The event study gives
// betahat = (pre-period coefficients, post-period coefficients), the reference period omitted,
// with covariance Sigma; the target is theta = l'tau_post. Two restriction families on the
// trend's bias delta:
//   relative magnitudes Delta^RM(Mbar): every post-period first difference of delta is at most
//     Mbar times the largest pre-period one; confidence sets invert the ARP conditional or
//     least-favourable hybrid test over a grid of theta, as the union over which pre-period
//     difference is the largest and its sign;
//   smoothness Delta^SD(M): every second difference of delta is at most M in magnitude; the
//     fixed-length confidence interval (FLCI) centres the affine estimator whose worst-case
//     bias and standard deviation give the shortest half-length h cv_alpha(bias / h).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::inference {

using linalg::Mat;

struct EventStudy {
  std::vector<double> betahat;  // num_pre then num_post coefficients
  Mat sigma;                    // their covariance
  std::size_t num_pre = 0;
  std::size_t num_post = 0;
  std::vector<double> l;        // weights of the target over the post periods
};

// One robust interval at one value of the restriction's bound. lower/upper are NaN when no
// grid point is accepted; `open` flags an accepted first or last grid point (the set may
// extend beyond the grid).
struct HonestInterval {
  double bound = 0.0;
  double lower = 0.0;
  double upper = 0.0;
  bool open = false;
};

enum class RmMethod { conditional, lf_hybrid };

struct RmSettings {
  double alpha = 0.05;
  RmMethod method = RmMethod::lf_hybrid;
  std::size_t grid_points = 1000;
  std::optional<double> grid_lb;  // default: the identified set's lower end - 20 sd (see rm_intervals)
  std::optional<double> grid_ub;  // default: its upper end + 20 sd
};

// The (1 - alpha) original interval l'b_post -/+ z sd(theta), valid under exact parallel trends.
std::pair<double, double> original_interval(const EventStudy& es, double alpha);

// --- relative magnitudes -------------------------------------------------------------------

// Rows of A with A delta <= 0 exactly when delta (pre then post, the reference omitted) lies
// in Delta^RM(Mbar) with the largest pre-period difference at s (s = 0 is the difference
// between the last pre-period and the reference, s = -(num_pre - 1) the earliest one) and of
// the given sign: the pieces whose union is Delta^RM(Mbar).
Mat rm_constraints(std::size_t num_pre, std::size_t num_post, double mbar, std::ptrdiff_t s,
                   bool max_positive);

// The identified set of theta under Delta^RM(Mbar) given the population coefficients betahat:
// l'b_post -/+ Mbar D sum_j |sum_{t >= j} l_t|, D the largest pre-period first difference.
std::pair<double, double> rm_identified_set(const EventStudy& es, double mbar);

// The pieces of one Mbar: num_pre values of s, each with both signs.
inline std::size_t rm_pieces(std::size_t num_pre) { return 2 * num_pre; }

// The covariance of the moments whose draws the least-favourable critical value of each
// piece needs, in the order Mbar, then s ascending, then the positive sign before the negative.
std::vector<Mat> rm_draw_covariances(const EventStudy& es, std::span<const double> mbar);

// Robust intervals for each Mbar. The hybrid needs `draws`: per piece (in the order of
// rm_draw_covariances) a sims x dim matrix of draws from that covariance.
std::vector<HonestInterval> rm_intervals(const EventStudy& es, std::span<const double> mbar,
                                         const RmSettings& settings, std::span<const Mat> draws);

// --- smoothness ----------------------------------------------------------------------------

struct Flci {
  double bound = 0.0;        // M
  double lower = 0.0;
  double upper = 0.0;
  double half_length = 0.0;
  double sd = 0.0;           // of the affine estimator
  double worst_bias = 0.0;   // over Delta^SD(M)
  std::vector<double> weights;  // v with the estimate v'betahat (pre weights, then l)
};

// The optimal FLCI for each M.
std::vector<Flci> sd_flci(const EventStudy& es, std::span<const double> m, double alpha);

// The default upper end of the M grid: the largest one-sided (1 - alpha) upper bound on a
// pre-period second difference (of either sign), the reference period's zero included.
double sd_default_m_max(const EventStudy& es, double alpha);

}  // namespace tessarix::inference
