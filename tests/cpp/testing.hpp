// Small helpers shared by the C++ test suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>

#include "linalg/error.hpp"
#include "linalg/matrix.hpp"
#include "linalg/opt/simplex.hpp"

namespace tessarix::testing {

// A rows x cols matrix of uniform(-1, 1) values from a fixed seed.
inline linalg::Mat random_mat(std::size_t rows, std::size_t cols, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  linalg::Mat m(rows, cols);
  for (double& v : m.data()) v = dist(gen);
  return m;
}

// Random walks with unit-specific levels (base + u mod 7), one row per unit: panels with the
// persistence and level differences of real outcome data.
inline linalg::Mat random_walks(std::size_t n, std::size_t t, std::uint64_t seed, double base = 5.0,
                                double step = 0.3) {
  linalg::Mat y = random_mat(n, t, seed);
  for (std::size_t u = 0; u < n; ++u) {
    double level = base + double(u % 7);
    for (std::size_t k = 0; k < t; ++k) {
      level += step * y(u, k);
      y(u, k) = level;
    }
  }
  return y;
}

// Runs `f`, expecting an InvariantError whose message starts with `prefix`.
template <class F>
void expect_invariant(F&& f, const std::string& prefix) {
  try {
    f();
    ADD_FAILURE() << "expected InvariantError starting with: " << prefix;
  } catch (const InvariantError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
  }
}

// Solves the small dense system a x = r by Gaussian elimination with partial pivoting;
// false when singular.
inline bool gauss(std::vector<std::vector<double>> a, std::vector<double> r, std::vector<double>& x) {
  const std::size_t n = r.size();
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    for (std::size_t i = c + 1; i < n; ++i)
      if (std::fabs(a[i][c]) > std::fabs(a[piv][c])) piv = i;
    if (std::fabs(a[piv][c]) < 1e-14) return false;
    std::swap(a[c], a[piv]);
    std::swap(r[c], r[piv]);
    for (std::size_t i = c + 1; i < n; ++i) {
      const double f = a[i][c] / a[c][c];
      for (std::size_t k = c; k < n; ++k) a[i][k] -= f * a[c][k];
      r[i] -= f * r[c];
    }
  }
  x.assign(n, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    double s = r[i];
    for (std::size_t k = i + 1; k < n; ++k) s -= a[i][k] * x[k];
    x[i] = s / a[i][i];
  }
  return true;
}

// Independent reference: enumerates every assignment of each coordinate to its lower
// bound, its upper bound or the free set, solves the equality-constrained KKT system of
// the free set, and keeps the feasible point with the smallest objective.
inline std::vector<double> brute_force_qp(const linalg::Mat& g, std::span<const double> b, double lambda,
                                          double lo, double hi) {
  const std::size_t j = b.size();
  std::size_t states = 1;
  for (std::size_t i = 0; i < j; ++i) states *= 3;
  std::vector<double> best;
  double best_f = std::numeric_limits<double>::infinity();
  for (std::size_t code = 0; code < states; ++code) {
    std::vector<int> st(j);
    std::size_t c = code;
    for (std::size_t i = 0; i < j; ++i, c /= 3) st[i] = int(c % 3);
    std::vector<double> w(j, 0.0);
    std::vector<std::size_t> fr;
    double fixed = 0.0;
    for (std::size_t i = 0; i < j; ++i) {
      if (st[i] == 0) w[i] = lo, fixed += lo;
      else if (st[i] == 1) w[i] = hi, fixed += hi;
      else fr.push_back(i);
    }
    if (fr.empty()) {
      if (std::fabs(fixed - 1.0) > 1e-12) continue;
    } else {
      const std::size_t k = fr.size();
      std::vector<std::vector<double>> a(k + 1, std::vector<double>(k + 1, 0.0));
      std::vector<double> r(k + 1, 0.0);
      for (std::size_t x = 0; x < k; ++x) {
        for (std::size_t y = 0; y < k; ++y) a[x][y] = g(fr[x], fr[y]) + (x == y ? lambda : 0.0);
        a[x][k] = -1.0;
        a[k][x] = 1.0;
        r[x] = b[fr[x]];
        for (std::size_t i = 0; i < j; ++i)
          if (st[i] != 2) r[x] -= g(fr[x], i) * w[i];
      }
      r[k] = 1.0 - fixed;
      std::vector<double> sol;
      if (!gauss(a, r, sol)) continue;
      bool ok = true;
      for (std::size_t x = 0; x < k; ++x) {
        w[fr[x]] = sol[x];
        ok = ok && sol[x] >= lo - 1e-12 && sol[x] <= hi + 1e-12;
      }
      if (!ok) continue;
    }
    const double f = linalg::objective(g, b, w, lambda);
    if (f < best_f) best_f = f, best = w;
  }
  return best;
}

}  // namespace tessarix::testing
