#include "geo/power.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <variant>

#include "estimators/scale.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"
#include "inference/ci.hpp"
#include "linalg/error.hpp"
#include "linalg/ops/order.hpp"
#include "runtime/parallel.hpp"

// Every analysis runs on the panel at its canonical scale (estimators/scale), where no sum or
// square of outcomes overflows or vanishes and the absolute floors below mean the same for a
// panel and its power-of-two multiples; the results in outcome units are scaled back.
//
// Every window is fitted once, without lift. An injected lift multiplies only the treated
// markets' test-period values, while every estimator of the family builds its counterfactual
// from the pre-period and the donors alone; so the lifted estimate of a window is its
// treated mean path over the test period, recomputed with the lift, minus the counterfactual
// of the one fit. That is the estimate a fresh fit of the lifted panel returns, to rounding.

namespace tessarix::geo {
namespace {

// Relative estimates are undefined for treated markets whose mean level is this close to 0
// (at the canonical scale, where the largest outcome is at least 1).
constexpr double kLevelFloor = 2.220446049250313e-13;
// Quantiles of the estimated lift: alpha / 2 and 1 - alpha / 2.
constexpr double kHalf = 0.5;

// Window starts and the treated markets' baseline level.
struct Layout {
  std::vector<std::size_t> starts;
  double level = 0.0;  // mean over the treated markets of their mean outcome
  double total = 0.0;  // sum over the treated markets of their mean outcome
};

Layout layout(const Mat& y, std::span<const std::size_t> treated, const PowerSettings& s) {
  const std::size_t t_count = y.cols();
  if (s.test_len < 1 || s.test_len >= t_count) invariant_failure("test_len out of range");
  const std::size_t p = std::max<std::size_t>(s.min_pre, 1);
  if (t_count - s.test_len < p) {
    invariant_failure("not enough periods for the requested pre-window + test_len");
  }
  Layout out;
  for (std::size_t st = p; st <= t_count - s.test_len; ++st) out.starts.push_back(st);
  if (s.lookback) {
    const std::size_t keep = std::max<std::size_t>(*s.lookback, 1);
    if (keep < out.starts.size()) out.starts.erase(out.starts.begin(), out.starts.end() - static_cast<std::ptrdiff_t>(keep));
  }
  for (std::size_t u : treated) {
    double sum = 0.0;
    for (std::size_t t = 0; t < t_count; ++t) sum += y(u, t);
    out.total += sum / static_cast<double>(t_count);
  }
  out.level = out.total / static_cast<double>(std::max<std::size_t>(treated.size(), 1));
  return out;
}

// One method's fit of one window without lift: its estimate and counterfactual test path.
struct WindowFit {
  double att = 0.0;
  std::vector<double> counterfactual;
};

// The canonical-scale exponent of the window panel ending at period `end` (exclusive): that of
// y's first `end` columns, which are contiguous.
int window_exponent(const Mat& y, std::size_t end) {
  return binade_shift(y.data().first(y.rows() * end), 0, kMaxOrdinaryExp);
}

// The rows and columns `keep` (ascending) of g.
Mat sub_block(const Mat& g, std::span<const std::size_t> keep) {
  Mat out(keep.size(), keep.size());
  for (std::size_t c = 0; c < keep.size(); ++c) {
    const std::span<const double> src = g.col(keep[c]);
    const std::span<double> dst = out.col(c);
    for (std::size_t r = 0; r < keep.size(); ++r) dst[r] = src[keep[r]];
  }
  return out;
}

// What the window fits of one member for one candidate share: the search's Gram matrices
// (or none) and, for SDID, the candidate's time Gram for each canonical scale its windows
// have, the one of the latest window at that scale, whose leading blocks serve the others.
struct MemberGrams {
  const SharedGrams* shared = nullptr;
  std::vector<std::pair<int, Mat>> time;

