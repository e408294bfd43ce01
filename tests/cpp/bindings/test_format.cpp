#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "bindings/format.hpp"

namespace tessarix::bindings {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Format, ShortestPlainPositional) {
  EXPECT_EQ(fmt_real(1.0), "1");
  EXPECT_EQ(fmt_real(0.5), "0.5");
  EXPECT_EQ(fmt_real(-0.1), "-0.1");
  EXPECT_EQ(fmt_real(1e-7), "0.0000001");
  EXPECT_EQ(fmt_real(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(fmt_real(1e21), "1000000000000000000000");
  EXPECT_EQ(fmt_real(3.0), "3");
  EXPECT_EQ(fmt_real(-0.0), "-0");
  EXPECT_EQ(fmt_real(kNaN), "NaN");
  EXPECT_EQ(fmt_real(-kNaN), "NaN");
  EXPECT_EQ(fmt_real(kInf), "inf");
  EXPECT_EQ(fmt_real(-kInf), "-inf");
  // Round trip on awkward values.
  for (double x : {1.0 / 3.0, 5e-324, 1.7976931348623157e308, 123456.789e-12}) {
    const std::string text = fmt_real(x);
    double back = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(back, x) << text;
  }
}

TEST(Format, FixedDigits) {
  EXPECT_EQ(fmt_fixed(1.5, 6), "1.500000");
  EXPECT_EQ(fmt_fixed(1.5, 4), "1.5000");
  EXPECT_EQ(fmt_fixed(1.0 / 3.0, 4), "0.3333");
  EXPECT_EQ(fmt_fixed(0.125 * 100, 1), "12.5");
  EXPECT_EQ(fmt_fixed(99.6, 0), "100");
  EXPECT_EQ(fmt_fixed(kNaN, 4), "NaN");
  EXPECT_EQ(fmt_fixed(-kInf, 6), "-inf");
}

TEST(Format, DebugAlwaysShowsAPointOrExponent) {
  EXPECT_EQ(fmt_debug(2.0), "2.0");
  EXPECT_EQ(fmt_debug(0.125), "0.125");
  EXPECT_EQ(fmt_debug(1e-4), "0.0001");
  EXPECT_EQ(fmt_debug(1e-5), "1e-5");
  EXPECT_EQ(fmt_debug(-2.5e-7), "-2.5e-7");
  EXPECT_EQ(fmt_debug(1e16), "1e16");
  EXPECT_EQ(fmt_debug(1.5e300), "1.5e300");
  EXPECT_EQ(fmt_debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(fmt_debug(0.0), "0.0");
  EXPECT_EQ(fmt_debug(kNaN), "NaN");
}

TEST(Format, SumsOfCountsPastTheTopOfTheirType) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(fmt_sum(0, 0), "0");
  EXPECT_EQ(fmt_sum(2, 1), "3");
  EXPECT_EQ(fmt_sum(kTop, 0), "18446744073709551615");
  EXPECT_EQ(fmt_sum(kTop, 1), "18446744073709551616");
  EXPECT_EQ(fmt_sum(kTop, kTop), "36893488147419103230");
}

}  // namespace
}  // namespace tessarix::bindings
