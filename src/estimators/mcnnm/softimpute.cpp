#include "estimators/mcnnm/softimpute.hpp"

#include <algorithm>
#include <cmath>

#include "estimators/scale.hpp"
#include "estimators/sc/common.hpp"
#include "linalg/factor/spectral_norm.hpp"
#include "runtime/interrupt.hpp"
#include "linalg/ops/matmul.hpp"
#include "linalg/opt/softthresh.hpp"
#include "linalg/rng.hpp"

namespace tessarix::mcnnm {
namespace {

// Alternating means converge geometrically, slowly when a large block is missing; they stop
// once no effect moves by more than this share of the data's largest magnitude, which is
// well above the rounding noise of the means and well below any effect worth reporting.
constexpr double kFeRelTol = 1e-13;
// Cap on alternating-mean sweeps per update; generous, since warm starts need few.
constexpr std::size_t kMaxFeSweeps = 10000;
// Share of the observed cells held out to choose the penalty.
constexpr double kHoldOutShare = 0.2;
// Penalty when the fixed effects explain the observed cells exactly.
constexpr double kSmallestNormal = 2.2250738585072014e-308;
// Geometric grid of penalties from half to a hundredth of the top residual singular value.
constexpr std::size_t kGridSize = 10;
constexpr double kGridTop = 0.5;
constexpr double kGridBottom = 0.01;
constexpr double kGridExponents[kGridSize - 2] = {
    0.1111111111111111, 0.2222222222222222, 0.3333333333333333, 0.4444444444444444,
    0.5555555555555556, 0.6666666666666666, 0.7777777777777778, 0.8888888888888888};
// Smaller dimension from which thresholding goes through the Gram matrix's leading
// eigenpairs (linalg::svt_above): below it a warm-started Jacobi sweep or two over the whole
// matrix is cheaper (measured: 39 x 31 about 5x, 100 x 80 about 3x in favour of Jacobi;
// 500 x 200 SoftImpute iterates about 8x in favour of the Gram route).
constexpr std::size_t kGramMinDim = 128;
// The Gram of the iterates is tracked (IterateGram) while at most this share of the units
// have unobserved cells: their rows' Gram is recomputed on every iteration.
constexpr double kMaxPartialShare = 0.25;
// The tracked Gram's anchor moves when the effects' change since it reaches this share of the
// anchored rows' Frobenius norm: the correction then cancels at most a factor of about
// ((1 + 1/8) / (1 - 1/8))^2 = 1.65 of accuracy against forming the Gram afresh.
constexpr double kReanchorShare = 0.125;
// Warm-start path of the final fit from half the top singular value down to the penalty.
constexpr double kPathExponents[] = {0.25, 0.5, 0.75};

// What every sweep of one effect update reads: the sums of y - L over each unit's and each
// period's observed cells, their counts, the largest |y - L| observed (the scale the effects
// converge against), and each unit's and period's exceptional cells. Most rows and columns
// of a panel are fully observed, so a sweep works from these sums and touches only the
// exceptional cells instead of the whole panel: the effects of the other side summed over a
// row's observed cells are their total less the row's unobserved ones, or, when fewer of
// the row's cells are observed than not, the observed ones summed directly.
struct Exceptions {
  std::vector<std::size_t> start;  // row j lists index[start[j] .. start[j + 1])
  std::vector<std::size_t> index;
  std::vector<unsigned char> listed_observed;  // 1 = the list holds the observed cells
};

// The part that depends on the mask alone, shared by every effect update of a fit.
struct FeLayout {
  std::vector<std::size_t> unit_count, period_count;
  Exceptions unit_rows, period_rows;
};

// The part that moves with the low-rank fit.
struct FeSums {
  std::vector<double> unit_sum, period_sum;
  double scale = 0.0;
};

// sums[i] += y[i] - low[i] and big[i] = max(big[i], |y[i] - low[i]|) over the flagged i, for
// one period of the panel: the lanes of the vectorised loop are different units. An
// unflagged cell adds +0.0, which leaves a sum that started at +0.0 as it was.
__attribute__((target_clones("avx2", "default"))) void add_observed(
    std::size_t len, const double* y, const double* low, const unsigned char* flag,
    double* sums, double* big) {
  for (std::size_t i = 0; i < len; ++i) {
    const double r = flag[i] ? y[i] - low[i] : 0.0;
    sums[i] += r;
    big[i] = std::max(big[i], std::fabs(r));
  }
}

// Sum of y[i] - low[i] over the flagged i, in index order.
double observed_sum(std::size_t len, const double* y, const double* low,
                    const unsigned char* flag) {
  double s = 0.0;
  for (std::size_t i = 0; i < len; ++i) {
    if (flag[i]) s += y[i] - low[i];
  }
  return s;
}

// observed_sum for four consecutive periods (stride `len`) at once: four independent chains,
// each in index order, so their additions overlap while each sum keeps its bits.
void observed_sums4(std::size_t len, const double* y, const double* low,
                    const unsigned char* flag, double* out) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < len; ++i) {
    for (std::size_t p = 0; p < 4; ++p) {
      const std::size_t c = i + p * len;
      if (flag[c]) s[p] += y[c] - low[c];
    }
  }
  for (std::size_t p = 0; p < 4; ++p) out[p] = s[p];
}

