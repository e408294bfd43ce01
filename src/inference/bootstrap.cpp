#include "inference/bootstrap.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "estimators/result.hpp"
#include "runtime/parallel.hpp"
#include "linalg/error.hpp"
#include "linalg/ops/order.hpp"
#include "linalg/rng.hpp"

namespace tessarix::inference {
namespace {

using linalg::Xoshiro256pp;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void require_level(double level) {
  if (!(level > 0.0 && level < 1.0)) invariant_failure("assertion failed: level > 0.0 && level < 1.0");
}

// --- mean bootstraps -----------------------------------------------------------------------

// A series whose largest magnitude lies in [2^-kSumSafeExp, 2^kSumSafeExp) is resampled as it
// is: fewer than 2^63 such values sum to less than 2^1023, and means of them keep their 53
// significant bits far above the subnormal range. Any other series is resampled at an exact
// power-of-two rescaling of itself.
constexpr int kSumSafeExp = 960;

// Values of the series a pool task draws (in whole replicates): enough that scheduling costs
// vanish next to the work, few enough that a cancelled map stops within microseconds.
constexpr std::size_t kValuesPerTask = std::size_t{1} << 14;

// An interval whose spread cannot be estimated: NaN, never a confident zero.
PercentileCi unestimable(double estimate, double level) { return {estimate, kNaN, kNaN, kNaN, level}; }

// Sum from -0.0 in index order (so that a series of -0.0 keeps its sign), divided by the count.
double series_mean(std::span<const double> x) {
  double total = -0.0;
  for (double v : x) total += v;
  return total / static_cast<double>(x.size());
}

// Percentile interval and spread of two or more replicate means, as percentile_ci gives them
// (up to the sign of a zero bound). The bounds are found by selection rather than a full
// sort, which would take a long bootstrap about as long as its replicates, uninterruptibly. Identical replicates (a constant series) are a point
// with no spread; the mean-then-deviations formula would report the rounding of their sum.
PercentileCi replicate_interval(std::span<const double> replicates, double mean, double level) {
  const double first = replicates.front();
  if (std::all_of(replicates.begin(), replicates.end(), [first](double r) { return r == first; })) {
    return {mean, 0.0, first, first, level};
  }
  std::vector<double> work(replicates.begin(), replicates.end());
  const double alpha = (1.0 - level) * 0.5;
  const double lower = quantile_select(work, alpha);
  const double upper = quantile_select(work, 1.0 - alpha);
  return {mean, sample_sd(replicates), lower, upper, level};
}

// One circular block resample of x (non-empty): blocks of `len` consecutive values from uniform
// starts, wrapping around the end, the last block cut so that exactly n values are drawn.
double block_replicate(std::span<const double> x, std::size_t len, Xoshiro256pp g) {
  const std::size_t n = x.size();
  double total = 0.0;
  for (std::size_t taken = 0; taken < n;) {
    std::size_t i = g.gen_range(n);
    for (const std::size_t stop = std::min(n, taken + len); taken < stop; ++taken) {
      total += x[i];
      if (++i == n) i = 0;
    }
  }
  return total / static_cast<double>(n);
}

// One stationary resample of x (non-empty): after each value a new block starts at a uniform
// position with probability `restart`, else the block continues (wrapping around the end).
double stationary_replicate(std::span<const double> x, double restart, Xoshiro256pp g) {
  const std::size_t n = x.size();
  std::size_t i = g.gen_range(n);
  double total = 0.0;
  for (std::size_t taken = 1;; ++taken) {
    total += x[i];
    if (taken == n) break;  // draws after the last value would not change the mean
    if (g.next_f64() < restart) {
      i = g.gen_range(n);
    } else if (++i == n) {
      i = 0;
    }
  }
  return total / static_cast<double>(n);
}

// The interval of the replicate means around the series mean, replicate(x, g) being the mean
// of one resample of x drawn from g. Replicates run on the pool in tasks of consecutive
// replicates, each writing its own slots. A series outside the ordinary range is resampled
// at 2^e times itself: the same draws give exactly 2^e times the ideal replicate means, which
// are then scaled back, so that no sum overflows and no tiny mean loses its digits.
template <class Replicate>
BootstrapMean bootstrap_mean(std::span<const double> series, std::size_t n_reps, std::uint64_t seed,
                             double level, const Replicate& replicate) {
  require_level(level);
  const std::size_t n = series.size();
  BootstrapMean out;
  if (n == 0) {
    out.ci = unestimable(0.0, level);
    return out;
  }
  const int e = binade_shift(series, -kSumSafeExp, kSumSafeExp);
  std::vector<double> scaled;
  if (e != 0) {
    scaled.assign(series.begin(), series.end());
    for (double& v : scaled) v = std::ldexp(v, e);
  }
  const std::span<const double> x = e != 0 ? std::span<const double>(scaled) : series;

  out.replicates.resize(n_reps);
  const std::size_t per_task = std::max<std::size_t>(1, kValuesPerTask / n);
  runtime::par_map_indexed((n_reps + per_task - 1) / per_task, [&](std::size_t task) {
    const std::size_t last = std::min(n_reps, (task + 1) * per_task);
    for (std::size_t r = task * per_task; r < last; ++r) {
      out.replicates[r] = replicate(x, Xoshiro256pp::substream(seed, r));
    }
    return last;
  });

  const double mean = series_mean(x);
  out.ci = n_reps >= 2 ? replicate_interval(out.replicates, mean, level) : unestimable(mean, level);
  if (e != 0) {
    for (double* v : {&out.ci.estimate, &out.ci.se, &out.ci.lower, &out.ci.upper}) *v = std::ldexp(*v, -e);
    for (double& v : out.replicates) v = std::ldexp(v, -e);
  }
  return out;
}

// --- multiplier bands ----------------------------------------------------------------------

// Four lanes of doubles or of 64-bit words (GCC vector extensions: one AVX2 register, or two
// SSE2 registers in the baseline build).
using D4 = double __attribute__((vector_size(32)));
using U4 = std::uint64_t __attribute__((vector_size(32)));
using I4 = std::int64_t __attribute__((vector_size(32)));

// Replicates bootstrapped together by one task: their multipliers of one unit fill four AVX2
// registers, so each influence value is loaded once for all of them.
constexpr std::size_t kLanes = 16;
constexpr std::size_t kQuads = kLanes / 4;

// One value per replicate of a task. The alignment is spelled out: a baseline build gives
// 32-byte vectors only 16, while the AVX2 clone assumes 32.
struct alignas(64) Lanes {
  D4 q[kQuads];
};

// Units whose multipliers are drawn ahead of one pass over the events: 128 units of kLanes
// multipliers (16 KiB) stay in the first-level cache while every event's sums run over them.
constexpr std::size_t kUnitBlock = 128;

// Mammen's two-point multiplier from a raw output, as Xoshiro256pp::mammen decides it: the
// uniform (bits >> 11) 2^-53 lies below the threshold c exactly when bits >> 11 < c 2^53, an
// integer since c has a 53-bit significand in [0.5, 1). An integer comparison vectorises.
constexpr double kMammenThreshold = 0.723606797749979;
constexpr auto kMammenBits = static_cast<std::int64_t>(kMammenThreshold * 0x1p53);
static_assert(static_cast<double>(kMammenBits) == kMammenThreshold * 0x1p53);
const double kMammenLow = (1.0 - std::sqrt(5.0)) / 2.0;
const double kMammenHigh = (1.0 + std::sqrt(5.0)) / 2.0;

// kLanes xoshiro256++ generators, their state words stored lane by lane so that one step of
// four of them is a few vector instructions. Lane g yields exactly the outputs of the
// generator it was loaded from.
struct alignas(64) LaneGenerators {
  U4 s0[kQuads], s1[kQuads], s2[kQuads], s3[kQuads];

