#include <cmath>
#include <limits>

#include "linalg/ops/matmul.hpp"
#include "linalg/opt/simplex.hpp"
#include "testing.hpp"

namespace tessarix::linalg {
namespace {

using testing::random_mat;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Problem {
  Mat x0;
  std::vector<double> x1;
  Mat g;
  std::vector<double> b;
};

Problem random_problem(std::size_t t0, std::size_t j, std::uint64_t seed) {
  Problem p{random_mat(t0, j, seed), {}, {}, {}};
  const Mat x1 = random_mat(t0, 1, seed + 1000);
  p.x1.assign(x1.data().begin(), x1.data().end());
  p.g = syrk_ata(p.x0);
  p.b.resize(j);
  gemv_t(p.x0, p.x1, p.b, 1.0, 0.0);
  return p;
}

// Feasibility and the first-order optimality (KKT) gap measured by the bounded LMO.
void expect_optimal(const Problem& p, const std::vector<double>& w, double lambda, double lo,
                    double hi, double tol) {
  const std::size_t j = w.size();
  const double u = 1.0 / double(j);
  const double lo_e = std::fmin(std::fmax(lo, 0.0), u), hi_e = std::fmin(std::fmax(hi, u), 1.0);
  double total = 0.0;
  for (double v : w) {
    EXPECT_GE(v, lo_e - 1e-12);
    EXPECT_LE(v, hi_e + 1e-12);
    EXPECT_GE(v, 0.0);
    total += v;
  }
  EXPECT_NEAR(total, 1.0, 1e-12);
  const std::vector<double> g = grad(p.g, p.b, w, lambda);
  const std::vector<double> s = lmo_bounded(g, lo_e, hi_e);
  double gap = 0.0;
  for (std::size_t i = 0; i < j; ++i) gap += g[i] * (w[i] - s[i]);
  EXPECT_LE(gap, tol);
}

TEST(Simplex, FrankWolfeMatchesTheBruteForceOptimum) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    const Problem p = random_problem(9, 5, seed);
    for (double lambda : {0.0, 0.3}) {
      const SimplexSolution sol = solve_fw(p.g, p.b, 20000, lambda, 1e-12);
      const std::vector<double> ref = testing::brute_force_qp(p.g, p.b, lambda, 0.0, 1.0);
      for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(sol.weights[i], ref[i], 1e-5) << seed;
      EXPECT_LE(objective(p.g, p.b, sol.weights, lambda), objective(p.g, p.b, ref, lambda) + 1e-10);
      expect_optimal(p, sol.weights, lambda, 0.0, 1.0, 1e-9);
    }
  }
}

// Away-step Frank-Wolfe written the plain way: the gradient and every line-search product
// recomputed from G at each step. The solver keeps them current by rank-one updates instead.
std::vector<double> plain_frank_wolfe(const Mat& g, const std::vector<double>& b, std::size_t steps) {
  const std::size_t j = b.size();
  std::vector<double> w(j, 1.0 / double(j));
  for (std::size_t it = 0; it < steps; ++it) {
    const std::vector<double> gr = grad(g, b, w, 0.0);
    std::size_t s = 0, a = j;
    for (std::size_t i = 0; i < j; ++i) {
      if (gr[i] < gr[s]) s = i;
      if (w[i] > 1e-14 && (a == j || gr[i] > gr[a])) a = i;
    }
    double gtw = 0.0;
    for (std::size_t i = 0; i < j; ++i) gtw += gr[i] * w[i];
    const bool away = a < j && gr[a] - gtw > gtw - gr[s];
    std::vector<double> d(j);
    for (std::size_t i = 0; i < j; ++i) d[i] = away ? w[i] - (i == a) : (i == s) - w[i];
    const std::vector<double> gd = matvec(g, d);
    double slope = 0.0, curv = 0.0;
    for (std::size_t i = 0; i < j; ++i) slope += gr[i] * d[i], curv += d[i] * gd[i];
    const double cap = away ? (w[a] >= 1.0 ? kInf : w[a] / (1.0 - w[a])) : 1.0;
    const double gamma = curv <= 0.0 ? (slope < 0.0 ? std::fmin(cap, 1.0) : 0.0)
                                     : std::fmin(std::fmax(-slope / curv, 0.0), cap);
    for (std::size_t i = 0; i < j; ++i) w[i] = std::fmax(w[i] + gamma * d[i], 0.0);
  }
  return w;
}