// The exceptional cells of each of `rows` rows of `count` cells, where observed(j, k) says
// whether cell k of row j is observed and n_observed[j] how many are.
template <class Observed>
Exceptions exceptions(std::size_t rows, std::size_t count,
                      std::span<const std::size_t> n_observed, Observed observed) {
  Exceptions ex{std::vector<std::size_t>(rows + 1, 0), {}, std::vector<unsigned char>(rows, 0)};
  for (std::size_t j = 0; j < rows; ++j) {
    const bool list_observed = 2 * n_observed[j] < count;
    ex.listed_observed[j] = list_observed ? 1 : 0;
    if (n_observed[j] != count) {
      for (std::size_t k = 0; k < count; ++k) {
        if (observed(j, k) == list_observed) ex.index.push_back(k);
      }
    }
    ex.start[j + 1] = ex.index.size();
  }
  return ex;
}

FeLayout fe_layout(std::size_t n, std::size_t T, std::span<const unsigned char> mask) {
  FeLayout f{std::vector<std::size_t>(n, 0), std::vector<std::size_t>(T, 0), {}, {}};
  const unsigned char* pm = mask.data();
  for (std::size_t t = 0; t < T; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      f.unit_count[i] += pm[i + t * n];
      f.period_count[t] += pm[i + t * n];
    }
  }
  f.unit_rows = exceptions(n, T, f.unit_count,
                           [&](std::size_t i, std::size_t t) { return pm[i + t * n] != 0; });
  f.period_rows = exceptions(T, n, f.period_count,
                             [&](std::size_t t, std::size_t i) { return pm[i + t * n] != 0; });
  return f;
}

FeSums fe_sums(const Mat& y, std::span<const unsigned char> mask, const Mat& low) {
  const std::size_t n = y.rows(), T = y.cols();
  FeSums f{std::vector<double>(n, 0.0), std::vector<double>(T, 0.0), 0.0};
  const double *py = y.data().data(), *pl = low.data().data();
  const unsigned char* pm = mask.data();
  std::vector<double> big(n, 0.0);
  for (std::size_t t = 0; t < T; ++t) {
    add_observed(n, py + t * n, pl + t * n, pm + t * n, f.unit_sum.data(), big.data());
  }
  std::size_t t = 0;
  for (; t + 4 <= T; t += 4) {
    observed_sums4(n, py + t * n, pl + t * n, pm + t * n, f.period_sum.data() + t);
  }
  for (; t < T; ++t) f.period_sum[t] = observed_sum(n, py + t * n, pl + t * n, pm + t * n);
  for (double b : big) f.scale = std::max(f.scale, b);
  return f;
}

// New effects of one side: (sum of y - L over the row's observed cells - the other side's
// effects summed over them) / count, for every row with an observed cell. Returns the
// largest change.
double assign_means(std::span<const double> sums, std::span<const std::size_t> count,
                    const Exceptions& ex, std::span<const double> other,
                    std::vector<double>& effect) {
  double total = 0.0;
  for (double x : other) total += x;
  double moved = 0.0;
  for (std::size_t j = 0; j < effect.size(); ++j) {
    if (count[j] == 0) continue;
    double listed = 0.0;
    for (std::size_t p = ex.start[j]; p < ex.start[j + 1]; ++p) listed += other[ex.index[p]];
    const double over_observed = ex.listed_observed[j] ? listed : total - listed;
    const double a = (sums[j] - over_observed) / static_cast<double>(count[j]);
    moved = std::max(moved, std::fabs(a - effect[j]));
    effect[j] = a;
  }
  return moved;
}