  const Mat* time_at(int e) const {
    for (const auto& [ex, g] : time) {
      if (ex == e) return &g;
    }
    return nullptr;
  }
};

MemberGrams member_grams(const Mat& y, std::span<const std::size_t> treated, std::span<const std::size_t> starts,
                         std::size_t test_len, const sc::Method& method, const SharedGrams* shared) {
  MemberGrams out{shared, {}};
  if (!std::holds_alternative<sc::sdid::SdidOptions>(method.options) || starts.empty()) return out;
  // Starts ascend, so the exponents of later windows never exceed those of earlier ones.
  for (std::size_t w = starts.size(); w-- > 0;) {
    const int e = window_exponent(y, starts[w] + test_len);
    if (out.time_at(e) != nullptr) continue;
    const Panel panel = injected_subpanel(y, treated, starts[w], starts[w] + test_len, 0.0);
    out.time.emplace_back(e, sc::sdid::time_gram(panel, starts[w]));
  }
  return out;
}

WindowFit fit_window(const Mat& y, std::span<const std::size_t> treated, std::size_t start,
                     const PowerSettings& s, const sc::Method& method, const MemberGrams& grams) {
  const std::size_t test_len = s.test_len;
  const Panel panel = injected_subpanel(y, treated, start, start + test_len, 0.0, s.predictors);
  const Mat* shared = grams.shared != nullptr ? grams.shared->at(start) : nullptr;
  ScFit fit;
  if (const auto* sdid = std::get_if<sc::sdid::SdidOptions>(&method.options)) {
    const Mat unit = shared != nullptr ? sub_block(*shared, panel.never_treated_units()) : Mat{};
    const sc::sdid::SdidGrams g{shared != nullptr ? &unit : nullptr,
                                grams.time_at(window_exponent(y, start + test_len))};
    fit = sc::sdid::fit_at(panel, start, *sdid, g);
  } else if (const auto* sc = std::get_if<sc::synthetic::ScOptions>(&method.options); sc != nullptr && shared != nullptr) {
    fit = sc::synthetic::fit_at(panel, start, *sc, sub_block(*shared, panel.never_treated_units()));
  } else {
    fit = method.fit_at(panel, start);
  }
  return {fit.att, std::move(fit.counterfactual)};
}

// The window's estimate on the panel lifted by `lift`: the treated mean over the test period,
// formed as a fit forms it from the lifted values, minus the fitted counterfactual.
double lifted_estimate(const Mat& y, std::span<const std::size_t> treated, std::size_t start,
                       const WindowFit& fit, double lift) {
  if (lift == 0.0) return fit.att;
  const double factor = 1.0 + lift;
  const double inv = 1.0 / static_cast<double>(treated.size());
  double total = 0.0;
  for (std::size_t k = 0; k < fit.counterfactual.size(); ++k) {
    double sum = 0.0;
    for (std::size_t u : treated) sum += y(u, start + k) * factor;
    total += sum * inv - fit.counterfactual[k];
  }
  return total / static_cast<double>(fit.counterfactual.size());
}

// The values sorted by the IEEE total order, so that a NaN estimate never stops the sort.
std::vector<double> total_order_sorted(std::vector<double> v) {
  linalg::sort_total_order(v);
  return v;
}

double critical_value(std::span<const double> null, double alpha) {
  std::vector<double> a(null.size());
  for (std::size_t w = 0; w < null.size(); ++w) a[w] = std::fabs(null[w]);
  return inference::quantile_sorted(total_order_sorted(std::move(a)), 1.0 - alpha);
}

PowerPoint point(double lift, std::span<const double> est, double crit, double level, double alpha) {
  PowerPoint pt;
  pt.lift = lift;
  const auto n = static_cast<double>(est.size());
  std::size_t detected = 0;
  for (double e : est) detected += std::fabs(e) > crit ? 1 : 0;
  pt.power = static_cast<double>(detected) / n;
  std::vector<double> r(est.size());
  for (std::size_t w = 0; w < est.size(); ++w) {
    r[w] = std::fabs(level) <= kLevelFloor ? std::nan("") : est[w] / level;
  }
  pt.est_mean = mean(r);
  if (r.size() == 1) {
    pt.est_lo = pt.est_hi = r[0];
  } else {
    const std::vector<double> sorted = total_order_sorted(r);
    pt.est_lo = inference::quantile_sorted(sorted, alpha * kHalf);
    pt.est_hi = inference::quantile_sorted(sorted, 1.0 - alpha * kHalf);
  }
  return pt;
}

// The smallest lift reaching the target power, interpolated linearly between the two points
// around it. The points are scanned by ascending lift whatever order they were given in.
std::optional<double> minimum_detectable(std::span<const PowerPoint> points, double target) {
  std::vector<std::size_t> order(points.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return points[a].lift < points[b].lift; });
  for (std::size_t i = 0; i < order.size(); ++i) {
    const PowerPoint& k = points[order[i]];
    if (!(k.power >= target)) continue;
    if (i == 0) return k.lift;
    const PowerPoint& before = points[order[i - 1]];
    if (k.power > before.power) {
      return before.lift + (target - before.power) / (k.power - before.power) * (k.lift - before.lift);
    }
    return k.lift;
  }
  return std::nullopt;
}

// The power record from each window's estimate at every lift (est[l][w]).
PowerResult curve(std::span<const double> lifts, const std::vector<std::vector<double>>& est,
                  std::span<const double> null, const Layout& lay, const PowerSettings& s) {
  PowerResult out;
  out.n_windows = null.size();
  out.critical_value = critical_value(null, s.alpha);
  out.se_null = inference::sample_sd(null);
  for (std::size_t l = 0; l < lifts.size(); ++l) {
    out.points.push_back(point(lifts[l], est[l], out.critical_value, lay.level, s.alpha));
  }
  out.mde_pct = minimum_detectable(out.points, s.target_power);
  if (out.mde_pct) {
    out.mde_abs_per_period = lay.level * *out.mde_pct;
    out.mde_cumulative = lay.total * *out.mde_pct * static_cast<double>(s.test_len);
  }
  return out;
}

// Inverse-variance weights 1 / (eps + v_k), formed as ratios to the largest so that no raw
// weight overflows; equal weights when no member's estimates vary.
std::vector<double> inverse_variance_weights(std::span<const double> variances) {
  const auto k = static_cast<double>(variances.size());
  double total = 0.0;
  for (double v : variances) total += v;
  // A floor relative to the members' typical variance, so a member with none does not take
  // all the weight through a division by zero.
  constexpr double kRelativeFloor = 1e-6;
  constexpr double kAbsoluteFloor = 2.2250738585072014e-308;
  const double eps = total / k * kRelativeFloor + kAbsoluteFloor;
  const double smallest = eps + *std::min_element(variances.begin(), variances.end());
  std::vector<double> raw(variances.size());
  for (std::size_t j = 0; j < raw.size(); ++j) raw[j] = smallest / (eps + variances[j]);
  return normalize_weights(raw);
}

// The windows of one analysis fitted without lift: fits[w * K + k] is member k of K on
// window w (a single method is an ensemble of one).
struct NullWindows {
  Layout lay;
  std::size_t k_count = 1;
  std::vector<WindowFit> fits;
};

NullWindows null_windows(const Mat& y, std::span<const std::size_t> treated,
                         std::span<const sc::MethodEntry* const> members, const PowerSettings& s,
                         const SharedGrams* shared = nullptr) {
  NullWindows out{layout(y, treated, s), members.size(), {}};
  std::vector<sc::Method> fitted;
  for (const sc::MethodEntry* m : members) fitted.push_back(windowed_method(*m, s));
  const std::size_t k_count = out.k_count;
  const std::vector<std::size_t>& starts = out.lay.starts;
  std::vector<MemberGrams> grams;
  for (const sc::Method& m : fitted) grams.push_back(member_grams(y, treated, starts, s.test_len, m, shared));
  out.fits = runtime::par_map_indexed(starts.size() * k_count, [&](std::size_t i) {
    const std::size_t k = i % k_count;
    return fit_window(y, treated, starts[i / k_count], s, fitted[k], grams[k]);
  });
  return out;
}

// A single method's estimate of every window without lift.
std::vector<double> single_null(const NullWindows& nw) {
  std::vector<double> null(nw.fits.size());
  for (std::size_t w = 0; w < nw.fits.size(); ++w) null[w] = nw.fits[w].att;
  return null;
}

// The ensemble's member weights: the given ones normalised, or inverse-variance weights from
// the spread of each member's no-lift estimates over the windows.
std::vector<double> member_weights(const NullWindows& nw, const std::optional<std::vector<double>>& weights) {
  const std::size_t k_count = nw.k_count;
  const std::size_t n = nw.lay.starts.size();
  if (weights) {
    if (weights->size() != k_count) invariant_failure("one ensemble weight per member");
    return normalize_weights(*weights);
  }
  std::vector<double> variances(k_count, 0.0);
  for (std::size_t k = 0; k < k_count; ++k) {
    std::vector<double> att(n);
    for (std::size_t i = 0; i < n; ++i) att[i] = nw.fits[i * k_count + k].att;
    variances[k] = n > 1 ? sum_sq_dev(att) / static_cast<double>(n - 1) : 0.0;
  }
  return inverse_variance_weights(variances);
}

// The ensemble's estimate of every window at `lift`: the members' estimates weighted by w.
std::vector<double> combined_estimates(const Mat& y, std::span<const std::size_t> treated,
                                       const NullWindows& nw, std::span<const double> w, double lift) {
  const std::size_t k_count = nw.k_count;
  std::vector<double> out(nw.lay.starts.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    double c = 0.0;
    for (std::size_t k = 0; k < k_count; ++k) {
      c += w[k] * lifted_estimate(y, treated, nw.lay.starts[i], nw.fits[i * k_count + k], lift);
    }
    out[i] = c;
  }
  return out;
}

// The result with each field in outcome units multiplied by 2^-e; lifts, powers, relative
// estimates and weights are scale-free.
PowerResult unscaled(PowerResult r, int e) {
  const auto back = [e](double v) { return std::ldexp(v, -e); };
  r.critical_value = back(r.critical_value);
  r.se_null = back(r.se_null);
  if (r.mde_abs_per_period) r.mde_abs_per_period = back(*r.mde_abs_per_period);
  if (r.mde_cumulative) r.mde_cumulative = back(*r.mde_cumulative);
  return r;
}

PowerWindows unscaled(PowerWindows w, int e) {
  for (double& v : w.null_att) v = std::ldexp(v, -e);
  return w;
}

}  // namespace

