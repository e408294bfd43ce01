#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "linalg/factor/cholesky.hpp"
#include "linalg/opt/l1_path.hpp"
#include "linalg/opt/linprog.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::random_mat;

// Solves the square system B x = b by Gaussian elimination with partial pivoting; none when
// B is (numerically) singular.
std::optional<std::vector<double>> solve_square(Mat b, std::vector<double> rhs) {
  const std::size_t n = b.rows();
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t p = c;
    for (std::size_t i = c + 1; i < n; ++i) {
      if (std::fabs(b(i, c)) > std::fabs(b(p, c))) p = i;
    }
    if (std::fabs(b(p, c)) < 1e-10) return std::nullopt;
    for (std::size_t j = 0; j < n; ++j) std::swap(b(c, j), b(p, j));
    std::swap(rhs[c], rhs[p]);
    for (std::size_t i = c + 1; i < n; ++i) {
      const double f = b(i, c) / b(c, c);
      for (std::size_t j = c; j < n; ++j) b(i, j) -= f * b(c, j);
      rhs[i] -= f * rhs[c];
    }
  }
  std::vector<double> x(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = rhs[i];
    for (std::size_t j = i + 1; j < n; ++j) s -= b(i, j) * x[j];
    x[i] = s / b(i, i);
  }
  return x;
}

// The optimum of min c'x over {x >= 0 : A x = b} by enumerating every basis (A of full row
// rank): none when no basis is feasible. The feasible set must be bounded.
std::optional<double> brute_force(const Mat& a, const std::vector<double>& b, const std::vector<double>& c) {
  const std::size_t m = a.rows(), n = a.cols();
  std::optional<double> best;
  std::vector<std::size_t> pick(m);
  for (std::size_t i = 0; i < m; ++i) pick[i] = i;
  while (true) {
    Mat basis(m, m);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t k = 0; k < m; ++k) basis(i, k) = a(i, pick[k]);
    }
    if (auto x = solve_square(basis, b)) {
      bool feasible = true;
      double value = 0.0;
      for (std::size_t k = 0; k < m; ++k) {
        feasible = feasible && (*x)[k] >= -1e-10;
        value += c[pick[k]] * (*x)[k];
      }
      if (feasible && (!best || value < *best)) best = value;
    }
    // Next m-subset of 0..n-1 in lexicographic order.
    std::size_t i = m;
    while (i-- > 0 && pick[i] == n - m + i) {}
    if (i == static_cast<std::size_t>(-1)) break;
    ++pick[i];
    for (std::size_t k = i + 1; k < m; ++k) pick[k] = pick[k - 1] + 1;
  }
  return best;
}

// Random bounded standard-form problems: one row sums x to a positive total, the others are
// random, so some are infeasible and the rest have a vertex optimum.
struct RandomLp {
  Mat a;
  std::vector<double> b, c;
};

RandomLp random_lp(std::size_t m, std::size_t n, std::uint64_t seed) {
  RandomLp p{random_mat(m, n, seed), {}, {}};
  const Mat rhs = random_mat(m + n, 1, seed + 77);
  for (std::size_t j = 0; j < n; ++j) p.a(0, j) = 1.0;
  p.b.assign(m, 0.0);
  p.b[0] = 1.0 + std::fabs(rhs(0, 0));
  for (std::size_t i = 1; i < m; ++i) p.b[i] = 0.5 * rhs(i, 0);
  for (std::size_t j = 0; j < n; ++j) p.c.push_back(rhs(m + j, 0));
  return p;
}

TEST(Linprog, StandardFormMatchesVertexEnumeration) {
  std::size_t feasible = 0, infeasible = 0;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    const std::size_t m = 1 + seed % 4, n = m + 1 + seed % 5;
    const RandomLp p = random_lp(m, n, seed);
    const std::optional<double> want = brute_force(p.a, p.b, p.c);
    const LpSolution got = solve_standard_lp(p.a, p.b, p.c);
    if (!want) {
      EXPECT_EQ(got.status, LpStatus::infeasible) << "seed " << seed;
      ++infeasible;
      continue;
    }
    ++feasible;
    ASSERT_EQ(got.status, LpStatus::optimal) << "seed " << seed;
    EXPECT_NEAR(got.value, *want, 1e-10 * (1.0 + std::fabs(*want))) << "seed " << seed;
    // The returned point is feasible and attains the value.
    for (std::size_t i = 0; i < m; ++i) {
      double row = 0.0;
      for (std::size_t j = 0; j < n; ++j) row += p.a(i, j) * got.x[j];
      EXPECT_NEAR(row, p.b[i], 1e-10) << "seed " << seed;
    }
    for (double v : got.x) EXPECT_GE(v, 0.0);
  }
  EXPECT_GT(feasible, 100u);
  EXPECT_GT(infeasible, 10u);
}

TEST(Linprog, WarmStartedObjectivesMatchFreshSolves) {
  const RandomLp p = random_lp(3, 9, 11);
  StandardFormLp lp(p.a, p.b);
  ASSERT_TRUE(lp.feasible());
  for (std::uint64_t k = 0; k < 50; ++k) {
    const Mat c = random_mat(9, 1, 1000 + k);
    const std::vector<double> cv(c.data().begin(), c.data().end());
    const LpSolution warm = lp.minimize(cv);
    const std::optional<double> want = brute_force(p.a, p.b, cv);
    ASSERT_EQ(warm.status, LpStatus::optimal);
    EXPECT_NEAR(warm.value, *want, 1e-10);
  }
}

