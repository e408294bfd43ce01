#include <cmath>
#include <optional>
#include <thread>

#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"
#include "linalg/ops/matmul.hpp"
#include "testing.hpp"

namespace tessarix::sc {
namespace {

using testing::expect_invariant;
using testing::random_mat;

Mat donor_panel(std::size_t n, std::size_t t, std::uint64_t seed) {
  return testing::random_walks(n, t, seed);
}

Panel block(const Mat& y, std::vector<std::size_t> treated, std::size_t t0) {
  return Panel::block(y, treated, t0);
}

void expect_all_near(std::span<const double> a, std::span<const double> b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], tol) << i;
}

bool same_bits(const ScFit& a, const ScFit& b) {
  return a.att == b.att && a.att_path == b.att_path && a.counterfactual == b.counterfactual &&
         a.weights == b.weights && a.pre_rmspe == b.pre_rmspe && a.post_rmspe == b.post_rmspe;
}

// --- classic synthetic control --------------------------------------------------------------

TEST(Synthetic, ExactDonorMatchAndConstantEffect) {
  Mat y = donor_panel(6, 12, 1);
  const double effect = 2.5;
  for (std::size_t k = 0; k < 12; ++k) y(0, k) = y(3, k) + (k >= 8 ? effect : 0.0);
  const ScFit f = synthetic::fit_at(block(y, {0}, 8), 8, {});
  EXPECT_EQ(f.donor_ids, (std::vector<std::size_t>{1, 2, 3, 4, 5}));
  EXPECT_NEAR(f.weights[2], 1.0, 1e-6);
  EXPECT_LT(f.pre_rmspe, 1e-4);
  EXPECT_NEAR(f.att, effect, 1e-4);
  for (double v : f.att_path) EXPECT_NEAR(v, effect, 1e-4);
  EXPECT_NEAR(f.post_rmspe, effect, 1e-4);
  expect_all_near(f.treated_post, std::vector<double>{y(0, 8), y(0, 9), y(0, 10), y(0, 11)}, 0.0);
}

TEST(Synthetic, WeightsAgreeWithAnIndependentConstrainedFit) {
  for (std::uint64_t seed = 2; seed < 6; ++seed) {
    const Mat y = donor_panel(6, 10, seed);
    for (const synthetic::ScOptions& o : {synthetic::ScOptions{}, synthetic::ScOptions{0.05, 0.6, 0.5, 0.0}}) {
      const ScFit f = synthetic::fit_at(block(y, {0}, 7), 7, o);
      const Panel p = block(y, {0}, 7);
      const Mat x0 = p.donor_pre(7).mat;
      const Mat g = linalg::syrk_ata(x0);
      std::vector<double> b(5), ypre(7);
      for (std::size_t t = 0; t < 7; ++t) ypre[t] = y(0, t);
      linalg::gemv_t(x0, ypre, b, 1.0, 0.0);
      const std::vector<double> ref = testing::brute_force_qp(g, b, o.ridge, o.min_weight, o.max_weight);
      expect_all_near(f.weights, ref, 2e-5);
    }
  }
}