// One sweep: unit effects given the period effects, then period effects given the new unit
// effects, each the mean over the observed cells. Returns the largest change of any effect.
double fe_sweep(const FeLayout& l, const FeSums& f, FitState& s) {
  const double moved = assign_means(f.unit_sum, l.unit_count, l.unit_rows, s.time_fe, s.unit_fe);
  return std::max(moved,
                  assign_means(f.period_sum, l.period_count, l.period_rows, s.unit_fe, s.time_fe));
}

// update_fe with the mask's layout already at hand.
void refit_fe(const Mat& y, std::span<const unsigned char> mask, const FeLayout& layout,
              FitState& state) {
  const FeSums f = fe_sums(y, mask, state.low_rank);
  const double tol = kFeRelTol * f.scale;
  for (std::size_t sweep = 0; sweep < kMaxFeSweeps; ++sweep) {
    if (fe_sweep(layout, f, state) <= tol) break;
  }
}

// z[i] = (y[i] - unit_fe[i]) - period_fe on the flagged i, fill[i] elsewhere, for one period
// of the panel: the lanes are different units, so the AVX2 clone gives the same bits.
__attribute__((target_clones("avx2", "default"))) void residual_period(
    std::size_t len, const double* y, const unsigned char* flag, const double* unit_fe,
    double period_fe, const double* fill, double* z) {
  for (std::size_t i = 0; i < len; ++i) z[i] = flag[i] ? (y[i] - unit_fe[i]) - period_fe : fill[i];
}

// z <- y - alpha - beta on the observed cells, `fill` elsewhere (every cell written).
void fe_residual_into(const Mat& y, std::span<const unsigned char> mask, const FitState& s,
                      const Mat& fill, Mat& z) {
  const std::size_t n = y.rows(), T = y.cols();
  for (std::size_t t = 0; t < T; ++t) {
    residual_period(n, y.data().data() + t * n, mask.data() + t * n, s.unit_fe.data(),
                    s.time_fe[t], fill.data().data() + t * n, z.data().data() + t * n);
  }
}

// Rows `units` of z, in that order.
Mat gather_rows(const Mat& z, std::span<const std::size_t> units) {
  Mat out(units.size(), z.cols());
  for (std::size_t t = 0; t < z.cols(); ++t) {
    const double* from = z.col(t).data();
    double* to = out.col(t).data();
    for (std::size_t r = 0; r < units.size(); ++r) to[r] = from[units[r]];
  }
  return out;
}

// One column of the lower triangle of the tracked Gram, from row j down:
// g = g0 - (p + p_j) - (q db_j + db q_j) + partial, the symmetric rank-four correction of
// IterateGram::of. Lanes are different entries, so the AVX2 clone gives the same bits.
__attribute__((target_clones("avx2", "default"))) void corrected_column(
    std::size_t len, const double* g0, const double* p, double pj, const double* q, double qj,
    const double* db, double dbj, const double* partial, double* g) {
  for (std::size_t i = 0; i < len; ++i) {
    g[i] = ((g0[i] - (p[i] + pj)) - (q[i] * dbj + db[i] * qj)) + partial[i];
  }
}

// The geometric penalty grid, largest first.
std::vector<double> penalty_grid(double sigma) {
  const double h = sigma * kGridTop;
  const double rho = (sigma * kGridBottom) / h;
  std::vector<double> g(kGridSize);
  g[0] = h;
  for (std::size_t k = 1; k + 1 < kGridSize; ++k) g[k] = h * std::pow(rho, kGridExponents[k - 1]);
  g[kGridSize - 1] = h * rho;
  return g;
}

// Mean squared error of the fitted state on the held-out cells.
double holdout_error(const Mat& y, std::span<const std::size_t> held, const FitState& s) {
  const std::size_t n = y.rows();
  const std::span<const double> yd = y.data(), ld = s.low_rank.data();
  double acc = 0.0;
  for (std::size_t c : held) {
    const double r = yd[c] - ld[c] - s.unit_fe[c % n] - s.time_fe[c / n];
    acc += r * r;
  }
  return acc / static_cast<double>(held.size());
}

