// The IEEE 754 total order on doubles, -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN, as the
// unsigned order of a key: sorts and rankings by it never stop at a NaN and never depend on
// the sorting algorithm, since distinct doubles have distinct keys.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

namespace tessarix::linalg {

// A negative value's bits flipped entirely (larger magnitudes first), a positive value's sign
// bit set (above every negative one).
constexpr std::uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// x ascending by the total order.
inline void sort_total_order(std::span<double> x) {
  std::sort(x.begin(), x.end(), [](double a, double b) { return total_order_key(a) < total_order_key(b); });
}

}  // namespace tessarix::linalg
