#include "inference/placebo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "inference/ci.hpp"
#include "linalg/rng.hpp"
#include "runtime/parallel.hpp"

namespace tessarix::inference {

namespace {

std::size_t single_cohort(const Panel& panel) {
  const std::vector<std::size_t>& cohorts = panel.cohorts();
  if (cohorts.size() != 1) invariant_failure("placebo test requires a single common treatment time");
  return cohorts[0];
}

// The placebo panel of the pseudo-treated donors `chosen` (ascending positions into
// `donors`): those donors first and treated from t0, the other donors after them in ascending
// order, the panel's treated units left out; covariate rows, if any, follow their units.
Panel placebo_panel(const Panel& panel, std::span<const std::size_t> donors,
                    std::span<const std::size_t> chosen, std::size_t t0) {
  const std::size_t n = donors.size();
  const std::size_t t_count = panel.n_periods();
  std::vector<std::size_t> order(chosen.begin(), chosen.end());
  order.reserve(n);
  std::size_t next_chosen = 0;
  for (std::size_t d = 0; d < n; ++d) {
    if (next_chosen < chosen.size() && chosen[next_chosen] == d) {
      ++next_chosen;
    } else {
      order.push_back(d);
    }
  }
  Mat rows(n, t_count);
  for (std::size_t t = 0; t < t_count; ++t) {
    const std::span<const double> src = panel.y().col(t);
    const std::span<double> dst = rows.col(t);
    for (std::size_t r = 0; r < n; ++r) dst[r] = src[donors[order[r]]];
  }
  std::vector<std::size_t> pseudo_treated(chosen.size());
  for (std::size_t r = 0; r < pseudo_treated.size(); ++r) pseudo_treated[r] = r;
  Panel out = Panel::block(std::move(rows), pseudo_treated, t0);
  if (!panel.covariates()) return out;
  // Each unit keeps its own covariate row (a predictor fit matches on them).
  const Mat& cov = *panel.covariates();
  Mat cov_rows(n, cov.cols());
  for (std::size_t c = 0; c < cov.cols(); ++c) {
    for (std::size_t r = 0; r < n; ++r) cov_rows(r, c) = cov(donors[order[r]], c);
  }
  return std::move(out).with_covariates(std::move(cov_rows));
}

// Every donor alone: the sets of the per-donor test.
std::vector<std::vector<std::size_t>> singletons(std::size_t n_donors) {
  std::vector<std::vector<std::size_t>> sets(n_donors);
  for (std::size_t j = 0; j < n_donors; ++j) sets[j] = {j};
  return sets;
}

// On the pool: the placebo refit of every set in set order, each reduced to keep(set, fit),
// and with `real` non-null the real fit beside them as item 0 of the same map. A refit needs
// at least one donor outside its set: without one the entry is `none`.
template <class Kept, class Keep>
std::vector<Kept> map_refits(const Panel& panel, const sc::Method& method, std::size_t t0,
                             std::span<const std::size_t> donors,
                             std::span<const std::vector<std::size_t>> sets, std::optional<ScFit>* real,
                             const Kept& none, Keep keep) {
  const std::size_t first = real != nullptr ? 1 : 0;
  std::vector<Kept> out = runtime::par_map_indexed(sets.size() + first, [&](std::size_t k) -> Kept {
    if (k < first) {
      *real = method.fit_at(panel, t0);
      return none;
    }
    const std::vector<std::size_t>& set = sets[k - first];
    if (set.size() >= donors.size()) return none;
    return keep(set, method.fit_at(placebo_panel(panel, donors, set, t0), t0));
  });
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(first));
  return out;
}

// The (statistic, ATT) of every donor's refit in donor order, (NaN, NaN) where there is none.
std::vector<std::pair<double, double>> refit_pairs(const Panel& panel, const sc::Method& method,
                                                   std::size_t t0,
                                                   std::span<const std::size_t> donors,
                                                   std::optional<ScFit>* real) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  return map_refits(panel, method, t0, donors, singletons(donors.size()), real,
                    std::pair<double, double>{kNaN, kNaN}, [&](const std::vector<std::size_t>&, const ScFit& fit) {
                      return std::pair<double, double>{method.statistic(fit), fit.att};
                    });
}

// A refit's gap over every period: its pre_gap, then its att_path.
std::vector<double> full_gap(ScFit& fit) {
  std::vector<double> gap = std::move(fit.pre_gap);
  gap.insert(gap.end(), fit.att_path.begin(), fit.att_path.end());
  return gap;
}