  void load(std::size_t g, const Xoshiro256pp& gen) {
    const std::uint64_t* s = gen.state();
    s0[g / 4][g % 4] = s[0];
    s1[g / 4][g % 4] = s[1];
    s2[g / 4][g % 4] = s[2];
    s3[g / 4][g % 4] = s[3];
  }

  // The next `units` Mammen multipliers of every lane: xi[u] for u = 0 .. units - 1. Two sets
  // of four lanes at a time, their state held in registers across the units: two independent
  // chains of the generator's steps, few enough that no state word leaves its register.
  [[gnu::always_inline]] inline void mammen(Lanes* xi, std::size_t units) {
    static_assert(kQuads % 2 == 0);
    for (std::size_t q = 0; q < kQuads; q += 2) {
      U4 a[2] = {s0[q], s0[q + 1]}, b[2] = {s1[q], s1[q + 1]};
      U4 c[2] = {s2[q], s2[q + 1]}, d[2] = {s3[q], s3[q + 1]};
      for (std::size_t u = 0; u < units; ++u) {
        for (std::size_t h = 0; h < 2; ++h) {
          const U4 sum = a[h] + d[h];
          const U4 bits = ((sum << 23) | (sum >> 41)) + a[h];
          const U4 t = b[h] << 17;
          c[h] ^= a[h];
          d[h] ^= b[h];
          b[h] ^= c[h];
          a[h] ^= d[h];
          c[h] ^= t;
          d[h] = (d[h] << 45) | (d[h] >> 19);
          const I4 low = reinterpret_cast<I4>(bits >> 11) < kMammenBits;
          xi[u].q[q + h] = low ? D4{} + kMammenLow : D4{} + kMammenHigh;
        }
      }
      for (std::size_t h = 0; h < 2; ++h) s0[q + h] = a[h], s1[q + h] = b[h], s2[q + h] = c[h], s3[q + h] = d[h];
    }
  }
};

// Where the influence values that enter the sup statistic lie, arranged for the replicate
// kernel: the event times that count (n_e >= 1, se_e > 0) in order, and the units of their
// non-zero values grouped by block of kUnitBlock units, then by event, ascending. A zero value
// adds a signed zero to a sum, which no absolute value can see, so it is left out. The values
// themselves are read from the caller's lists.
struct SparseInfluence {
  std::vector<const double*> column;  // influence list of each event that counts
  std::vector<std::size_t> length;    // its n_e
  std::vector<double> se;             // its se_e
  std::size_t units = 0;              // the largest n_e among them: units whose multipliers matter
  std::vector<std::size_t> start;     // first entry of (block b, event k) at b * events + k
  std::vector<std::uint8_t> offset;   // unit of each entry, relative to its block