// The final fit on all observed cells, warm-started down a short path when the penalty is
// far below the top residual singular value.
FitState final_fit(const Mat& y, std::span<const unsigned char> mask,
                   const McnnmOptions& options, double lambda) {
  const double sigma = sigma_max_fe_residual(y, mask);
  FitState state = FitState::zeros(y.rows(), y.cols());
  if (!(sigma > 0.0 && lambda < sigma / 2.0)) {
    return soft_impute_fe(y, mask, options, std::move(state), lambda);
  }
  const double r = sigma / 2.0;
  const double q = lambda / r;
  state = soft_impute_fe(y, mask, options, std::move(state), r);
  for (double p : kPathExponents) {
    const double step = p == 0.5 ? r * std::sqrt(q) : r * std::pow(q, p);
    state = soft_impute_fe(y, mask, options, std::move(state), step);
  }
  return soft_impute_fe(y, mask, options, std::move(state), r * q);
}

// The singular-value thresholding of the iterations of one fit, with what it carries from
// one iteration to the next: the randomized rank-capped one when asked for, otherwise the
// exact one by whichever route is cheaper for the shape, with the tracked Gram of the
// iterates when there is one.
struct Thresholding {
  std::optional<linalg::GaussianSketch> sketch;  // depends on the shape and seed alone
  std::optional<IterateGram> gram;
  // Consecutive iterates differ little: the Jacobi route starts from the previous rotation
  // and needs a sweep or two instead of a cold start's many, and the Gram route starts its
  // subspace iteration from the previous leading eigenvectors.
  Mat rotation, basis;

  static Thresholding make(const Mat& y, std::span<const unsigned char> mask,
                           const McnnmOptions& options) {
    Thresholding t;
    if (options.max_rank) {
      t.sketch = linalg::GaussianSketch::make(y.rows(), y.cols(), *options.max_rank,
                                              linalg::kSvtOversample, options.seed);
    } else {
      t.gram = IterateGram::make(mask, y.rows(), y.cols());
    }
    return t;
  }

  // The thresholded z, the iterate formed from `state`'s effects.
  Mat apply(const Mat& z, double lambda, const FitState& state) {
    if (sketch) return linalg::svt_truncated(z, *sketch, lambda).first;
    if (std::min(z.rows(), z.cols()) < kGramMinDim) {
      return linalg::svt_warm(z, lambda, rotation).first;
    }
    if (gram) {
      if (auto out = linalg::svt_above_gram(z, gram->of(z, state), lambda, basis)) {
        return std::move(out->first);
      }
    }
    return linalg::svt_above(z, lambda, rotation).first;
  }
};

// The effect paths and statistics of the fitted state for the treated units from t0 on.
ScFit effects(const Panel& panel, std::size_t t0, const FitState& s) {
  const Mat& y = panel.y();
  const std::size_t T = y.cols();
  const std::vector<std::size_t> treated = panel.treated_units();
  const double c = 1.0 / static_cast<double>(treated.size());
  ScFit fit;
  // The averaged treated residual over the pre-periods, summed as the post-period gaps are.
  fit.pre_gap.resize(t0);
  for (std::size_t t = 0; t < t0; ++t) {
    double gap = 0.0;
    for (std::size_t u : treated) gap += y(u, t) - (s.low_rank(u, t) + s.unit_fe[u] + s.time_fe[t]);
    fit.pre_gap[t] = c * gap;
  }
  for (std::size_t t = t0; t < T; ++t) {
    double obs = 0.0, cf = 0.0, gap = 0.0;
    for (std::size_t u : treated) {
      const double fitted = s.low_rank(u, t) + s.unit_fe[u] + s.time_fe[t];
      obs += y(u, t);
      cf += fitted;
      gap += y(u, t) - fitted;
    }
    fit.treated_post.push_back(c * obs);
    fit.counterfactual.push_back(c * cf);
    fit.att_path.push_back(c * gap);
  }
  fit.att = mean(fit.att_path);
  double pre = 0.0;
  for (std::size_t u : treated) {
    for (std::size_t t = 0; t < t0; ++t) {
      const double r = y(u, t) - s.low_rank(u, t) - s.unit_fe[u] - s.time_fe[t];
      pre += r * r;
    }
  }
  if (t0 > 0 && !treated.empty()) {
    fit.pre_rmspe = std::sqrt(pre / static_cast<double>(t0 * treated.size()));
  }
  const double n_post = static_cast<double>(std::max<std::size_t>(T - t0, 1));
  fit.post_rmspe = std::sqrt(sum_sq_dev(fit.att_path) / n_post);
  return fit;
}

}  // namespace

