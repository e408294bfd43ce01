// The conditional moment-inequality tests of Andrews, Roth & Pakes (ARP) behind the honest
// (sensitivity) confidence sets. A null is H0: E[y] - X delta <= 0 for some nuisance delta,
// with y ~ N(mu, Sigma). The statistic is the linear program
//   eta = min_{eta, delta} eta  s.t.  y - X delta <= eta sd   (sd = sqrt(diag Sigma)),
// solved here through its dual: eta = max gamma'y over the vertices gamma >= 0 with
// sd'gamma = 1 and X'gamma = 0. The conditional test conditions on the optimal vertex; the
// least-favourable hybrid first rejects when eta exceeds the least-favourable critical value
// and otherwise runs the conditional test at the reduced size (alpha - kappa) / (1 - kappa),
// truncated above at that value.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"
#include "linalg/opt/linprog.hpp"

namespace tessarix::inference {

using linalg::Mat;

// The first stage of the least-favourable hybrid: its critical value and size kappa.
struct LfStage {
  double cv = 0.0;
  double kappa = 0.0;
};

// The test with nuisance parameters for a fixed X (m x k) and Sigma (m x m); the dual's
// feasible set does not depend on y, so each test starts from the previous optimal vertex.
class ArpNuisanceTest {
public:
  ArpNuisanceTest(Mat x, Mat sigma);

  // eta(y), and the optimal vertex gamma when the program is bounded (empty otherwise: some
  // delta moves every moment down, and eta is -inf).
  double eta(std::span<const double> y, std::vector<double>* gamma = nullptr);

  // The (1 - kappa) quantile (type 7) of eta(xi) over the rows xi of `draws` (sims x m),
  // draws of N(0, Sigma): the least-favourable critical value.
  double least_favorable_cv(const Mat& draws, double kappa);

  // True when H0 is rejected at size alpha; `lf` selects the hybrid.
  bool reject(std::span<const double> y, double alpha, const std::optional<LfStage>& lf);

private:
  // [vlo, vup]: the values t of gamma'y along y(t) = s + c t over which the optimal vertex
  // stays optimal (eta(y(t)) = t), found by Newton steps on the convex gap eta(y(t)) - t.
  std::pair<double, double> truncation(std::span<const double> s, std::span<const double> c,
                                       double eta, double sigma_b);
  double line_value(std::span<const double> s, std::span<const double> c, double t, double& slope);

  Mat sigma_;
  std::vector<double> sd_;
  linalg::StandardFormLp lp_;
  std::vector<double> cost_, gamma_, point_;
};

// The test without nuisance parameters, E[A y] - d <= 0 (A: rows x n, Sigma: n x n), of the
// largest normalised moment conditioned on its location.
class ArpPlainTest {
public:
  ArpPlainTest(const Mat& a, std::span<const double> d, const Mat& sigma);

  // The (1 - kappa) quantile (type 7) of max_i xi_i / sd_i over the rows xi of `draws`
  // (sims x rows), draws of N(0, A Sigma A').
  double least_favorable_cv(const Mat& draws, double kappa) const;

  bool reject(std::span<const double> y, double alpha, const std::optional<LfStage>& lf) const;

private:
  Mat a_tilde_;                 // A with each row divided by its moment's sd
  std::vector<double> d_tilde_;
  Mat m_;                       // A~ Sigma A~'
  std::vector<double> sd_;      // sd of each moment of A y
};

// Type-7 quantile of `values` at q (reorders them).
double quantile_type7(std::vector<double>& values, double q);

}  // namespace tessarix::inference
