#include "estimators/did/callaway_propensity.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <expected>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "linalg/factor/cholesky.hpp"
#include "linalg/lanes.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/solve/logistic.hpp"

namespace tessarix::did::callaway {
namespace {

using linalg::Cholesky;

// A Gram matrix counts as singular when a squared Cholesky pivot falls below this fraction of
// its diagonal entry, that is when a column is a linear combination of the previous ones up
// to 1 - R^2 = 1e-12: solves beyond that amplify rounding to the size of the effects, while
// correlated but distinct covariates stay far above it.
constexpr double kCollinearity = 1e-12;

// Covariate columns that vary over the cohort's units and the controls; the others go to
// `dropped`.
std::vector<std::size_t> varying_covariates(const Mat& x, std::span<const std::size_t> treated,
                                            std::span<const std::size_t> ctrl,
                                            std::vector<std::size_t>& dropped) {
  std::vector<std::size_t> kept;
  for (std::size_t k = 0; k < x.cols(); ++k) {
    const std::span<const double> col = x.col(k);
    const double first = col[treated[0]];
    const auto differs = [&](std::size_t u) { return col[u] != first; };
    const bool varies = std::any_of(treated.begin(), treated.end(), differs) ||
                        std::any_of(ctrl.begin(), ctrl.end(), differs);
    (varies ? kept : dropped).push_back(k);
  }
  return kept;
}

// Rows (1, z_1, ..., z_K) of the cohort's units, then of the controls, each kept covariate
// centred at its mean over these rows and divided by its root mean square deviation. Every
// fit of the cell is equivariant under affine maps of a covariate, so this changes nothing
// but the conditioning of the Gram matrices.
Mat comparison_design(const Mat* x, std::span<const std::size_t> kept,
                      std::span<const std::size_t> treated, std::span<const std::size_t> ctrl) {
  const std::size_t rows = treated.size() + ctrl.size();
  Mat design(rows, kept.size() + 1);
  std::fill(design.col(0).begin(), design.col(0).end(), 1.0);
  for (std::size_t j = 0; j < kept.size(); ++j) {
    const std::span<const double> from = x->col(kept[j]);
    const std::span<double> col = design.col(j + 1);
    for (std::size_t i = 0; i < treated.size(); ++i) col[i] = from[treated[i]];
    for (std::size_t i = 0; i < ctrl.size(); ++i) col[treated.size() + i] = from[ctrl[i]];
    double mean = 0.0;
    for (double v : col) mean += v;
    mean /= static_cast<double>(rows);
    double ss = 0.0;
    for (double& v : col) {
      v -= mean;
      ss += v * v;
    }
    const double rms = std::sqrt(ss / static_cast<double>(rows));
    for (double& v : col) v /= rms;
  }
  return design;
}

// X_R' X_R over the rows R = [from, to) of the design, one column pair per pass.
Mat gram_of_rows_by_pairs(const Mat& design, std::size_t from, std::size_t to) {
  const std::size_t p = design.cols();
  Mat g(p, p);
  for (std::size_t j = 0; j < p; ++j) {
    const std::span<const double> a = design.col(j);
    for (std::size_t k = j; k < p; ++k) {
      const std::span<const double> b = design.col(k);
      double s = 0.0;
      for (std::size_t i = from; i < to; ++i) s += a[i] * b[i];
      g(j, k) = s;
      g(k, j) = s;
    }
  }
  return g;
}

// Designs of at most this many columns have their Gram matrix summed in one pass over the
// rows, each of its P (P + 1) / 2 sums in a register of its own.
constexpr std::size_t kOnePassColumns = 4;

// gram_of_rows_by_pairs for P columns in one pass: every sum still adds the same products in
// row order, so it has the same bits, and the independent sums advance together.
template <std::size_t P>
Mat gram_of_rows_one_pass(const Mat& design, std::size_t from, std::size_t to) {
  std::array<const double*, P> cols;
  for (std::size_t j = 0; j < P; ++j) cols[j] = design.col(j).data();
  std::array<double, P * (P + 1) / 2> h{};
  for (std::size_t i = from; i < to; ++i) {
    std::size_t at = 0;
    for (std::size_t j = 0; j < P; ++j) {
      for (std::size_t k = j; k < P; ++k) h[at++] += cols[j][i] * cols[k][i];
    }
  }
  Mat g(P, P);
  std::size_t at = 0;
  for (std::size_t j = 0; j < P; ++j) {
    for (std::size_t k = j; k < P; ++k) {
      g(j, k) = h[at];
      g(k, j) = h[at++];
    }
  }
  return g;
}

// X_R' X_R over the rows R = [from, to) of the design.
Mat gram_of_rows(const Mat& design, std::size_t from, std::size_t to) {
  static_assert(kOnePassColumns == 4, "one case per width below");
  switch (design.cols()) {
    case 1: return gram_of_rows_one_pass<1>(design, from, to);
    case 2: return gram_of_rows_one_pass<2>(design, from, to);
    case 3: return gram_of_rows_one_pass<3>(design, from, to);
    case 4: return gram_of_rows_one_pass<4>(design, from, to);
    default: return gram_of_rows_by_pairs(design, from, to);
  }
}

// The Cholesky factor of a Gram matrix, or none when some column is (nearly) a combination of
// the previous ones.
std::optional<Cholesky> factor_full_rank(const Mat& gram) {
  auto chol = Cholesky::make(gram);
  if (!chol) return std::nullopt;
  for (std::size_t k = 0; k < gram.rows(); ++k) {
    const double pivot = chol->l()(k, k);
    if (!(pivot * pivot >= kCollinearity * gram(k, k))) return std::nullopt;
  }
  return std::move(*chol);
}

// y = X_R b over the rows R = [from, from + y.size()) of the design, column by column.
void rows_times(const Mat& design, std::size_t from, std::span<const double> b, std::span<double> y) {
  std::fill(y.begin(), y.end(), 0.0);
  for (std::size_t k = 0; k < design.cols(); ++k) {
    const double* col = design.col(k).data() + from;
    for (std::size_t i = 0; i < y.size(); ++i) y[i] += col[i] * b[k];
  }
}

// X_R' w over the rows R = [from, from + w.size()) of the design.
std::vector<double> rows_transpose_times(const Mat& design, std::size_t from, std::span<const double> w) {
  std::vector<const double*> cols(design.cols());
  for (std::size_t k = 0; k < cols.size(); ++k) cols[k] = design.col(k).data() + from;
  std::vector<double> out(design.cols());
  linalg::dots(w.size(), w.data(), cols, out.data());
  return out;
}

// What the cells of one cohort and one control set share: the design, the propensity score,
// the controls' odds weights and, for the doubly robust cells, the controls' regression.
struct Comparison {
  std::size_t n_t = 0;
  std::size_t n_c = 0;
  Mat design;                   // the cohort's rows, then the controls'
  std::vector<double> p;        // fitted propensity, one per row
  std::vector<double> odds;     // p / (1 - p), one per control
  double odds_sum = 0.0;
  Mat info_inverse;             // (X' W X)^-1 of the logit fit
  // Doubly robust only: the factored X_C' X_C, and per control x_c' h, the multiplier of its
  // residual in the estimation effect of the outcome regression (see outcome_regression_effect).
  std::optional<Cholesky> gram;
  std::vector<double> regression_effect;
};

// The propensity score of belonging to the cohort rather than to the controls, by logit on
// the comparison design, and the controls' odds.
std::optional<CellFault> fit_propensity(Comparison& c) {
  const std::size_t rows = c.n_t + c.n_c;
  std::vector<double> d(rows, 0.0);
  std::fill(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(c.n_t), 1.0);
  auto fit = linalg::logit(c.design, d);
  if (!fit) {
    return fit.error() == linalg::LogitFailure::Singular ? CellFault::Collinear : CellFault::Separation;
  }
  c.p = std::move(fit->fitted);
  c.info_inverse = std::move(fit->inverse_information);
  for (double& v : c.info_inverse.data()) v /= static_cast<double>(rows);
  c.odds.resize(c.n_c);
  c.odds_sum = 0.0;
  for (std::size_t i = 0; i < c.n_c; ++i) {
    const double p = c.p[c.n_t + i];
    c.odds[i] = p / (1.0 - p);
    c.odds_sum += c.odds[i];
  }
  return std::nullopt;
}

// The estimation effect of the outcome regression on the controls' influence values is
// r_c x_c' h with h = (N / W) G^-1 sum_C w x - (N / n_T) G^-1 sum_T x, G = X_C' X_C and W the
// sum of the odds w: the regression moves both the treated's and the weighted controls'
// mean net change. Sets the factored G and x_c' h per control; a fault when G is singular.
std::optional<CellFault> outcome_regression_effect(Comparison& c, std::size_t n_units) {
  const std::size_t rows = c.n_t + c.n_c;
  c.gram = factor_full_rank(gram_of_rows(c.design, c.n_t, rows));
  if (!c.gram) return CellFault::Collinear;
  const std::vector<double> ones(c.n_t, 1.0);
  const std::vector<double> a = c.gram->solve_vec(rows_transpose_times(c.design, 0, ones));
  const std::vector<double> b = c.gram->solve_vec(rows_transpose_times(c.design, c.n_t, c.odds));
  const double n = static_cast<double>(n_units);
  std::vector<double> h(a.size());
  for (std::size_t k = 0; k < h.size(); ++k) {
    h[k] = n / c.odds_sum * b[k] - n / static_cast<double>(c.n_t) * a[k];
  }
  c.regression_effect.resize(c.n_c);
  rows_times(c.design, c.n_t, h, c.regression_effect);
  return std::nullopt;
}

std::expected<Comparison, CellFault> compare(const Mat* x, std::span<const std::size_t> treated,
                                             std::span<const std::size_t> ctrl, EstMethod method,
                                             std::size_t n_units, std::vector<std::size_t>& dropped) {
  const std::vector<std::size_t> kept =
      x != nullptr ? varying_covariates(*x, treated, ctrl, dropped) : std::vector<std::size_t>();
  Comparison c;
  c.n_t = treated.size();
  c.n_c = ctrl.size();
  c.design = comparison_design(x, kept, treated, ctrl);
  if (!factor_full_rank(gram_of_rows(c.design, 0, c.n_t + c.n_c))) return std::unexpected(CellFault::Collinear);
  if (auto fault = fit_propensity(c)) return std::unexpected(*fault);
  if (method == EstMethod::DoublyRobust) {
    if (auto fault = outcome_regression_effect(c, n_units)) return std::unexpected(*fault);
  }
  return c;
}

// Outcome changes y(u, t) - y(u, b) of the listed units into r.
void changes(const Mat& y, std::span<const std::size_t> units, const CellPeriods& at, InfluenceValues& r) {
  const std::span<const double> now = y.col(at.period);
  const std::span<const double> base = y.col(at.base);
  r.resize(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) r[i] = now[units[i]] - base[units[i]];
}

// Doubly robust: the changes net of the controls' least-squares fit of their changes on the
// design, with `fit` as scratch for the fitted values.
void net_of_regression(const Comparison& c, InfluenceValues& r_t, InfluenceValues& r_c,
                       std::vector<double>& fit) {
  const std::vector<double> beta = c.gram->solve_vec(rows_transpose_times(c.design, c.n_t, r_c));
  rows_times(c.design, 0, beta, fit);
  for (std::size_t i = 0; i < c.n_t; ++i) r_t[i] -= fit[i];
  for (std::size_t i = 0; i < c.n_c; ++i) r_c[i] -= fit[c.n_t + i];
}

// One cell from its (net) changes r, turned into influence values in place:
//   treated i:  (r_i - eta_T) N / n_T - (1 - p_i) x_i' v N / W
//   control c: -(w_c (r_c - eta_C) - p_c x_c' v) N / W  [+ r_c x_c' h, doubly robust]
// with eta_T the treated's mean, eta_C the odds-weighted controls' mean, W the sum of the odds
// and v = (X'WX)^-1 sum_C w_c (r_c - eta_C) x_c the estimation effect of the propensity score.
// `xv` (one per row) and `dev` (one per control) are scratch.
void finish_cell(const Comparison& c, bool doubly_robust, std::size_t n_units, CellFit& out,
                 std::vector<double>& xv, std::vector<double>& dev) {
  InfluenceValues& psi_t = out.treated_influence;
  InfluenceValues& psi_c = out.control_influence;
  double sum_t = 0.0;
  for (double v : psi_t) sum_t += v;
  const double eta_t = sum_t / static_cast<double>(c.n_t);
  double sum_c = 0.0;
  for (std::size_t i = 0; i < c.n_c; ++i) sum_c += c.odds[i] * psi_c[i];
  const double eta_c = sum_c / c.odds_sum;
  for (std::size_t i = 0; i < c.n_c; ++i) dev[i] = c.odds[i] * (psi_c[i] - eta_c);
  const std::vector<double> m = rows_transpose_times(c.design, c.n_t, dev);
  std::vector<double> v(m.size());
  for (std::size_t j = 0; j < v.size(); ++j) {
    double s = 0.0;
    for (std::size_t k = 0; k < m.size(); ++k) s += c.info_inverse(j, k) * m[k];
    v[j] = s;
  }
  rows_times(c.design, 0, v, xv);

  const double n = static_cast<double>(n_units);
  const double scale_t = n / static_cast<double>(c.n_t);
  const double scale_w = n / c.odds_sum;
  double sq = 0.0;
  for (std::size_t i = 0; i < c.n_t; ++i) {
    psi_t[i] = (psi_t[i] - eta_t) * scale_t - (1.0 - c.p[i]) * xv[i] * scale_w;
    sq += psi_t[i] * psi_t[i];
  }
  for (std::size_t i = 0; i < c.n_c; ++i) {
    const double r = psi_c[i];
    double psi = -(dev[i] - c.p[c.n_t + i] * xv[c.n_t + i]) * scale_w;
    if (doubly_robust) psi += r * c.regression_effect[i];
    psi_c[i] = psi;
    sq += psi * psi;
  }
  out.summary.att = eta_t - eta_c;
  out.summary.se = std::sqrt(sq / (n * n));
}

// Cells of one comparison are computed side by side, this many at once: lane k of a four-lane
// vector carries cell k's change, net change, sums and influence value of the current unit,
// so the cells' running sums advance together, each still adding its terms in unit order.
constexpr std::size_t kCellLanes = 4;

// The lock-step kernel keeps one vector of running sums per design column in registers, for
// designs of at most this many columns (an intercept and three covariates); wider designs take
// the column-by-column path above, which gives the same bits.
constexpr std::size_t kLaneColumns = 4;

using linalg::V4;

// Helpers on V4 write their result through a reference: a vector returned or passed by value
// would take a different calling convention in the AVX2 clones than in the baseline build.

// Up to kCellLanes cells of one comparison (lanes beyond `count` repeat cell 0 and are not
// stored), with scratch for the cohort's and the controls' net changes, lane by lane.
struct CellLanes {
  const Mat* y = nullptr;
  const Comparison* c = nullptr;
  std::span<const std::size_t> treated;
  std::span<const std::size_t> ctrl;
  std::array<CellPeriods, kCellLanes> at;
  std::size_t count = 0;
  std::size_t n_units = 0;
  CellFit* out = nullptr;
  V4* r_t = nullptr;  // n_T entries
  V4* r_c = nullptr;  // n_C entries
};

// x_i' b over the P design columns `cols` at row i, for each lane's b, summed from 0 in column
// order exactly as rows_times does.
template <std::size_t P>
inline void row_dot(const std::array<const double*, P>& cols, std::size_t i, const std::array<V4, P>& b, V4& s) {
  s = V4{};
  for (std::size_t k = 0; k < P; ++k) s += cols[k][i] * b[k];
}

// Each lane's change y(u, t_k) - y(u, b_k) of unit u.
inline void change(const std::array<const double*, 4>& now, const std::array<const double*, 4>& base,
                   std::size_t u, V4& r) {
  r = V4{now[0][u], now[1][u], now[2][u], now[3][u]} - V4{base[0][u], base[1][u], base[2][u], base[3][u]};
}

// The influence values of the lanes' cells from their net changes, stored cell by cell, and
// their effects and standard errors (see finish_cell).
template <std::size_t P, bool DoublyRobust>
void finish_cell_lanes(const CellLanes& a, const V4& eta_t, const V4& eta_c, const std::array<V4, P>& v) {
  const Comparison& c = *a.c;
  std::array<const double*, P> xt, xc;
  for (std::size_t k = 0; k < P; ++k) {
    xt[k] = c.design.col(k).data();
    xc[k] = xt[k] + c.n_t;
  }
  std::array<double*, kCellLanes> psi_t{}, psi_c{};
  for (std::size_t k = 0; k < a.count; ++k) {
    psi_t[k] = a.out[k].treated_influence.data();
    psi_c[k] = a.out[k].control_influence.data();
  }
  const double n = static_cast<double>(a.n_units);
  const double scale_t = n / static_cast<double>(c.n_t);
  const double scale_w = n / c.odds_sum;
  V4 sq = V4{};
  V4 xv;
  for (std::size_t i = 0; i < c.n_t; ++i) {
    row_dot<P>(xt, i, v, xv);
    const V4 psi = (a.r_t[i] - eta_t) * scale_t - (1.0 - c.p[i]) * xv * scale_w;
    for (std::size_t k = 0; k < a.count; ++k) psi_t[k][i] = psi[k];
    sq += psi * psi;
  }
  for (std::size_t i = 0; i < c.n_c; ++i) {
    const V4 r = a.r_c[i];
    const V4 dev = c.odds[i] * (r - eta_c);
    row_dot<P>(xc, i, v, xv);
    V4 psi = -(dev - c.p[c.n_t + i] * xv) * scale_w;
    if constexpr (DoublyRobust) psi += r * c.regression_effect[i];
    for (std::size_t k = 0; k < a.count; ++k) psi_c[k][i] = psi[k];
    sq += psi * psi;
  }
  for (std::size_t k = 0; k < a.count; ++k) {
    a.out[k].summary.att = eta_t[k] - eta_c[k];
    a.out[k].summary.se = std::sqrt(sq[k] / (n * n));
  }
}

// Each lane's solve of the factored system with right-hand side `rhs` (lane k: rhs[.][k]).
template <std::size_t P>
std::array<V4, P> solve_lanes(const Cholesky& chol, const std::array<V4, P>& rhs) {
  std::array<V4, P> out;
  for (std::size_t k = 0; k < kCellLanes; ++k) {
    std::array<double, P> b;
    for (std::size_t j = 0; j < P; ++j) b[j] = rhs[j][k];
    const std::vector<double> x = chol.solve_vec(b);
    for (std::size_t j = 0; j < P; ++j) out[j][k] = x[j];
  }
  return out;
}

// The cells as changes + net_of_regression + finish_cell compute them, side by side in five
// passes over the units with no other scratch: every value and every sum of a lane is formed
// by the same operations in the same order as there, so it has the same bits. P is the number
// of design columns.
template <std::size_t P, bool DoublyRobust>
void lane_cells(const CellLanes& a) {
  const Comparison& c = *a.c;
  std::array<const double*, kCellLanes> now, base;
  for (std::size_t k = 0; k < kCellLanes; ++k) {
    now[k] = a.y->col(a.at[k].period).data();
    base[k] = a.y->col(a.at[k].base).data();
  }
  std::array<const double*, P> xt, xc;
  for (std::size_t k = 0; k < P; ++k) {
    xt[k] = c.design.col(k).data();
    xc[k] = xt[k] + c.n_t;
  }
  const double* odds = c.odds.data();

  // Controls: changes and (doubly robust) X_C' r, then the outcome regression's coefficients.
  std::array<V4, P> beta{};
  if constexpr (DoublyRobust) {
    std::array<V4, P> xr{};
    for (std::size_t i = 0; i < c.n_c; ++i) {
      V4 r;
      change(now, base, a.ctrl[i], r);
      a.r_c[i] = r;
      for (std::size_t k = 0; k < P; ++k) xr[k] += r * xc[k][i];
    }
    beta = solve_lanes<P>(*c.gram, xr);
  }
  // Controls: net changes and their odds-weighted sum.
  V4 sum_c = V4{};
  for (std::size_t i = 0; i < c.n_c; ++i) {
    V4 r;
    if constexpr (DoublyRobust) {
      V4 fit;
      row_dot<P>(xc, i, beta, fit);
      r = a.r_c[i] - fit;
    } else {
      change(now, base, a.ctrl[i], r);
    }
    a.r_c[i] = r;
    sum_c += odds[i] * r;
  }
  // Treated: net changes and their sum.
  V4 sum_t = V4{};
  for (std::size_t i = 0; i < c.n_t; ++i) {
    V4 r;
    change(now, base, a.treated[i], r);
    if constexpr (DoublyRobust) {
      V4 fit;
      row_dot<P>(xt, i, beta, fit);
      r -= fit;
    }
    a.r_t[i] = r;
    sum_t += r;
  }
  const V4 eta_t = sum_t / static_cast<double>(c.n_t);
  const V4 eta_c = sum_c / c.odds_sum;
  // Controls: X_C' dev and the estimation effect v of the propensity score.
  std::array<V4, P> m{};
  for (std::size_t i = 0; i < c.n_c; ++i) {
    const V4 dev = odds[i] * (a.r_c[i] - eta_c);
    for (std::size_t k = 0; k < P; ++k) m[k] += dev * xc[k][i];
  }
  std::array<V4, P> v;
  for (std::size_t j = 0; j < P; ++j) {
    V4 s = V4{};
    for (std::size_t k = 0; k < P; ++k) s += c.info_inverse(j, k) * m[k];
    v[j] = s;
  }
  finish_cell_lanes<P, DoublyRobust>(a, eta_t, eta_c, v);
}

// The kernels for each design width, compiled for AVX2 as well where the CPU has it: lanes are
// different cells, so the wider registers change no result.
#define TESSARIX_LANE_CELLS(P)                                                                         \
  __attribute__((target_clones("avx2", "default"), flatten)) void lane_cells_dr##P(const CellLanes& a) { \
    lane_cells<P, true>(a);                                                                            \
  }                                                                                                    \
  __attribute__((target_clones("avx2", "default"), flatten)) void lane_cells_ipw##P(const CellLanes& a) { \
    lane_cells<P, false>(a);                                                                           \
  }