TEST(Linprog, RedundantRowsAndDegenerateVerticesAreHandled) {
  // The second row repeats the first; many ties at the vertex (b has zeros).
  Mat a(3, 5);
  const double rows[3][5] = {{1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, -1, 0, 0, 0}};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 5; ++j) a(i, j) = rows[i][j];
  }
  const std::vector<double> b = {1.0, 1.0, 0.0}, c = {-1.0, -1.0, -1.0, -1.0, 0.5};
  const LpSolution s = solve_standard_lp(a, b, c);
  ASSERT_EQ(s.status, LpStatus::optimal);
  EXPECT_NEAR(s.value, -1.0, 1e-12);
}

TEST(Linprog, GeneralFormMatchesItsDual) {
  // The minimax program min eta s.t. y - X delta <= eta sd (eta, delta free) against its dual
  // max y'g s.t. g >= 0, sd'g = 1, X'g = 0: strong duality makes the optima equal.
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const std::size_t m = 4 + seed % 5, k = 1 + seed % 3;
    const Mat x = random_mat(m, k, seed), y = random_mat(m, 1, seed + 500), sdm = random_mat(m, 1, seed + 900);
    Mat a_ub(m, k + 1), w(k + 1, m);
    std::vector<double> b_ub(m), sd(m), cost(k + 1, 0.0), dual_cost(m);
    cost[0] = 1.0;
    for (std::size_t i = 0; i < m; ++i) {
      sd[i] = 0.5 + std::fabs(sdm(i, 0));
      a_ub(i, 0) = -sd[i];
      w(0, i) = sd[i];
      for (std::size_t j = 0; j < k; ++j) {
        // Paired rows (x, -x) keep the primal bounded, as the moment inequalities' rows are.
        const double v = i % 2 == 0 ? x(i, j) : -x(i - 1, j);
        a_ub(i, j + 1) = -v;
        w(j + 1, i) = v;
      }
      b_ub[i] = -y(i, 0);
      dual_cost[i] = -y(i, 0);
    }
    const std::vector<double> b_eq;
    const LpSolution primal = solve_lp(cost, a_ub, b_ub, Mat(0, k + 1), b_eq, std::vector<bool>(k + 1, false));
    std::vector<double> e1(k + 1, 0.0);
    e1[0] = 1.0;
    const LpSolution dual = solve_standard_lp(w, e1, dual_cost);
    ASSERT_EQ(primal.status, LpStatus::optimal) << "seed " << seed;
    ASSERT_EQ(dual.status, LpStatus::optimal) << "seed " << seed;
    EXPECT_NEAR(primal.value, -dual.value, 1e-10) << "seed " << seed;
  }
}

// KKT of min 1/2 g'Qg + r'g + lambda |g|_1: (Qg + r)_j = -lambda sign(g_j) where g_j != 0 and
// |(Qg + r)_j| <= lambda elsewhere.
void expect_lasso_kkt(const Mat& q, const std::vector<double>& r, const std::vector<double>& g, double lambda) {
  for (std::size_t j = 0; j < r.size(); ++j) {
    double grad = r[j];
    for (std::size_t i = 0; i < r.size(); ++i) grad += q(j, i) * g[i];
    if (g[j] != 0.0) {
      EXPECT_NEAR(grad, -lambda * (g[j] > 0 ? 1.0 : -1.0), 1e-9) << "coordinate " << j;
    } else {
      EXPECT_LE(std::fabs(grad), lambda + 1e-9) << "coordinate " << j;
    }
  }
}

TEST(L1Path, EveryPointOfThePathSatisfiesTheOptimalityConditions) {
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const std::size_t n = 1 + seed % 7;
    const Mat f = random_mat(n + 3, n, seed), rr = random_mat(n, 1, seed + 40);
    Mat q(n, n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k < n + 3; ++k) q(i, j) += f(k, i) * f(k, j);
      }
    }
    const std::vector<double> r(rr.data().begin(), rr.data().end());
    const L1Path path = l1_path(q, r);
    ASSERT_EQ(path.lambdas.back(), 0.0);
    for (std::size_t k = 0; k < path.lambdas.size(); ++k) expect_lasso_kkt(q, r, path.points[k], path.lambdas[k]);
    // Between knots too, and the unpenalised end solves Q g = -r.
    for (double share : {0.13, 0.5, 0.91}) {
      const double lambda = share * path.lambdas.front();
      expect_lasso_kkt(q, r, l1_path_at(path, lambda), lambda);
    }
    const auto chol = Cholesky::make(q);
    ASSERT_TRUE(chol.has_value());
    std::vector<double> minus_r(n);
    for (std::size_t i = 0; i < n; ++i) minus_r[i] = -r[i];
    const std::vector<double> g0 = chol->solve_vec(minus_r);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(path.points.back()[i], g0[i], 1e-9);
  }
}

}  // namespace
}  // namespace tessarix::linalg