  std::size_t events() const { return length.size(); }
  std::size_t blocks() const { return (units + kUnitBlock - 1) / kUnitBlock; }

  SparseInfluence(std::span<const std::vector<double>> influence, std::span<const double> se_all) {
    std::size_t total = 0;
    for (std::size_t e = 0; e < influence.size(); ++e) {
      if (influence[e].empty() || !(se_all[e] > 0.0)) continue;
      column.push_back(influence[e].data());
      length.push_back(influence[e].size());
      se.push_back(se_all[e]);
      units = std::max(units, influence[e].size());
      total += influence[e].size();
    }
    // Every unit is written and kept only if its value is non-zero: no branch on the data,
    // whose pattern of zeros is as irregular as the panel's cohorts.
    offset.resize(total);
    start.reserve(blocks() * events() + 1);
    std::size_t n = 0;
    for (std::size_t b = 0; b < blocks(); ++b) {
      const std::size_t first = b * kUnitBlock;
      for (std::size_t k = 0; k < events(); ++k) {
        start.push_back(n);
        const std::size_t last = std::min(first + kUnitBlock, length[k]);
        for (std::size_t u = first; u < last; ++u) {
          offset[n] = static_cast<std::uint8_t>(u - first);
          n += column[k][u] != 0.0;
        }
      }
    }
    start.push_back(n);
    offset.resize(n);
  }
};
static_assert(kUnitBlock <= 256, "unit offsets within a block are stored in one byte");

// acc += value[unit] xi[unit] over the units offset[j], j in [j, end), in order.
[[gnu::always_inline]] inline void accumulate(Lanes& acc, const double* value, const std::uint8_t* offset,
                                              std::size_t j, std::size_t end, const Lanes* xi) {
  for (; j < end; ++j) {
    const std::size_t u = offset[j];
    for (std::size_t q = 0; q < kQuads; ++q) acc.q[q] += value[u] * xi[u].q[q];
  }
}

// sums[k] += value xi[unit] over the values of every event k, block after block: per lane,
// exactly the left-to-right accumulation of the plain sum over the units. Lanes are
// independent, so vectorising across them changes no result. Events are taken two at a time,
// their sums advancing side by side: twice the independent chains of additions, so that the
// latency of one addition no longer paces the loop. The AVX2 clone is chosen at load time
// where the CPU has it.
__attribute__((target_clones("avx2", "default"))) void accumulate_sums(const SparseInfluence& inf,
                                                                      LaneGenerators& lanes, Lanes* sums) {
  const std::size_t events = inf.events();
  const std::uint8_t* offset = inf.offset.data();
  Lanes xi[kUnitBlock];
  for (std::size_t b = 0; b < inf.blocks(); ++b) {
    const std::size_t first = b * kUnitBlock;
    lanes.mammen(xi, std::min(kUnitBlock, inf.units - first));
    const std::size_t* start = inf.start.data() + b * events;
    std::size_t k = 0;
    for (; k + 2 <= events; k += 2) {
      const double* x = inf.column[k] + first;
      const double* y = inf.column[k + 1] + first;
      Lanes p = sums[k], r = sums[k + 1];
      std::size_t i = start[k], j = start[k + 1];
      const std::size_t both = std::min(start[k + 1] - i, start[k + 2] - j);
      for (std::size_t n = 0; n < both; ++n, ++i, ++j) {
        const std::size_t u = offset[i], v = offset[j];
        for (std::size_t q = 0; q < kQuads; ++q) {
          p.q[q] += x[u] * xi[u].q[q];
          r.q[q] += y[v] * xi[v].q[q];
        }
      }
      accumulate(p, x, offset, i, start[k + 1], xi);
      accumulate(r, y, offset, j, start[k + 2], xi);
      sums[k] = p, sums[k + 1] = r;
    }
    if (k < events) accumulate(sums[k], inf.column[k] + first, offset, start[k], start[k + 1], xi);
  }
}

// The sup statistics of replicates first .. first + kLanes - 1 (those past the requested
// count are computed and discarded by the caller).
std::array<double, kLanes> sup_t_lanes(const SparseInfluence& inf, std::uint64_t seed, std::size_t first) {
  LaneGenerators lanes;
  for (std::size_t g = 0; g < kLanes; ++g) lanes.load(g, Xoshiro256pp::substream(seed, first + g));
  std::vector<Lanes> sums(inf.events(), Lanes{});  // the task's one allocation
  accumulate_sums(inf, lanes, sums.data());
  std::array<double, kLanes> sup{};
  for (std::size_t k = 0; k < inf.events(); ++k) {
    for (std::size_t g = 0; g < kLanes; ++g) {
      const double t = std::fabs((sums[k].q[g / 4][g % 4] / static_cast<double>(inf.length[k])) / inf.se[k]);
      if (t > sup[g]) sup[g] = t;  // a NaN term is ignored
    }
  }
  return sup;
}

}  // namespace

BootstrapMean block_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                   std::size_t n_reps, std::uint64_t seed, double level) {
  const std::size_t len = std::clamp<std::size_t>(block_len, 1, std::max<std::size_t>(series.size(), 1));
  return bootstrap_mean(series, n_reps, seed, level, [len](std::span<const double> x, Xoshiro256pp g) {
    return block_replicate(x, len, g);
  });
}