TEST(Simplex, FrankWolfeStepsFollowThePlainRecomputation) {
  // Iterates after 1 to 200 steps (across refreshes) agree with the plain method: the rank-one updates of G w and
  // of the scalars between exact refreshes neither drift nor take a different step.
  for (std::uint64_t seed = 61; seed <= 64; ++seed) {
    const Problem p = random_problem(7, 25, seed);
    for (std::size_t steps : {1u, 2u, 11u, 63u, 64u, 65u, 200u}) {
      SCOPED_TRACE(::testing::Message() << "seed " << seed << ", " << steps << " steps");
      const std::vector<double> ref = plain_frank_wolfe(p.g, p.b, steps);
      const SimplexSolution sol = solve_fw(p.g, p.b, steps, 0.0, -1.0);
      ASSERT_EQ(sol.iters, steps);
      for (std::size_t i = 0; i < ref.size(); ++i) EXPECT_NEAR(sol.weights[i], ref[i], 1e-12);
    }
  }
}

TEST(Simplex, FrankWolfeTakesItsKnownPath) {
  // G = I: f(w) = 1/2 ||w - b||^2 + const from the barycentre of three vertices. With b = e_0
  // the Frank-Wolfe gap (2/3) beats the away gap (1/3) and the exact line search goes all the
  // way (gamma = 1) to the vertex; with b = (1, 1, 0) the away step from vertex 2 is capped at
  // gamma = 1/2, a drop step that lands on the optimum (1/2, 1/2, 0). Both stop at step 1.
  struct Case {
    std::vector<double> b, optimum;
  };
  for (const Case& c : {Case{{1.0, 0.0, 0.0}, {1.0, 0.0, 0.0}}, Case{{1.0, 1.0, 0.0}, {0.5, 0.5, 0.0}}}) {
    SCOPED_TRACE(::testing::Message() << "b = (" << c.b[0] << ", " << c.b[1] << ", " << c.b[2] << ")");
    const SimplexSolution sol = solve_fw(Mat::identity(3), c.b, 100, 0.0, 1e-12);
    EXPECT_EQ(sol.iters, 1u);
    EXPECT_NEAR(sol.gap, 0.0, 1e-15);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(sol.weights[i], c.optimum[i], 1e-15);
  }
}

TEST(Simplex, BoundedSolverMatchesTheBruteForceOptimum) {
  for (std::uint64_t seed = 11; seed <= 18; ++seed) {
    const Problem p = random_problem(8, 5, seed);
    for (auto [lo, hi] : {std::pair{0.05, 1.0}, {0.0, 0.35}, {0.1, 0.3}}) {
      const SimplexSolution sol = solve_bounded(p.g, p.b, 20000, 0.1, lo, hi, 1e-12);
      const std::vector<double> ref = testing::brute_force_qp(p.g, p.b, 0.1, lo, hi);
      for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(sol.weights[i], ref[i], 1e-6) << seed;
      EXPECT_LE(objective(p.g, p.b, sol.weights, 0.1), objective(p.g, p.b, ref, 0.1) + 1e-12);
      expect_optimal(p, sol.weights, 0.1, lo, hi, 1e-9);
    }
  }
}

TEST(Simplex, LargerProblemsAreFeasibleAndOptimal) {
  for (std::uint64_t seed = 21; seed <= 24; ++seed) {
    const Problem p = random_problem(30, 60, seed);
    const SimplexSolution fw = sc_weights(p.x0, p.x1, 0.0);
    expect_optimal(p, fw.weights, 0.0, 0.0, 1.0, 1e-9);
    const SimplexSolution bd = sc_weights_bounded(p.x0, p.x1, 0.0, 0.005, 0.1);
    expect_optimal(p, bd.weights, 0.0, 0.005, 0.1, 1e-8);
  }
}

TEST(Simplex, ExactDonorMatchAndTies) {
  Problem p = random_problem(12, 4, 31);
  p.x1.assign(p.x0.col(2).begin(), p.x0.col(2).end());
  const SimplexSolution sol = sc_weights(p.x0, p.x1, 0.0);
  EXPECT_NEAR(sol.weights[2], 1.0, 1e-8);
  // Equal gradient entries (-1, -1, 0, 0): the Frank-Wolfe step goes to the lowest index.
  const SimplexSolution tie = solve_fw(Mat(4, 4), std::vector<double>{1.0, 1.0, 0.0, 0.0}, 10, 0.0, 1e-12);
  EXPECT_EQ(tie.weights, (std::vector<double>{1.0, 0.0, 0.0, 0.0}));
}