TEST(Synthetic, PenaltySingleDonorAveragedTreatedAndNoPostPeriod) {
  const Mat y = donor_panel(7, 10, 7);
  const Panel p = block(y, {0, 1}, 6);
  const ScFit base = synthetic::fit_at(p, 6, {});
  // The pairwise penalty trades fit for closeness of the chosen donors to the treated path:
  // it lowers sum_j w_j d_j, and a large one selects the nearest donor alone.
  Mat mix = y;
  for (std::size_t k = 0; k < 10; ++k) mix(0, k) = 0.7 * y(3, k) + 0.3 * y(5, k);
  const Panel pm = block(mix, {0}, 6);
  std::vector<double> disc(6, 0.0);
  for (std::size_t d = 0; d < 6; ++d)
    for (std::size_t t = 0; t < 6; ++t) disc[d] += (mix(0, t) - mix(d + 1, t)) * (mix(0, t) - mix(d + 1, t));
  const auto spread = [&](const ScFit& f) {
    double s = 0.0;
    for (std::size_t d = 0; d < 6; ++d) s += f.weights[d] * disc[d];
    return s;
  };
  const ScFit plain = synthetic::fit_at(pm, 6, {});
  EXPECT_NEAR(plain.weights[2], 0.7, 1e-4);
  EXPECT_TRUE(same_bits(plain, synthetic::fit_at(pm, 6, {0.0, 1.0, 0.0, -3.0})));
  const ScFit penalised = synthetic::fit_at(pm, 6, {0.0, 1.0, 0.0, 0.1});
  EXPECT_LT(spread(penalised), spread(plain) - 0.1);
  EXPECT_GT(penalised.pre_rmspe, plain.pre_rmspe);
  const std::size_t nearest = std::size_t(std::min_element(disc.begin(), disc.end()) - disc.begin());
  EXPECT_NEAR(synthetic::fit_at(pm, 6, {0.0, 1.0, 0.0, 50.0}).weights[nearest], 1.0, 1e-9);
  // A penalty with no pre-period changes nothing (every discrepancy is 0).
  EXPECT_TRUE(same_bits(synthetic::fit_at(pm, 0, {}), synthetic::fit_at(pm, 0, {0.0, 1.0, 0.0, 5.0})));

  // Two treated units fit as one unit whose path is their period-wise mean.
  Mat merged(6, 10);
  for (std::size_t k = 0; k < 10; ++k) {
    merged(0, k) = (y(0, k) + y(1, k)) * 0.5;
    for (std::size_t u = 2; u < 7; ++u) merged(u - 1, k) = y(u, k);
  }
  const ScFit m = synthetic::fit_at(block(merged, {0}, 6), 6, {});
  EXPECT_EQ(m.weights, base.weights);
  EXPECT_EQ(m.att, base.att);

  // A single donor takes weight 1.
  const Mat two = Mat::from_col_major(2, 4, {1, 2, 3, 2, 5, 3, 8, 4});
  EXPECT_EQ(synthetic::fit_at(block(two, {0}, 2), 2, {}).weights, std::vector<double>{1.0});

  // t0 = T: no post-period.
  const ScFit none = synthetic::fit_at(p, 10, {});
  EXPECT_TRUE(none.att_path.empty() && none.counterfactual.empty() && none.treated_post.empty());
  EXPECT_EQ(none.att, 0.0);
  EXPECT_EQ(none.post_rmspe, 0.0);
}

TEST(Synthetic, InvariantFailures) {
  const Mat y = donor_panel(3, 5, 9);
  expect_invariant([&] { (void)synthetic::fit_at(Panel(y, std::vector<Panel::TreatStart>(3)), 2, {}); },
                   "no treated units");
  expect_invariant([&] { (void)synthetic::fit_at(block(y, {0, 1, 2}, 2), 2, {}); },
                   "no donor (never-treated) units");
  expect_invariant([&] { (void)augmented::fit_at(block(y, {0, 1, 2}, 2), 2, {}); }, "no donor units");
  expect_invariant([&] { (void)synthetic::fit_at(block(y, {0}, 2), 6, {}); }, "treatment time 6");
}

// --- augmented and demeaned ------------------------------------------------------------------

