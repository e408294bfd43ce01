#include <cmath>
#include <numbers>

#include "linalg/rng.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

// Reference xoshiro256++ and SplitMix64 written from the published reference code
// (Blackman & Vigna), kept deliberately naive.
struct Reference {
  std::uint64_t s[4];
  static std::uint64_t splitmix_next(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  explicit Reference(std::uint64_t seed) {
    for (auto& w : s) w = splitmix_next(seed);
  }
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t next() {
    const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
};

TEST(Xoshiro, SeedingMatchesSplitMix64) {
  // Published SplitMix64 outputs for seed 0.
  const Xoshiro256pp g(0);
  EXPECT_EQ(g.state()[0], 0xe220a8397b1dcdafull);
  EXPECT_EQ(g.state()[1], 0x6e789e6aa1b965f4ull);
  EXPECT_EQ(g.state()[2], 0x06c45d188009454full);
  EXPECT_EQ(g.state()[3], 0xf88bb8a8724c81ecull);
}

TEST(Xoshiro, OutputsMatchTheReferenceForSeveralSeeds) {
  for (std::uint64_t seed : {0ull, 1ull, 42ull, 20261208ull, 0xffffffffffffffffull}) {
    Xoshiro256pp g(seed);
    Reference r(seed);
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(g.next_u64(), r.next()) << seed << " " << k;
  }
}

TEST(Xoshiro, SubstreamsAreDerivedFromTheMixedSeed) {
  const std::uint64_t seed = 7;
  for (std::uint64_t stream : {0ull, 1ull, 2ull, 1000ull}) {
    std::uint64_t m = Xoshiro256pp::mix((seed ^ (stream * 0xd1b54a32d192ed03ull)) + 0x9e3779b97f4a7c15ull);
    Xoshiro256pp a = Xoshiro256pp::substream(seed, stream);
    Reference r(m);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(a.next_u64(), r.next());
  }
  Xoshiro256pp s0 = Xoshiro256pp::substream(seed, 0), s1 = Xoshiro256pp::substream(seed, 1);
  Xoshiro256pp direct(seed);
  const std::uint64_t a = s0.next_u64();
  EXPECT_NE(a, s1.next_u64());
  EXPECT_NE(a, direct.next_u64());
  EXPECT_EQ(Xoshiro256pp::substream(seed, 0).next_u64(), a);
}

TEST(Xoshiro, UniformsAndRanges) {
  EXPECT_EQ(Xoshiro256pp::unit_from(~0ull), 1.0 - 0x1.0p-53);
  EXPECT_EQ(Xoshiro256pp::unit_from(0), 0.0);
  Xoshiro256pp g(3), ref(3);
  for (int k = 0; k < 100; ++k) EXPECT_EQ(g.next_f64(), Xoshiro256pp::unit_from(ref.next_u64()));

  // n = 1: always 0, one output consumed per call.
  Xoshiro256pp one(5), one_ref(5);
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(one.gen_range(1), 0u);
    one_ref.next_u64();
  }
  EXPECT_EQ(one.next_u64(), one_ref.next_u64());
  testing::expect_invariant([&] { (void)one.gen_range(0); }, "gen_range(0): empty range");

  // A range just above 2^63 rejects about half of the draws; replay the rule on raw outputs.
  const std::uint64_t n = (1ull << 63) + 1;
  Xoshiro256pp r(11), raw(11);
  int rejected = 0;
  for (int k = 0; k < 200; ++k) {
    __extension__ using u128 = unsigned __int128;
    const std::uint64_t threshold = (0 - n) % n;
    u128 p = static_cast<u128>(raw.next_u64()) * n;
    while (static_cast<std::uint64_t>(p) < threshold) {
      ++rejected;
      p = static_cast<u128>(raw.next_u64()) * n;
    }
    ASSERT_EQ(r.gen_range(n), static_cast<std::uint64_t>(p >> 64));
  }
  EXPECT_GT(rejected, 50);
  // Small ranges are covered evenly.
  Xoshiro256pp d(13);
  std::vector<int> hits(6, 0);
  for (int k = 0; k < 60000; ++k) ++hits[d.gen_range(6)];
  for (int h : hits) EXPECT_NEAR(h, 10000, 400);
}

TEST(Xoshiro, NormalAndMammenDraws) {
  Xoshiro256pp g(17), ref(17);
  for (int k = 0; k < 50; ++k) {
    const double u1 = ref.next_f64();
    const double u2 = ref.next_f64();
    const double expected = std::sqrt(-2.0 * std::log(std::max(u1, 2.2250738585072014e-308))) *
                            std::cos(2.0 * std::numbers::pi * u2);
    EXPECT_EQ(g.normal(), expected);
  }
  Xoshiro256pp m(19), mref(19);
  double sum = 0.0, sq = 0.0;
  const int draws = 200000;
  for (int k = 0; k < draws; ++k) {
    const double u = mref.next_f64();
    const double x = m.mammen();
    EXPECT_EQ(x, u < 0.723606797749979 ? (1.0 - std::sqrt(5.0)) / 2.0 : (1.0 + std::sqrt(5.0)) / 2.0);
    sum += x;
    sq += x * x;
  }
  EXPECT_NEAR(sum / draws, 0.0, 0.01);
  EXPECT_NEAR(sq / draws, 1.0, 0.01);
  Xoshiro256pp n(23);
  sum = sq = 0.0;
  for (int k = 0; k < draws; ++k) {
    const double x = n.normal();
    sum += x;
    sq += x * x;
  }
  EXPECT_NEAR(sum / draws, 0.0, 0.01);
  EXPECT_NEAR(sq / draws, 1.0, 0.01);
}

}  // namespace
}  // namespace tessarix::linalg