SharedGrams::SharedGrams(const Mat& y, const sc::MethodEntry& method, const PowerSettings& s)
    : y_(y), test_len_(s.test_len) {
  const Layout lay = layout(y, {}, s);
  if (lay.starts.empty()) return;
  const sc::Method windowed = windowed_method(method, s);
  const Kind kind = std::holds_alternative<sc::sdid::SdidOptions>(windowed.options)        ? Kind::Centred
                    : std::holds_alternative<sc::synthetic::ScOptions>(windowed.options) ? Kind::Plain
                                                                                          : Kind::None;
  const std::size_t n = y.rows();
  const double bytes = static_cast<double>(n) * static_cast<double>(n) * sizeof(double) *
                       static_cast<double>(lay.starts.size());
  if (kind == Kind::None || bytes > static_cast<double>(kSharedGramBudget)) return;
  kind_ = kind;
  first_ = lay.starts.front();
  count_ = lay.starts.size();
  once_ = std::make_unique<std::once_flag[]>(count_);
  grams_ = std::make_unique<Mat[]>(count_);
}

const Mat* SharedGrams::at(std::size_t start) const {
  if (kind_ == Kind::None || start < first_ || start - first_ >= count_) return nullptr;
  const std::size_t w = start - first_;
  std::call_once(once_[w], [&] {
    // The window's periods at its canonical scale, as the window's fit sees them.
    const std::size_t end = start + test_len_;
    Mat window(y_.rows(), end);
    const std::span<const double> src = y_.data().first(y_.rows() * end);
    std::copy(src.begin(), src.end(), window.data().begin());
    window = rescaled(std::move(window), window_exponent(y_, end));
    grams_[w] = kind_ == Kind::Centred ? sc::sdid::unit_gram(window, start) : sc::synthetic::gram_over(window, start);
  });
  return &grams_[w];
}