FitState FitState::zeros(std::size_t n_units, std::size_t n_periods) {
  return {Mat(n_units, n_periods), std::vector<double>(n_units, 0.0),
          std::vector<double>(n_periods, 0.0)};
}

std::optional<IterateGram> IterateGram::make(std::span<const unsigned char> mask,
                                             std::size_t n_units, std::size_t n_periods) {
  if (n_units < n_periods) return std::nullopt;
  IterateGram g;
  for (std::size_t i = 0; i < n_units; ++i) {
    bool all = true;
    for (std::size_t t = 0; t < n_periods && all; ++t) all = mask[i + t * n_units] != 0;
    (all ? g.complete_ : g.partial_).push_back(i);
  }
  if (static_cast<double>(g.partial_.size()) > kMaxPartialShare * static_cast<double>(n_units)) {
    return std::nullopt;
  }
  return g;
}

void IterateGram::anchor(const Mat& z, const FitState& state) {
  rows0_ = gather_rows(z, complete_);
  gram0_ = linalg::syrk_ata(rows0_);
  col_sums0_.assign(z.cols(), 0.0);
  const std::vector<double> ones(complete_.size(), 1.0);
  linalg::gemv_t(rows0_, ones, col_sums0_, 1.0, 0.0);
  double trace = 0.0;
  for (std::size_t t = 0; t < z.cols(); ++t) trace += gram0_(t, t);
  size0_ = std::sqrt(trace);
  unit_fe0_.resize(complete_.size());
  for (std::size_t r = 0; r < complete_.size(); ++r) unit_fe0_[r] = state.unit_fe[complete_[r]];
  time_fe0_ = state.time_fe;
  anchored_ = true;
}

Mat IterateGram::of(const Mat& z, const FitState& state) {
  const std::size_t T = z.cols(), m = complete_.size();
  // The complete rows are Z0 - D with D = da 1^T + 1 db^T: the effects' changes since the
  // anchor (Z = y - alpha - beta on them, so the changes enter with a minus sign).
  std::vector<double> da(m), db(T);
  double da_sq = 0.0, da_sum = 0.0, db_sq = 0.0;
  if (anchored_) {
    for (std::size_t r = 0; r < m; ++r) {
      da[r] = state.unit_fe[complete_[r]] - unit_fe0_[r];
      da_sq += da[r] * da[r];
      da_sum += da[r];
    }
    for (std::size_t t = 0; t < T; ++t) {
      db[t] = state.time_fe[t] - time_fe0_[t];
      db_sq += db[t] * db[t];
    }
  }
  const double change = std::sqrt(static_cast<double>(T) * da_sq) +
                        std::sqrt(static_cast<double>(m) * db_sq);  // bounds |D|_F
  if (!anchored_ || !(change <= kReanchorShare * size0_)) {
    anchor(z, state);
    std::fill(da.begin(), da.end(), 0.0);
    std::fill(db.begin(), db.end(), 0.0);
    da_sq = da_sum = 0.0;
  }
  // (Z0 - D)^T (Z0 - D) = G0 - p 1^T - 1 p^T - q db^T - db q^T with u = Z0^T da,
  // p = u - (1^T da) db - |da|^2 / 2 and q = Z0^T 1 - m db / 2.
  std::vector<double> u(T, 0.0), p(T), q(T);
  if (da_sq > 0.0) linalg::gemv_t(rows0_, da, u, 1.0, 0.0);
  for (std::size_t t = 0; t < T; ++t) {
    p[t] = (u[t] - da_sum * db[t]) - 0.5 * da_sq;
    q[t] = col_sums0_[t] - 0.5 * static_cast<double>(m) * db[t];
  }
  const Mat partial = linalg::syrk_ata(gather_rows(z, partial_));
  Mat g(T, T);
  for (std::size_t j = 0; j < T; ++j) {
    corrected_column(T - j, gram0_.col(j).data() + j, p.data() + j, p[j], q.data() + j, q[j],
                     db.data() + j, db[j], partial.col(j).data() + j, g.col(j).data() + j);
  }
  return g;
}