// The gap path of every donor's refit that the placebo test keeps (those with a statistic
// that is not NaN), in donor order.
std::vector<PlaceboPath> refit_paths(const Panel& panel, const sc::Method& method, std::size_t t0,
                                     std::span<const std::size_t> donors,
                                     std::optional<ScFit>* real) {
  std::vector<std::optional<PlaceboPath>> paths = map_refits(
      panel, method, t0, donors, singletons(donors.size()), real, std::optional<PlaceboPath>{},
      [&](const std::vector<std::size_t>& set, ScFit fit) -> std::optional<PlaceboPath> {
        if (std::isnan(method.statistic(fit))) return std::nullopt;
        return PlaceboPath{donors[set[0]], full_gap(fit)};
      });
  std::vector<PlaceboPath> out;
  for (auto& p : paths) {
    if (p) out.push_back(std::move(*p));
  }
  return out;
}

// The test from the real fit and the refits' (statistic, ATT) pairs in donor order.
PlaceboResult summarise(const sc::Method& method, const ScFit& real,
                        std::span<const std::pair<double, double>> pairs) {
  PlaceboResult out;
  out.stat = method.statistic(real);
  out.att = real.att;
  out.att_path = real.att_path;
  for (const auto& [s, a] : pairs) {
    if (std::isnan(s)) continue;
    out.placebo_stats.push_back(s);
    out.placebo_atts.push_back(a);
  }
  std::size_t at_least = 0;
  for (double s : out.placebo_stats) at_least += s >= out.stat ? 1 : 0;
  out.p_value = static_cast<double>(at_least + 1) / static_cast<double>(out.placebo_stats.size() + 1);
  return out;
}

// C(n, k), or any number above `cap` once it exceeds it (the largest u64 where it would not
// fit). Each step C(n, i + 1) = C(n, i) (n - i) / (i + 1) is exact: with C(n, i) = q (i + 1) + r
// it is q (n - i) + r (n - i) / (i + 1), the last quotient exact because the whole is.
std::uint64_t binomial_capped(std::size_t n, std::size_t k, std::size_t cap) {
  constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
  k = std::min(k, n - k);
  std::uint64_t c = 1;
  for (std::size_t i = 0; i < k && c <= cap; ++i) {
    const std::uint64_t q = c / (i + 1), r = c % (i + 1);
    std::uint64_t whole = 0;
    if (__builtin_mul_overflow(q, n - i, &whole)) return kSaturated;
    const std::uint64_t rest = r * (n - i) / (i + 1);  // r <= i < n keeps r (n - i) below n^2
    if (__builtin_add_overflow(whole, rest, &c)) return kSaturated;
  }
  return c;
}

// Every k-subset of 0..n-1 in lexicographic order, each ascending.
std::vector<std::vector<std::size_t>> all_subsets(std::size_t n, std::size_t k) {
  std::vector<std::vector<std::size_t>> out;
  std::vector<std::size_t> set(k);
  for (std::size_t i = 0; i < k; ++i) set[i] = i;
  while (true) {
    out.push_back(set);
    std::size_t i = k;  // the last position that can still advance
    while (i > 0 && set[i - 1] == n - k + (i - 1)) --i;
    if (i == 0) return out;
    ++set[i - 1];
    for (std::size_t j = i; j < k; ++j) set[j] = set[j - 1] + 1;
  }
}

// A uniformly random k-subset of 0..n-1, ascending: the first k places of a partial
// Fisher-Yates shuffle.
std::vector<std::size_t> random_subset(std::size_t n, std::size_t k, linalg::Xoshiro256pp& g) {
  std::vector<std::size_t> pool(n);
  for (std::size_t i = 0; i < n; ++i) pool[i] = i;
  for (std::size_t i = 0; i < k; ++i) std::swap(pool[i], pool[i + g.gen_range(n - i)]);
  pool.resize(k);
  std::sort(pool.begin(), pool.end());
  return pool;
}

}  // namespace

PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method) {
  return fit_with_placebo(panel, method).placebo;
}

PlaceboResult sc_placebo_method(const Panel& panel, const sc::Method& method, ScFit real) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  return summarise(method, real, refit_pairs(panel, method, t0, donors, nullptr));
}