TEST(Augmented, CorrectionEqualsAnIndependentRidgeRegression) {
  const Mat y = donor_panel(9, 12, 11);
  const std::size_t t0 = 8, j = 8;
  const Panel p = block(y, {0}, t0);
  const Mat x0 = p.donor_pre(t0).mat, x1 = p.donor_post(t0).mat;
  Mat xc = x0;
  for (std::size_t t = 0; t < t0; ++t) {
    double m = 0.0;
    for (std::size_t d = 0; d < j; ++d) m += x0(t, d);
    for (std::size_t d = 0; d < j; ++d) xc(t, d) -= m / double(j);
  }
  // The default ridge strength: a tenth of the mean squared centred pre-period outcome.
  double ss = 0.0;
  for (double v : xc.data()) ss += v * v;
  const double default_lambda = 0.1 * ss / double(t0);

  struct Case {
    std::optional<double> aug_lambda;
    double lambda;  // the strength the oracle uses
  };
  for (const Case& c : {Case{0.7, 0.7}, Case{std::nullopt, default_lambda}}) {
    SCOPED_TRACE(::testing::Message() << "lambda " << c.lambda);
    const ScFit f = augmented::fit_at(p, t0, {c.aug_lambda, 0.0, 0.0, 1.0});
    // Residual imbalance of the simplex fit.
    std::vector<double> r(t0);
    for (std::size_t t = 0; t < t0; ++t) {
      double s = 0.0;
      for (std::size_t d = 0; d < j; ++d) s += x0(t, d) * f.weights[d];
      r[t] = y(0, t) - s;
    }
    // Dual form of the ridge regression of the donors' period-k outcome on their centred
    // pre-period paths: coefficients xc (xc^T xc + lambda I)^-1 y_k, observations = donors.
    std::vector<std::vector<double>> gram(j, std::vector<double>(j, 0.0));
    for (std::size_t a = 0; a < j; ++a)
      for (std::size_t b = 0; b < j; ++b) {
        for (std::size_t t = 0; t < t0; ++t) gram[a][b] += xc(t, a) * xc(t, b);
        if (a == b) gram[a][b] += c.lambda;
      }
    double largest_correction = 0.0;
    for (std::size_t k = 0; k < x1.rows(); ++k) {
      std::vector<double> target(j), alpha;
      double base = 0.0;
      for (std::size_t d = 0; d < j; ++d) {
        target[d] = x1(k, d);
        base += x1(k, d) * f.weights[d];
      }
      ASSERT_TRUE(testing::gauss(gram, target, alpha));
      double correction = 0.0;
      for (std::size_t t = 0; t < t0; ++t) {
        double coef = 0.0;
        for (std::size_t d = 0; d < j; ++d) coef += xc(t, d) * alpha[d];
        correction += r[t] * coef;
      }
      EXPECT_NEAR(f.counterfactual[k], base + correction, 1e-9);
      largest_correction = std::max(largest_correction, std::fabs(correction));
    }
    EXPECT_GT(largest_correction, 1e-3);  // the augmentation is at work
  }
}

TEST(Augmented, DegenerateCorrections) {
  const Mat y = donor_panel(6, 10, 13);
  const Panel p = block(y, {0}, 7);
  // lambda <= 0: no correction, so the fit is the classic one.
  for (double lambda : {0.0, -1.0}) {
    const ScFit a = augmented::fit_at(p, 7, {lambda, 0.0, 0.0, 1.0});
    EXPECT_TRUE(same_bits(a, synthetic::fit_at(p, 7, {})));
  }
  // An exactly reproduced pre-path has r = 0, so the correction vanishes for any lambda.
  Mat exact = y;
  for (std::size_t k = 0; k < 10; ++k) exact(0, k) = y(4, k);
  const ScFit e = augmented::fit_at(block(exact, {0}, 7), 7, {});
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(e.counterfactual[k], y(4, 7 + k), 1e-5);
  // t0 = 0 with the default lambda: no correction, pre_rmspe 0.
  const ScFit z = augmented::fit_at(p, 0, {});
  EXPECT_EQ(z.pre_rmspe, 0.0);
}

TEST(Demeaned, MatchesALevelShiftedDonor) {
  Mat y = donor_panel(6, 10, 17);
  for (std::size_t k = 0; k < 10; ++k) y(0, k) = y(2, k) + 40.0;  // far outside the hull
  const ScFit f = demeaned::fit_at(block(y, {0}, 7), 7, {});
  EXPECT_NEAR(f.weights[1], 1.0, 1e-6);
  EXPECT_LT(f.pre_rmspe, 1e-5);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(f.counterfactual[k], y(2, 7 + k) + 40.0, 1e-5);
  EXPECT_NEAR(f.att, 0.0, 1e-5);
  // The classic fit cannot reach that level.
  EXPECT_GT(synthetic::fit_at(block(y, {0}, 7), 7, {}).pre_rmspe, 10.0);
}