TESSARIX_LANE_CELLS(1)
TESSARIX_LANE_CELLS(2)
TESSARIX_LANE_CELLS(3)
TESSARIX_LANE_CELLS(4)
#undef TESSARIX_LANE_CELLS

// Runs the lanes' cells through the kernel for the comparison's design width; false when it
// is wider than kLaneColumns.
bool run_lanes(const CellLanes& a, bool doubly_robust) {
  using Kernel = void (*)(const CellLanes&);
  static constexpr std::array<Kernel, kLaneColumns> dr = {lane_cells_dr1, lane_cells_dr2, lane_cells_dr3, lane_cells_dr4};
  static constexpr std::array<Kernel, kLaneColumns> ipw = {lane_cells_ipw1, lane_cells_ipw2, lane_cells_ipw3, lane_cells_ipw4};
  const std::size_t p = a.c->design.cols();
  if (p == 0 || p > kLaneColumns) return false;
  (doubly_robust ? dr : ipw)[p - 1](a);
  return true;
}

}  // namespace

void propensity_cells(const Mat& y, const Mat* x, std::span<const std::size_t> treated,
                      std::span<const std::size_t> ctrl, std::span<const CellPeriods> periods,
                      EstMethod method, std::size_t n_units, std::span<CellFit> out) {
  require_eq(periods.size(), out.size(), "propensity_cells: one output per cell");
  if (treated.empty() || ctrl.empty()) invariant_failure("propensity_cells: a cell needs treated units and controls");
  std::vector<std::size_t> dropped;
  auto comparison = compare(x, treated, ctrl, method, n_units, dropped);
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (!comparison) {
      out[k].fault = comparison.error();
      continue;
    }
    out[k].dropped = dropped;
  }
  if (!comparison) return;
  const bool doubly_robust = method == EstMethod::DoublyRobust;
  const std::size_t p = comparison->design.cols();
  if (p >= 1 && p <= kLaneColumns) {
    // Default-initialised: every entry is written before it is read.
    const std::unique_ptr<V4[]> r_t(new V4[treated.size()]);
    const std::unique_ptr<V4[]> r_c(new V4[ctrl.size()]);
    for (std::size_t k0 = 0; k0 < out.size(); k0 += kCellLanes) {
      CellLanes lanes{&y, &*comparison, treated, ctrl, {}, std::min(kCellLanes, out.size() - k0), n_units,
                      out.data() + k0, r_t.get(), r_c.get()};
      for (std::size_t k = 0; k < kCellLanes; ++k) lanes.at[k] = periods[k0 + (k < lanes.count ? k : 0)];
      for (std::size_t k = 0; k < lanes.count; ++k) {
        lanes.out[k].treated_influence.resize(treated.size());
        lanes.out[k].control_influence.resize(ctrl.size());
      }
      run_lanes(lanes, doubly_robust);
    }
    return;
  }
  std::vector<double> scratch(treated.size() + ctrl.size());
  std::vector<double> dev(ctrl.size());
  for (std::size_t k = 0; k < out.size(); ++k) {
    changes(y, treated, periods[k], out[k].treated_influence);
    changes(y, ctrl, periods[k], out[k].control_influence);
    if (doubly_robust) net_of_regression(*comparison, out[k].treated_influence, out[k].control_influence, scratch);
    finish_cell(*comparison, doubly_robust, n_units, out[k], scratch, dev);
  }
}

}  // namespace tessarix::did::callaway