BootstrapMean stationary_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                        std::size_t n_reps, std::uint64_t seed, double level) {
  const double restart = 1.0 / static_cast<double>(std::max<std::size_t>(block_len, 1));
  return bootstrap_mean(series, n_reps, seed, level, [restart](std::span<const double> x, Xoshiro256pp g) {
    return stationary_replicate(x, restart, g);
  });
}

std::vector<double> sup_t_replicates(std::span<const std::vector<double>> influence,
                                     std::span<const double> se, std::size_t n_reps,
                                     std::uint64_t seed) {
  require_eq(influence.size(), se.size(), "multiplier bootstrap: one standard error per event time");
  const SparseInfluence inf(influence, se);
  const auto groups = runtime::par_map_indexed((n_reps + kLanes - 1) / kLanes, [&](std::size_t task) {
    return sup_t_lanes(inf, seed, task * kLanes);
  });
  std::vector<double> out(n_reps);
  for (std::size_t r = 0; r < n_reps; ++r) out[r] = groups[r / kLanes][r % kLanes];
  return out;
}

EventBands multiplier_event_bands(std::span<const std::vector<double>> influence,
                                  std::span<const double> att, std::span<const double> se,
                                  std::size_t n_reps, std::uint64_t seed, double level) {
  require_eq(influence.size(), att.size(), "multiplier bands: one influence list per event time");
  require_eq(se.size(), att.size(), "multiplier bands: one standard error per event time");
  std::size_t units = 0;
  for (const std::vector<double>& column : influence) units = std::max(units, column.size());
  EventBands out;
  if (att.empty() || units == 0) {
    for (double a : att) out.bands.emplace_back(a, a);
    return out;
  }
  std::vector<double> sup = sup_t_replicates(influence, se, n_reps, seed);
  linalg::sort_total_order(sup);
  out.crit = quantile_sorted(sup, level);
  for (std::size_t e = 0; e < att.size(); ++e) {
    out.bands.emplace_back(att[e] - out.crit * se[e], att[e] + out.crit * se[e]);
  }
  return out;
}

}  // namespace tessarix::inference