// --- robust ----------------------------------------------------------------------------------

TEST(Robust, RetainedRank) {
  const std::vector<double> s{4.0, 2.0, 1.0, 0.5};
  using O = robust::RscOptions;
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{0, 0.9, 0.0}), 1u);
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{9, 0.9, 0.0}), 4u);
  EXPECT_EQ(robust::retained_rank(s, 2, 4, O{9, 0.9, 0.0}), 2u);
  // Energy: 16 / 21.25 = 0.75, 20 / 21.25 = 0.94, 21 / 21.25 = 0.988.
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{std::nullopt, 0.7, 0.0}), 1u);
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{std::nullopt, 0.9, 0.0}), 2u);
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{std::nullopt, 0.98, 0.0}), 3u);
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{std::nullopt, 1.0, 0.0}), 4u);
  EXPECT_EQ(robust::retained_rank(s, 10, 4, O{std::nullopt, 0.0, 0.0}), 1u);
  EXPECT_EQ(robust::retained_rank(s, 3, 4, O{std::nullopt, 1.0, 0.0}), 3u);
  EXPECT_EQ(robust::retained_rank(std::vector<double>(4, 0.0), 3, 4, O{}), 3u);
  EXPECT_EQ(robust::retained_rank(s, 0, 4, O{}), 1u);
}

TEST(Robust, ExtrapolatesOutsideTheConvexHull) {
  Mat y = donor_panel(5, 12, 19);
  for (std::size_t k = 0; k < 12; ++k) y(0, k) = 2.0 * y(3, k);
  const ScFit f = robust::fit_at(block(y, {0}, 9), 9, {4, 0.999, 0.0});
  std::vector<double> expected{0.0, 0.0, 2.0, 0.0};
  expect_all_near(f.weights, expected, 1e-9);
  EXPECT_LT(f.pre_rmspe, 1e-9);
  EXPECT_NEAR(f.att, 0.0, 1e-8);
  // A ridge pulls the weights toward zero but keeps the fit close.
  const ScFit r = robust::fit_at(block(y, {0}, 9), 9, {4, 0.999, 1.0});
  EXPECT_LT(r.weights[2], 2.0);
  EXPECT_GT(r.pre_rmspe, 0.0);
}

// --- synthetic DiD ---------------------------------------------------------------------------

TEST(Sdid, InterceptAbsorbsALevelAndEffectsAreRecovered) {
  // One donor with the treated path minus a constant: weight 1, zero pre-period spread.
  Mat y = donor_panel(2, 8, 23);
  for (std::size_t k = 0; k < 8; ++k) y(0, k) = y(1, k) + 3.0;
  const ScFit f = sdid::fit_at(block(y, {0}, 5), 5, {0.0, 1.0, 0.0});
  EXPECT_EQ(f.weights, std::vector<double>{1.0});
  EXPECT_LT(f.pre_rmspe, 1e-12);
  EXPECT_NEAR(f.att, 0.0, 1e-12);

  // A constant effect on a path that the weighted donors match exactly.
  Mat z = donor_panel(6, 10, 29);
  for (std::size_t k = 0; k < 10; ++k) z(0, k) = 0.5 * z(2, k) + 0.5 * z(4, k) + (k >= 6 ? 1.75 : 0.0);
  const ScFit e = sdid::fit_at(block(z, {0}, 6), 6, {0.0, 1.0, 0.0});
  // Within the solver's tolerance (a duality gap of 1e-11 leaves weight errors near 1e-6).
  EXPECT_NEAR(e.att, 1.75, 1e-5);
  for (double v : e.att_path) EXPECT_NEAR(v, 1.75, 1e-5);
  EXPECT_LT(e.post_rmspe, 1e-5);
}

