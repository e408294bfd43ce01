// The exact active-set solver of simplex-constrained quadratics: it attains the brute-force
// minimum (every free set's KKT point enumerated) on full-rank and on low-rank problems, the
// latter with the treated point outside and inside the donors' hull.
#include <cmath>
#include <vector>

#include "linalg/ops/matmul.hpp"
#include "linalg/opt/simplex.hpp"
#include "linalg/opt/simplex_active.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

// G = A^T A and b = A^T a for a k x j matrix A and a target a = A c + shift (c on the
// simplex: shift 0 puts the target inside the hull of A's columns).
struct Quadratic {
  Mat g;
  std::vector<double> b;
};

Quadratic least_squares(std::size_t k, std::size_t j, std::uint64_t seed, double shift) {
  const Mat a = testing::random_mat(k, j, seed);
  std::vector<double> c(j, 1.0 / static_cast<double>(j)), target = matvec(a, c);
  for (double& t : target) t += shift;
  Quadratic q{syrk_ata(a), std::vector<double>(j)};
  gemv_t(a, target, q.b, 1.0, 0.0);
  return q;
}

TEST(SimplexActiveSet, AttainsTheBruteForceMinimum) {
  struct Case {
    std::size_t k, j;
    double shift;
  };
  for (const Case c : {Case{8, 6, 0.7}, Case{3, 7, 0.9}, Case{3, 7, 0.0}, Case{2, 8, 0.0}, Case{4, 8, -1.5}}) {
    for (std::uint64_t seed = 1; seed <= 5; ++seed) {
      SCOPED_TRACE(::testing::Message() << "k=" << c.k << " j=" << c.j << " shift=" << c.shift << " seed=" << seed);
      const Quadratic q = least_squares(c.k, c.j, seed, c.shift);
      const auto w = solve_simplex_active_set(q.g, q.b);
      ASSERT_TRUE(w.has_value());
      double sum = 0.0;
      for (double v : *w) {
        EXPECT_GE(v, 0.0);
        sum += v;
      }
      EXPECT_NEAR(sum, 1.0, 1e-14);
      const std::vector<double> best = testing::brute_force_qp(q.g, q.b, 0.0, 0.0, 1.0);
      const double f = objective(q.g, q.b, *w, 0.0), f_best = objective(q.g, q.b, best, 0.0);
      EXPECT_NEAR(f, f_best, 1e-12 * (1.0 + std::fabs(f_best)));
      // A full-rank quadratic has one minimiser.
      if (c.k >= c.j) {
        for (std::size_t i = 0; i < best.size(); ++i) EXPECT_NEAR((*w)[i], best[i], 1e-10);
      }
    }
  }
}

}  // namespace
}  // namespace tessarix::linalg