sc::Method windowed_method(const sc::MethodEntry& member, const PowerSettings& s) {
  return {member.options({.min_weight = s.min_weight, .max_weight = s.max_weight})};
}

Panel injected_subpanel(const Mat& y, std::span<const std::size_t> treated, std::size_t s,
                        std::size_t e, double lift, const Mat* predictors) {
  Mat sub(y.rows(), e);
  for (std::size_t t = 0; t < e; ++t) {
    const std::span<const double> src = y.col(t);
    std::copy(src.begin(), src.end(), sub.col(t).begin());
  }
  if (lift != 0.0) {
    const double factor = 1.0 + lift;
    for (std::size_t u : treated) {
      for (std::size_t t = s; t < e; ++t) sub(u, t) = y(u, t) * factor;
    }
  }
  Panel panel = Panel::block(std::move(sub), treated, s);
  if (predictors == nullptr) return panel;
  return std::move(panel).with_covariates(Mat(*predictors));
}

std::vector<double> normalize_weights(std::span<const double> w) {
  std::vector<double> out(w.begin(), w.end());
  for (double& v : out) {
    if (!(v >= 0.0)) v = 0.0;
  }
  if (out.empty()) return out;
  double sum = 0.0;
  for (double v : out) sum += v;
  if (!std::isfinite(sum)) {
    // Weights near the top of the double range: compare them to the largest instead.
    const double big = *std::max_element(out.begin(), out.end());
    for (double& v : out) v = std::isinf(big) ? (std::isinf(v) ? 1.0 : 0.0) : v / big;
    sum = 0.0;
    for (double v : out) sum += v;
  }
  if (sum > 0.0) {
    for (double& v : out) v /= sum;
  } else {
    for (double& v : out) v = 1.0 / static_cast<double>(out.size());
  }
  return out;
}