TEST(Simplex, DegenerateCases) {
  // One donor: weight 1 at iteration 0 with gap 0.
  const SimplexSolution one = solve_fw(Mat::identity(1), std::vector<double>{0.3}, 100, 0.0, 1e-10);
  EXPECT_EQ(one.weights, std::vector<double>{1.0});
  EXPECT_EQ(one.iters, 0u);
  EXPECT_EQ(one.gap, 0.0);
  // No iterations allowed: the uniform start, gap +inf, for both solvers.
  const Problem p = random_problem(6, 4, 41);
  for (const SimplexSolution& s :
       {solve_fw(p.g, p.b, 0, 0.0, 1e-10), solve_bounded(p.g, p.b, 0, 0.0, 0.1, 0.9, 1e-10)}) {
    EXPECT_EQ(s.weights, std::vector<double>(4, 0.25));
    EXPECT_EQ(s.iters, 0u);
    EXPECT_EQ(s.gap, kInf);
  }
  // Infeasible bounds are relaxed to 1/J, which forces the uniform solution.
  for (auto [lo, hi] : {std::pair{0.5, 1.0}, {0.0, 0.1}}) {
    const SimplexSolution s = sc_weights_bounded(p.x0, p.x1, 0.0, lo, hi);
    for (double v : s.weights) EXPECT_NEAR(v, 0.25, 1e-12);
  }
  // Empty problems.
  EXPECT_TRUE(solve_fw(Mat(0, 0), {}, 10, 0.0, 1e-10).weights.empty());
  EXPECT_TRUE(solve_bounded(Mat(0, 0), {}, 10, 0.0, 0.1, 0.5, 1e-10).weights.empty());
  EXPECT_TRUE(sc_weights_bounded(Mat(5, 0), std::vector<double>(5), 0.0, 0.1, 0.5).weights.empty());
}

TEST(Simplex, UnboundedRequestsAreBitIdenticalToThePlainSolver) {
  const Problem p = random_problem(15, 10, 51);
  const SimplexSolution plain = sc_weights(p.x0, p.x1, 0.2);
  for (auto [lo, hi] : {std::pair{0.0, 1.0}, {kNaN, kNaN}, {-0.5, 2.0}}) {
    const SimplexSolution b = sc_weights_bounded(p.x0, p.x1, 0.2, lo, hi);
    EXPECT_EQ(b.weights, plain.weights);
    EXPECT_EQ(b.iters, plain.iters);
  }
  const SimplexSolution direct = solve_bounded(p.g, p.b, 5000, 0.2, 0.0, 1.0, 1e-10);
  EXPECT_EQ(direct.weights, plain.weights);
}

TEST(Projection, BoundedSimplexProjection) {
  EXPECT_TRUE(project_bounded_simplex({}, 0.0, 1.0).empty());
  for (double v : project_bounded_simplex(std::vector<double>{0.5, 0.5, 0.5}, 0.0, 1.0))
    EXPECT_NEAR(v, 1.0 / 3.0, 1e-15);
  // Non-finite entries count as 0.
  const std::vector<double> with_inf = project_bounded_simplex(std::vector<double>{kInf, 2.0, kNaN}, 0.0, 1.0);
  EXPECT_NEAR(with_inf[1], 1.0, 1e-15);
  EXPECT_NEAR(with_inf[0], 0.0, 1e-15);
  // The projection of a point already in the set is that point; bounds are respected.
  const std::vector<double> inside{0.2, 0.3, 0.5};
  const std::vector<double> same = project_bounded_simplex(inside, 0.1, 0.6);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(same[i], inside[i], 1e-15);
  const std::vector<double> capped = project_bounded_simplex(std::vector<double>{5.0, -3.0, 0.0, 0.1}, 0.05, 0.5);
  double total = 0.0;
  for (double v : capped) {
    EXPECT_GE(v, 0.05);
    EXPECT_LE(v, 0.5);
    total += v;
  }
  EXPECT_NEAR(total, 1.0, 1e-14);
  EXPECT_EQ(capped[0], 0.5);
}

TEST(Projection, LinearMinimisationOracle) {
  // Greedy fill from the smallest gradient entry, ties in index order, NaN last.
  EXPECT_EQ(lmo_bounded(std::vector<double>{3.0, 1.0, 2.0}, 0.0, 1.0), (std::vector<double>{0, 1, 0}));
  EXPECT_EQ(lmo_bounded(std::vector<double>{1.0, 1.0, 1.0}, 0.0, 0.5), (std::vector<double>{0.5, 0.5, 0}));
  const std::vector<double> s = lmo_bounded(std::vector<double>{kNaN, 2.0, 1.0, 3.0}, 0.1, 0.4);
  const std::vector<double> expected{0.1, 0.4, 0.4, 0.1};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(s[i], expected[i], 1e-15);
  EXPECT_EQ(lmo_bounded(std::vector<double>{-kNaN, 2.0}, 0.0, 1.0), (std::vector<double>{1.0, 0.0}));
}

}  // namespace
}  // namespace tessarix::linalg
