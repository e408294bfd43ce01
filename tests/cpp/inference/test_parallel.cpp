#include <gtest/gtest.h>

#include "inference/parallel.hpp"

namespace tessarix::inference {
namespace {

TEST(ParallelMap, OrderPreservingResults) {
  const std::vector<double> out = par_map(100, [](std::size_t i) { return double(i) * 0.5; });
  ASSERT_EQ(out.size(), 100u);
  for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(out[i], double(i) * 0.5);
  EXPECT_TRUE(par_map(0, [](std::size_t) { return 1.0; }).empty());
}

}  // namespace
}  // namespace tessarix::inference