PowerResult power_curve(const Mat& outcomes, std::span<const std::size_t> treated,
                        std::span<const double> lifts, const sc::MethodEntry& method,
                        const PowerSettings& s) {
  return power_curve(outcomes, treated, lifts, method, s, nullptr);
}

PowerResult power_curve(const Mat& outcomes, std::span<const std::size_t> treated,
                        std::span<const double> lifts, const sc::MethodEntry& method,
                        const PowerSettings& s, const SharedGrams* shared) {
  return on_canonical_scale(outcomes, [&](const Mat& y, int e) {
    const sc::MethodEntry* const member = &method;
    // The shared Gram matrices are those of the panel at its canonical scale.
    const NullWindows nw = null_windows(y, treated, {&member, 1}, s, e == 0 ? shared : nullptr);
    const std::vector<double> null = single_null(nw);
    std::vector<std::vector<double>> est(lifts.size(), std::vector<double>(nw.fits.size()));
    for (std::size_t l = 0; l < lifts.size(); ++l) {
      for (std::size_t w = 0; w < nw.fits.size(); ++w) {
        est[l][w] = lifted_estimate(y, treated, nw.lay.starts[w], nw.fits[w], lifts[l]);
      }
    }
    PowerResult out = curve(lifts, est, null, nw.lay, s);
    out.method = method.display;
    return unscaled(std::move(out), e);
  });
}

PowerResult power_curve_ensemble(const Mat& outcomes, std::span<const std::size_t> treated,
                                 std::span<const double> lifts,
                                 std::span<const sc::MethodEntry* const> members,
                                 std::optional<std::vector<double>> weights,
                                 const PowerSettings& s) {
  if (members.empty()) invariant_failure("ensemble needs at least one member");
  return on_canonical_scale(outcomes, [&](const Mat& y, int e) {
    const NullWindows nw = null_windows(y, treated, members, s);
    const std::vector<double> w = member_weights(nw, weights);
    const std::vector<double> null = combined_estimates(y, treated, nw, w, 0.0);
    std::vector<std::vector<double>> est;
    for (double lift : lifts) est.push_back(lift == 0.0 ? null : combined_estimates(y, treated, nw, w, lift));
    PowerResult out = curve(lifts, est, null, nw.lay, s);
    out.method = kEnsembleName;
    out.ensemble_weights = w;
    return unscaled(std::move(out), e);
  });
}

PowerWindows power_windows(const Mat& outcomes, std::span<const std::size_t> treated,
                           const sc::MethodEntry& method, const PowerSettings& s) {
  return on_canonical_scale(outcomes, [&](const Mat& y, int e) {
    const sc::MethodEntry* const member = &method;
    NullWindows nw = null_windows(y, treated, {&member, 1}, s);
    return unscaled(PowerWindows{std::move(nw.lay.starts), single_null(nw), std::nullopt}, e);
  });
}

PowerWindows power_windows_ensemble(const Mat& outcomes, std::span<const std::size_t> treated,
                                    std::span<const sc::MethodEntry* const> members,
                                    std::optional<std::vector<double>> weights,
                                    const PowerSettings& s) {
  if (members.empty()) invariant_failure("ensemble needs at least one member");
  return on_canonical_scale(outcomes, [&](const Mat& y, int e) {
    NullWindows nw = null_windows(y, treated, members, s);
    std::vector<double> w = member_weights(nw, weights);
    std::vector<double> null = combined_estimates(y, treated, nw, w, 0.0);
    return unscaled(PowerWindows{std::move(nw.lay.starts), std::move(null), std::move(w)}, e);
  });
}

}  // namespace tessarix::geo
