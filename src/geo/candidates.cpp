// Candidate treated-market sets for the market search, and their ranking. Small spaces are
// enumerated (the include set, its single-market extensions); larger ones are sampled from one
// seeded stream by shuffling the pool. Sampling stops early once every reachable set has been
// found, which changes nothing but the time spent: no further draw could add a set.
#include <algorithm>
#include <numeric>
#include <compare>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_set>
#include <utility>

#include "geo/selection.hpp"
#include "linalg/rng.hpp"

namespace tessarix::geo {
namespace {

using Set = std::vector<std::size_t>;

// Sampling attempts per requested candidate before giving up: with a fixed size (every draw
// of the right size, so duplicates are the only waste) and with a size drawn per attempt.
constexpr std::uint64_t kExactSizeAttemptsPerCandidate = 40;
constexpr std::uint64_t kMixedSizeAttemptsPerCandidate = 20;

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? kSaturated : out;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? kSaturated : out;
}

// C(n, k), saturated at the largest u64. Each step multiplies C(n - k + i - 1, i - 1) by
// n - k + i and divides exactly by i; the partial values never decrease, so once one
// saturates the result does too.
std::uint64_t binomial(std::uint64_t n, std::uint64_t k) {
  if (k > n) return 0;
  k = std::min(k, n - k);
  __extension__ using u128 = unsigned __int128;
  u128 c = 1;
  for (std::uint64_t i = 1; i <= k; ++i) {
    c = c * (n - k + i) / i;
    if (c > kSaturated) return kSaturated;
  }
  return static_cast<std::uint64_t>(c);
}

// Number of subsets of an n-set with between lo and hi members, saturated.
std::uint64_t subsets_sized(std::uint64_t n, std::uint64_t lo, std::uint64_t hi) {
  std::uint64_t total = 0;
  for (std::uint64_t s = lo; s <= std::min(hi, n) && total != kSaturated; ++s) {
    total = saturating_add(total, binomial(n, s));
  }
  return total;
}

struct SetHash {
  std::size_t operator()(const Set& s) const noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ s.size();
    for (std::size_t v : s) h = linalg::Xoshiro256pp::mix(h ^ v);
    return static_cast<std::size_t>(h);
  }
};

std::vector<std::size_t> sorted_unique(std::vector<std::size_t> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

// The candidate list under construction: generation order plus a lookup of the sets seen.
class Candidates {
public:
  Candidates(std::vector<std::size_t> include, std::vector<std::size_t> pool)
      : include_(std::move(include)), pool_(std::move(pool)) {}

  const Set& include() const { return include_; }
  const Set& pool() const { return pool_; }
  std::size_t size() const { return list_.size(); }

  // Adds `set` (ascending) unless it was seen before.
  void add(Set set) {
    if (seen_.insert(set).second) list_.push_back(std::move(set));
  }

  // The include set with one more pool market.
  Set with(std::size_t market) const {
    Set s = include_;
    s.insert(std::upper_bound(s.begin(), s.end(), market), market);
    return s;
  }

  // The include set plus the first min(k, P) markets of a freshly shuffled pool (Fisher-Yates
  // from the end, P - 1 draws), ascending.
  Set sample(linalg::Xoshiro256pp& rng, std::size_t k) const {
    Set shuffled = pool_;
    for (std::size_t m = shuffled.size(); m >= 2; --m) {
      const auto j = static_cast<std::size_t>(rng.gen_range(m));
      std::swap(shuffled[m - 1], shuffled[j]);
    }
    Set s = include_;
    s.insert(s.end(), shuffled.begin(), shuffled.begin() + static_cast<std::ptrdiff_t>(std::min(k, shuffled.size())));
    std::sort(s.begin(), s.end());
    return s;
  }

  std::vector<Set> take() && { return std::move(list_); }

private:
  Set include_;
  Set pool_;
  std::vector<Set> list_;
  std::unordered_set<Set, SetHash> seen_;
};

// Every candidate has exactly `size` markets: the include set plus `size - I` pool markets.
void generate_exact(Candidates& c, std::size_t size, std::uint64_t n_candidates, std::uint64_t seed) {
  const std::size_t n_include = c.include().size();
  if (size < n_include) return;
  const std::size_t k = size - n_include;
  if (k == 0) {
    c.add(c.include());
    return;
  }
  if (k == 1) {
    for (std::size_t p : c.pool()) c.add(c.with(p));
    return;
  }
  // A draw adds a set only when the pool holds k markets, and there are C(P, k) such sets.
  const std::uint64_t reachable = binomial(c.pool().size(), k);
  const std::uint64_t attempts = saturating_mul(kExactSizeAttemptsPerCandidate, n_candidates);
  linalg::Xoshiro256pp rng(seed);
  for (std::uint64_t a = 0; a < attempts && c.size() < n_candidates && c.size() < reachable; ++a) {
    Set s = c.sample(rng, k);
    if (s.size() == size) c.add(std::move(s));
  }
}

// Candidates of up to max_treated markets: the include set, its single-market extensions, then
// sampled sets with 2..E pool markets (E = max_treated - I).
void generate_mixed(Candidates& c, std::size_t max_treated, std::uint64_t n_candidates,
                    std::uint64_t seed) {
  const std::size_t n_include = c.include().size();
  const std::size_t extra = n_include < max_treated ? max_treated - n_include : 0;
  if (n_include > 0) c.add(c.include());
  if (n_include < max_treated) {
    for (std::size_t p : c.pool()) c.add(c.with(p));
  }
  const std::size_t pool_size = c.pool().size();
  if (extra <= 1 || pool_size <= 1 || c.size() >= n_candidates) return;
  // Sampled sets hold at least two pool markets, so they never repeat an enumerated one; a
  // draw of more markets than the pool holds takes the whole pool.
  const std::size_t enumerated = c.size();
  const std::uint64_t reachable = subsets_sized(pool_size, 2, extra);
  const std::uint64_t attempts = saturating_mul(kMixedSizeAttemptsPerCandidate, n_candidates);
  linalg::Xoshiro256pp rng(seed);
  for (std::uint64_t a = 0; a < attempts && c.size() < n_candidates && c.size() - enumerated < reachable; ++a) {
    const std::size_t k = static_cast<std::size_t>(rng.gen_range(extra - 1)) + 2;
    c.add(c.sample(rng, k));
  }
}

// Score order: higher first by the total order on numbers, every NaN after every number.
bool ranks_before(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return std::strong_order(a, b) == std::strong_ordering::greater;
}

}  // namespace

std::vector<std::vector<std::size_t>> generate_candidates(const SelectionConfig& config) {
  std::vector<std::size_t> include = sorted_unique(config.include);
  std::vector<std::size_t> pool = sorted_unique(config.eligible);
  std::erase_if(pool, [&](std::size_t m) { return std::binary_search(include.begin(), include.end(), m); });
  Candidates c(std::move(include), std::move(pool));
  if (config.exact_size) {
    generate_exact(c, std::max<std::size_t>(*config.exact_size, 1), config.n_candidates, config.seed);
  } else {
    generate_mixed(c, config.max_treated, config.n_candidates, config.seed);
  }
  return std::move(c).take();
}

std::vector<std::size_t> rank_order(std::span<const double> scores) {
  std::vector<std::size_t> order(scores.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return ranks_before(scores[a], scores[b]); });
  return order;
}

void rank_candidates(std::vector<MarketCandidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const MarketCandidate& a, const MarketCandidate& b) { return ranks_before(a.score, b.score); });
}

}  // namespace tessarix::geo
