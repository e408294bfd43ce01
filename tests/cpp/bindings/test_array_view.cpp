#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "bindings/array_view.hpp"

namespace tessarix::bindings {
namespace {

constexpr std::ptrdiff_t kD = sizeof(double);

// Storage holding a 3 x 4 array whose element (i, j) = 10 i + j, laid out four ways.
struct Layouts {
  std::vector<double> c_order, f_order, padded;
  Layouts() : c_order(12), f_order(12), padded(3 * 9) {
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 4; ++j) {
        const double v = 10.0 * double(i) + double(j);
        c_order[i * 4 + j] = v;
        f_order[j * 3 + i] = v;
        padded[i * 9 + 2 * j] = v;  // every other column of a wider row-major buffer
      }
  }
};

void expect_values(const Mat& m) {
  ASSERT_EQ(m.rows(), 3u);
  ASSERT_EQ(m.cols(), 4u);
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(m(i, j), 10.0 * double(i) + double(j));
}

TEST(MatFromNumpy, AnyLayoutGivesTheSameMatrix) {
  const Layouts l;
  const auto base = [](const std::vector<double>& v) { return reinterpret_cast<const char*>(v.data()); };
  expect_values(mat_from_numpy({base(l.c_order), {3, 4}, {4 * kD, kD}}));
  expect_values(mat_from_numpy({base(l.f_order), {3, 4}, {kD, 3 * kD}}));
  expect_values(mat_from_numpy({base(l.padded), {3, 4}, {9 * kD, 2 * kD}}));

  // Negative strides: the same values read back to front ([::-1, ::-1] of the reversed array).
  std::vector<double> rev(l.c_order.rbegin(), l.c_order.rend());
  expect_values(mat_from_numpy({base(rev) + 11 * kD, {3, 4}, {-4 * kD, -kD}}));

  // An unaligned buffer is read byte-wise, never through a misaligned double pointer.
  std::vector<char> raw(12 * sizeof(double) + 1);
  std::memcpy(raw.data() + 1, l.c_order.data(), 12 * sizeof(double));
  expect_values(mat_from_numpy({raw.data() + 1, {3, 4}, {4 * kD, kD}}));

  EXPECT_TRUE(mat_from_numpy({nullptr, {0, 4}, {4 * kD, kD}}).empty());
}

TEST(AllFinite, ContiguousAndStridedScans) {
  Layouts l;
  const auto base = [](const std::vector<double>& v) { return reinterpret_cast<const char*>(v.data()); };
  EXPECT_TRUE(all_finite({base(l.padded), {3, 4}, {9 * kD, 2 * kD}}));
  // A NaN in the padding between selected columns is not part of the view.
  l.padded[1] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(all_finite({base(l.padded), {3, 4}, {9 * kD, 2 * kD}}));
  l.padded[9 * 2 + 6] = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(all_finite({base(l.padded), {3, 4}, {9 * kD, 2 * kD}}));
  l.f_order[11] = -std::numeric_limits<double>::infinity();
  EXPECT_FALSE(all_finite({base(l.f_order), {3, 4}, {kD, 3 * kD}}));
  EXPECT_TRUE(all_finite({base(l.c_order), {3, 4}, {4 * kD, kD}}));
}

}  // namespace
}  // namespace tessarix::bindings