FitWithPlacebo fit_with_placebo(const Panel& panel, const sc::Method& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  std::optional<ScFit> real;
  const auto pairs = refit_pairs(panel, method, t0, donors, &real);
  PlaceboResult placebo = summarise(method, *real, pairs);
  return {std::move(*real), std::move(placebo)};
}

FitInference placebo_inference(const PlaceboResult& placebo, double level) {
  FitInference out;
  if (placebo.placebo_stats.empty()) return out;
  out.p_value = placebo.p_value;
  out.distribution = placebo.placebo_stats;
  const PercentileCi ci = percentile_ci(placebo.placebo_atts, 0.0, level);
  out.se = ci.se;
  out.ci_lower = placebo.att + ci.lower;
  out.ci_upper = placebo.att + ci.upper;
  out.placebo_atts = placebo.placebo_atts;
  return out;
}

InferredFit fit_with_placebo_inference(const Panel& panel, const sc::Method& method, double level) {
  FitWithPlacebo both = fit_with_placebo(panel, method);
  FitInference inference = placebo_inference(both.placebo, level);
  return {std::move(both.fit), std::move(inference)};
}

std::vector<PlaceboPath> placebo_paths(const Panel& panel, const sc::Method& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  return refit_paths(panel, method, t0, donors, nullptr);
}

FitWithPlaceboPaths fit_with_placebo_paths(const Panel& panel, const sc::Method& method) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  std::optional<ScFit> real;
  std::vector<PlaceboPath> placebo = refit_paths(panel, method, t0, donors, &real);
  return {std::move(*real), std::move(placebo)};
}

}  // namespace tessarix::inference

namespace tessarix::inference {

PlaceboSets placebo_sets(std::size_t n_donors, std::size_t set_size, std::size_t max_sets, std::uint64_t seed) {
  PlaceboSets out;
  if (set_size == 0 || set_size >= n_donors) return out;
  if (binomial_capped(n_donors, set_size, max_sets) <= max_sets) {
    out.sets = all_subsets(n_donors, set_size);
    return out;
  }
  out.exhaustive = false;
  out.sets.reserve(max_sets);
  for (std::size_t r = 0; r < max_sets; ++r) {
    linalg::Xoshiro256pp g = linalg::Xoshiro256pp::substream(seed, r);
    out.sets.push_back(random_subset(n_donors, set_size, g));
  }
  return out;
}

namespace {

// The set test from the real fit and the refits in set order.
SetPlaceboTest summarise_sets(const sc::Method& method, ScFit real, std::vector<std::optional<SetPlacebo>> refits,
                              bool exhaustive, double level) {
  SetPlaceboTest out;
  out.stat = method.statistic(real);
  out.fit = std::move(real);
  out.exhaustive = exhaustive;
  std::vector<double> atts;
  std::size_t at_least = 0;
  for (auto& refit : refits) {
    if (!refit) continue;
    at_least += refit->stat >= out.stat ? 1 : 0;
    atts.push_back(refit->att);
    out.placebos.push_back(std::move(*refit));
  }
  out.p_value = static_cast<double>(at_least + 1) / static_cast<double>(atts.size() + 1);
  out.se = sample_sd(atts);
  out.interval = rank_interval(atts, out.fit.att, level);
  return out;
}

}  // namespace

SetPlaceboTest fit_with_set_placebo(const Panel& panel, const sc::Method& method, std::size_t max_sets,
                                    std::uint64_t seed, double level) {
  const std::size_t t0 = single_cohort(panel);
  const std::vector<std::size_t> donors = panel.never_treated_units();
  PlaceboSets sets = placebo_sets(donors.size(), panel.treated_units().size(), max_sets, seed);
  std::optional<ScFit> real;
  std::vector<std::optional<SetPlacebo>> refits = map_refits(
      panel, method, t0, donors, sets.sets, &real, std::optional<SetPlacebo>{},
      [&](const std::vector<std::size_t>& set, ScFit fit) -> std::optional<SetPlacebo> {
        const double stat = method.statistic(fit);
        if (std::isnan(stat) || std::isnan(fit.att)) return std::nullopt;
        std::vector<std::size_t> units(set.size());
        for (std::size_t i = 0; i < set.size(); ++i) units[i] = donors[set[i]];
        const double att = fit.att;
        return SetPlacebo{std::move(units), stat, att, full_gap(fit)};
      });
  return summarise_sets(method, std::move(*real), std::move(refits), sets.exhaustive, level);
}

}  // namespace tessarix::inference