Mask observed_mask(const Panel& panel) {
  const std::size_t n = panel.n_units(), T = panel.n_periods();
  Mask mask(n * T, 1);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& start = panel.treat_start()[i];
    if (!start) continue;
    for (std::size_t t = std::min<std::size_t>(*start, T); t < T; ++t) mask[i + t * n] = 0;
  }
  return mask;
}

void update_fe(const Mat& y, std::span<const unsigned char> mask, FitState& state) {
  refit_fe(y, mask, fe_layout(y.rows(), y.cols(), mask), state);
}

double sigma_max_fe_residual(const Mat& y, std::span<const unsigned char> mask) {
  FitState state = FitState::zeros(y.rows(), y.cols());
  update_fe(y, mask, state);
  Mat z(y.rows(), y.cols());
  fe_residual_into(y, mask, state, Mat(y.rows(), y.cols()), z);
  return linalg::largest_singular_value(z);
}

FitState soft_impute_fe(const Mat& y, std::span<const unsigned char> mask,
                        const McnnmOptions& options, FitState state, double lambda) {
  const FeLayout layout = fe_layout(y.rows(), y.cols(), mask);
  Mat z(y.rows(), y.cols());
  Thresholding thresholding = Thresholding::make(y, mask, options);
  for (std::size_t it = 0; it < options.max_iter;) {
    // A fit with the penalty chosen by hold-out runs hundreds of iterations on a large panel.
    runtime::interruption_point();
    refit_fe(y, mask, layout, state);
    fe_residual_into(y, mask, state, state.low_rank, z);
    Mat next = thresholding.apply(z, lambda, state);
    double d = 0.0, s = 0.0;
    const std::span<const double> now = state.low_rank.data(), nd = next.data();
    for (std::size_t c = 0; c < now.size(); ++c) {
      d += (nd[c] - now[c]) * (nd[c] - now[c]);
      s += now[c] * now[c];
    }
    state.low_rank = std::move(next);
    if (s > 0.0 && std::sqrt(d / s) < options.tol) break;
    ++it;
    if (s == 0.0 && std::sqrt(d) < options.tol) break;
  }
  refit_fe(y, mask, layout, state);
  return state;
}

double choose_lambda(const Mat& y, std::span<const unsigned char> mask,
                     const McnnmOptions& options) {
  if (options.lambda) return *options.lambda;
  const double sigma = sigma_max_fe_residual(y, mask);
  if (!(sigma > 0.0)) return kSmallestNormal;
  const std::vector<double> grid = penalty_grid(sigma);

  linalg::Xoshiro256pp rng(options.seed);
  std::vector<unsigned char> train(mask.begin(), mask.end());
  std::vector<std::size_t> held;
  for (std::size_t c = 0; c < train.size(); ++c) {
    if (train[c] && rng.next_f64() < kHoldOutShare) {
      train[c] = 0;
      held.push_back(c);
    }
  }
  if (held.empty()) return grid[5];

  FitState state = FitState::zeros(y.rows(), y.cols());
  double best = grid[0], best_err = 0.0;
  for (std::size_t k = 0; k < grid.size(); ++k) {
    state = soft_impute_fe(y, train, options, std::move(state), grid[k]);
    const double err = holdout_error(y, held, state);
    if (k == 0 || err < best_err) {
      best = grid[k];
      best_err = err;
    }
  }
  return best;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const McnnmOptions& options) {
  // Squared changes and hold-out errors stay in range at the canonical scale; the penalty
  // is in outcome units and moves with the data.
  const int e = rescale_exponent(panel.y());
  const Panel scaled = e == 0 ? panel : rescaled(panel, e);
  McnnmOptions at_scale = options;
  if (options.lambda) at_scale.lambda = std::ldexp(*options.lambda, e);
  const Mask mask = observed_mask(scaled);
  const double lambda = choose_lambda(scaled.y(), mask, at_scale);
  const FitState state = final_fit(scaled.y(), mask, at_scale, lambda);
  ScFit fit = effects(scaled, t0, state);
  return e == 0 ? fit : sc::unscaled(std::move(fit), e);
}

}  // namespace tessarix::mcnnm