TEST(Sdid, WeightsAreOptimalAndTheEffectIsTheWeightedDoubleDifference) {
  const Mat y = donor_panel(7, 9, 31);
  const std::size_t t0 = 5, t_post = 4, j = 5;
  const Panel p = block(y, {0, 1}, t0);
  const sdid::SdidOptions opt{0.0, 1.0, 1.0};
  const ScFit f = sdid::fit_at(p, t0, opt);

  const Mat x0 = p.donor_pre(t0).mat, x1 = p.donor_post(t0).mat;
  std::vector<double> ybar(9);
  for (std::size_t k = 0; k < 9; ++k) ybar[k] = (y(0, k) + y(1, k)) * 0.5;
  // Centred problems solved independently by enumeration.
  const auto centred = [](const Mat& a, std::span<const double> b, Mat& g, std::vector<double>& c) {
    Mat ac = a;
    for (std::size_t col = 0; col < a.cols(); ++col) {
      double m = 0.0;
      for (double v : a.col(col)) m += v;
      for (double& v : ac.col(col)) v -= m / double(a.rows());
    }
    double bm = 0.0;
    for (double v : b) bm += v;
    std::vector<double> bc(b.begin(), b.end());
    for (double& v : bc) v -= bm / double(b.size());
    g = linalg::syrk_ata(ac);
    c.assign(a.cols(), 0.0);
    linalg::gemv_t(ac, bc, c, 1.0, 0.0);
  };
  std::vector<double> diffs;
  for (std::size_t d = 0; d < j; ++d)
    for (std::size_t t = 1; t < t0; ++t) diffs.push_back(x0(t, d) - x0(t - 1, d));
  double dm = 0.0, dv = 0.0;
  for (double v : diffs) dm += v / double(diffs.size());
  for (double v : diffs) dv += (v - dm) * (v - dm) / double(diffs.size() - 1);
  const double zeta = std::sqrt(dv) * std::pow(2.0 * t_post, 0.25);
  Mat gu;
  std::vector<double> cu;
  centred(x0, std::span<const double>(ybar.data(), t0), gu, cu);
  const std::vector<double> omega = testing::brute_force_qp(gu, cu, zeta * zeta * double(t0), 0.0, 1.0);
  expect_all_near(f.weights, omega, 1e-6);

  std::vector<double> q(j);
  for (std::size_t d = 0; d < j; ++d) {
    for (std::size_t k = 0; k < t_post; ++k) q[d] += x1(k, d);
    q[d] /= double(t_post);
  }
  Mat gt;
  std::vector<double> ct;
  centred(x0.transpose(), q, gt, ct);
  const std::vector<double> lambda = testing::brute_force_qp(gt, ct, 0.0, 0.0, 1.0);

  // (treated - synthetic control) after, minus the time-weighted same difference before.
  double after = 0.0, before = 0.0;
  for (std::size_t k = 0; k < 9; ++k) {
    double control = 0.0;
    for (std::size_t d = 0; d < j; ++d) control += omega[d] * y(2 + d, k);
    const double gap = ybar[k] - control;
    if (k >= t0) after += gap / double(t_post);
    else before += lambda[k] * gap;
  }
  EXPECT_NEAR(f.att, after - before, 1e-6);
  double mean_path = 0.0;
  for (double v : f.att_path) mean_path += v / double(t_post);
  EXPECT_NEAR(f.att, mean_path, 1e-12);
}

