// The system's only random generator: xoshiro256++ with SplitMix64 seeding, per-item
// substreams for parallel work, and the primitive draws built on it. Fully specified, so
// every seeded computation is reproducible bit for bit on any machine and thread count.
#pragma once

#include <cstdint>

namespace tessarix::linalg {

class Xoshiro256pp {
public:
  // SplitMix64 expansion of `seed` (state (1, 2, 3, 4) if the four mixed words are all 0).
  explicit Xoshiro256pp(std::uint64_t seed);

  // The generator of work item `stream` under `seed`; independent of seeding from `seed`.
  static Xoshiro256pp substream(std::uint64_t seed, std::uint64_t stream);

  // Next 64-bit output.
  std::uint64_t next_u64() {
    const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, 1) from the top 53 bits of one output.
  double next_f64() { return unit_from(next_u64()); }

  // The uniform that a raw output maps to: (bits >> 11) * 2^-53.
  static double unit_from(std::uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1.0p-53; }

  // Unbiased uniform integer in [0, n) (multiply-shift with rejection); n = 0 is an invariant
  // failure.
  std::uint64_t gen_range(std::uint64_t n);

  // Standard normal draw: Box-Muller cosine branch, two uniforms per draw.
  double normal();

  // Mammen's two-point multiplier (mean 0, variance 1).
  double mammen();

  // The raw state words, for tests.
  const std::uint64_t* state() const { return s_; }

  // The SplitMix64 finaliser.
  static std::uint64_t mix(std::uint64_t z);

private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
};

}  // namespace tessarix::linalg
