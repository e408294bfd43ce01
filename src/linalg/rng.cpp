#include "linalg/rng.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "linalg/error.hpp"

namespace tessarix::linalg {
namespace {

constexpr std::uint64_t kGamma = 0x9e3779b97f4a7c15ull;
constexpr double kMinPositive = 2.2250738585072014e-308;

}  // namespace

std::uint64_t Xoshiro256pp::mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

Xoshiro256pp::Xoshiro256pp(std::uint64_t seed) {
  for (std::uint64_t k = 0; k < 4; ++k) s_[k] = mix(seed + (k + 1) * kGamma);
  if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) {
    s_[0] = 1;
    s_[1] = 2;
    s_[2] = 3;
    s_[3] = 4;
  }
}

Xoshiro256pp Xoshiro256pp::substream(std::uint64_t seed, std::uint64_t stream) {
  return Xoshiro256pp(mix((seed ^ (stream * 0xd1b54a32d192ed03ull)) + kGamma));
}

std::uint64_t Xoshiro256pp::gen_range(std::uint64_t n) {
  if (n == 0) invariant_failure("gen_range(0): empty range");
  __extension__ using u128 = unsigned __int128;
  u128 product = static_cast<u128>(next_u64()) * n;
  auto lo = static_cast<std::uint64_t>(product);
  if (lo < n) {
    const std::uint64_t threshold = (0 - n) % n;
    while (lo < threshold) {
      product = static_cast<u128>(next_u64()) * n;
      lo = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

double Xoshiro256pp::normal() {
  const double u1 = next_f64();
  const double u2 = next_f64();
  return std::sqrt(-2.0 * std::log(std::max(u1, kMinPositive))) *
         std::cos(2.0 * std::numbers::pi * u2);
}

double Xoshiro256pp::mammen() {
  const double u = next_f64();
  return u < 0.723606797749979 ? (1.0 - std::sqrt(5.0)) / 2.0 : (1.0 + std::sqrt(5.0)) / 2.0;
}

}  // namespace tessarix::linalg