TEST(Sdid, SinglePrePeriodAndNoRegularisation) {
  const Mat y = donor_panel(5, 6, 37);
  const Panel p = block(y, {0}, 1);
  const ScFit f = sdid::fit_at(p, 1, {0.0, 1.0, 1.0});
  // One pre-period: the time weight is 1, so each post gap is measured from period 0.
  double control0 = 0.0;
  for (std::size_t d = 0; d < 4; ++d) control0 += f.weights[d] * y(1 + d, 0);
  for (std::size_t k = 0; k < 5; ++k) {
    double control = 0.0;
    for (std::size_t d = 0; d < 4; ++d) control += f.weights[d] * y(1 + d, 1 + k);
    EXPECT_NEAR(f.att_path[k], (y(0, 1 + k) - control) - (y(0, 0) - control0), 1e-12);
  }
  // zeta_scale 0 removes the ridge whatever the noise level.
  const Panel q = block(y, {0}, 4);
  const ScFit no_ridge = sdid::fit_at(q, 4, {0.0, 1.0, 0.0});
  EXPECT_NE(no_ridge.weights, sdid::fit_at(q, 4, {0.0, 1.0, 1.0}).weights);
  expect_invariant([&] { (void)sdid::fit_at(q, 0, {}); }, "SDID needs at least one pre- and one post-period");
  expect_invariant([&] { (void)sdid::fit_at(block(y, {0, 1, 2, 3, 4}, 3), 3, {}); }, "no control units");
}

TEST(Sdid, JackknifeOrderAndSkippedDonors) {
  const Mat y = donor_panel(8, 10, 41);
  const Panel p = block(y, {0, 1, 2}, 6);
  const sdid::SdidOptions opt{};
  const ScFit f = sdid::fit_at(p, 6, opt);
  const std::vector<double> loo = sdid::jackknife_loo_atts(p, 6, opt);
  std::size_t kept = 0;
  for (double w : f.weights) kept += w < 0.999999999999 ? 1 : 0;
  ASSERT_EQ(loo.size(), 3 + kept);
  // The estimator is linear in the treated mean and in the donor weights: leaving out each
  // treated unit in turn averages back to the full effect, and the donor entries satisfy
  // sum_d (1 - w_d) * theta_-d = (J - 1) * att.
  EXPECT_NEAR((loo[0] + loo[1] + loo[2]) / 3.0, f.att, 1e-12);
  ASSERT_EQ(kept, 5u);
  double weighted = 0.0;
  for (std::size_t d = 0; d < 5; ++d) weighted += (1.0 - f.weights[d]) * loo[3 + d];
  EXPECT_NEAR(weighted, 4.0 * f.att, 1e-10);

  // Two treated units and a single donor (weight 1, skipped): exactly two entries.
  const Mat small = donor_panel(3, 6, 43);
  EXPECT_EQ(sdid::jackknife_loo_atts(block(small, {0, 1}, 4), 4, opt).size(), 2u);
  expect_invariant([&] { (void)sdid::jackknife_loo_atts(block(small, {0}, 4), 4, opt); },
                   "the SDID jackknife needs >= 2 treated units; use placebo inference otherwise");
}

// --- concurrency -----------------------------------------------------------------------------

TEST(ScFamily, ConcurrentCallsOnOnePanelGiveSerialBits) {
  const Mat y = donor_panel(30, 20, 47);
  const Panel p = block(y, {0, 1}, 14);
  const auto run_all = [&] {
    return std::vector<ScFit>{synthetic::fit_at(p, 14, {}), synthetic::fit_at(p, 14, {0.01, 0.5, 0.1, 0.2}),
                              augmented::fit_at(p, 14, {}), demeaned::fit_at(p, 14, {}),
                              robust::fit_at(p, 14, {}), sdid::fit_at(p, 14, {})};
  };
  const std::vector<ScFit> serial = run_all();
  std::vector<std::vector<ScFit>> results(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < 4; ++i) threads.emplace_back([&, i] { results[i] = run_all(); });
  for (std::thread& t : threads) t.join();
  for (const auto& r : results)
    for (std::size_t k = 0; k < serial.size(); ++k) EXPECT_TRUE(same_bits(r[k], serial[k])) << k;
}

}  // namespace
}  // namespace tessarix::sc
