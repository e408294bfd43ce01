// Sensitivity of an event study to violations of parallel trends (Rambachan & Roth's honest
// confidence sets) for tessarix._core: robust intervals under relative magnitudes and under
// smoothness restrictions, from the event study's coefficients and covariance.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "bindings/core_api.hpp"
#include "bindings/declare.hpp"
#include "bindings/format.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pydict.hpp"
#include "inference/honest.hpp"
#include "linalg/factor/cholesky.hpp"

namespace tessarix::bindings {
namespace {

using inference::EventStudy;

// sigma must be symmetric to this share of its largest entry.
constexpr double kSymmetryTol = 1e-10;
// ... and positive semi-definite: Cholesky must succeed once this share of its largest diagonal
// entry is added to the diagonal (an eigenvalue below minus that share is a real defect).
constexpr double kPsdTol = 1e-10;
// Draws of the least-favourable critical value are moment vectors; their count per piece.
constexpr const char* kMethods = "'C-LF' or 'Conditional'";

[[noreturn]] void fail(const std::string& message) { throw UserError{message}; }

void check_finite(const std::vector<double>& v, const char* what) {
  for (double x : v) {
    if (!std::isfinite(x)) fail(std::string(what) + " must be finite");
  }
}

EventStudy checked_event_study(const char* fn, const std::vector<double>& betahat,
                               const ArrayView2& sigma, std::uint64_t num_pre, std::uint64_t num_post,
                               const std::optional<std::vector<double>>& l_vec) {
  const std::string where = std::string(fn) + ": ";
  if (num_pre < 2) fail(where + "at least two pre-periods are needed (got " + std::to_string(num_pre) + ")");
  if (num_post < 1) fail(where + "at least one post-period is needed");
  const std::size_t n = num_pre + num_post;
  if (betahat.size() != n) {
    fail(where + "betahat must have num_pre + num_post = " + std::to_string(n) + " entries (got " +
         std::to_string(betahat.size()) + ")");
  }
  check_finite(betahat, (where + "betahat").c_str());
  if (sigma.shape[0] != n || sigma.shape[1] != n) {
    fail(where + "sigma must be " + std::to_string(n) + " x " + std::to_string(n) + " (got " +
         std::to_string(sigma.shape[0]) + " x " + std::to_string(sigma.shape[1]) + ")");
  }
  EventStudy es;
  es.betahat = betahat;
  es.num_pre = num_pre;
  es.num_post = num_post;
  es.sigma = mat_from_numpy(sigma);
  double largest = 0.0, diag = 0.0;
  for (double x : es.sigma.data()) {
    if (!std::isfinite(x)) fail(where + "sigma must be finite");
    largest = std::fmax(largest, std::fabs(x));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!(es.sigma(i, i) > 0.0)) fail(where + "sigma must have a positive diagonal");
    diag = std::fmax(diag, es.sigma(i, i));
    for (std::size_t j = 0; j < i; ++j) {
      if (std::fabs(es.sigma(i, j) - es.sigma(j, i)) > kSymmetryTol * largest) fail(where + "sigma must be symmetric");
    }
  }
  if (!linalg::Cholesky::make_ridge(es.sigma, kPsdTol * diag)) fail(where + "sigma must be positive semi-definite");
  if (l_vec) {
    if (l_vec->size() != num_post) {
      fail(where + "l_vec must have num_post = " + std::to_string(num_post) + " entries (got " +
           std::to_string(l_vec->size()) + ")");
    }
    check_finite(*l_vec, (where + "l_vec").c_str());
    bool any = false;
    for (double x : *l_vec) any = any || x != 0.0;
    if (!any) fail(where + "l_vec must not be all zero");
    es.l = *l_vec;
  } else {
    es.l.assign(num_post, 0.0);
    es.l[0] = 1.0;
  }
  return es;
}

void check_grid(const char* fn, const char* name, const std::vector<double>& grid, bool allow_empty) {
  if (grid.empty() && !allow_empty) fail(std::string(fn) + ": " + name + " must not be empty");
  for (double x : grid) {
    if (!(std::isfinite(x) && x >= 0.0)) fail(std::string(fn) + ": " + name + " must be finite and non-negative");
  }
}

void check_alpha(const char* fn, double alpha) {
  if (!(alpha > 0.0 && alpha < 1.0)) fail(std::string(fn) + ": alpha must lie in (0, 1)");
}

PyObject* original_pair(const EventStudy& es, double alpha) {
  const auto [lo, hi] = inference::original_interval(es, alpha);
  return Py_BuildValue("(dd)", lo, hi);
}

// --- relative magnitudes -------------------------------------------------------------------

struct RmArgs {
  std::vector<double> betahat;
  ArrayView2 sigma;
  std::uint64_t num_pre = 0;
  std::uint64_t num_post = 0;
  std::vector<double> mbar;
  std::optional<std::vector<double>> l_vec;
  double alpha = 0.05;
  std::string method;
  std::uint64_t grid_points = 1000;
  std::optional<double> grid_lb;
  std::optional<double> grid_ub;
  std::optional<ArrayView3> draws;
};

const EntryPoint<RmArgs> rm_entry{
    "honest_relative_magnitude",
    "Robust confidence sets for l'tau_post under relative magnitudes Delta^RM(Mbar).\n"
    "\n"
    "`betahat` holds the event study's `num_pre` pre-period then `num_post` post-period\n"
    "coefficients (the reference period omitted), `sigma` their covariance; `l_vec` weights\n"
    "the post periods (default: the first). For each Mbar the set inverts ARP's test over\n"
    "`grid_points` values of theta from `grid_lb` to `grid_ub` (default: the identified\n"
    "set at that Mbar -/+ 20 (sd(l'betahat_post) + Mbar reach(l) sd of the largest pre-period\n"
    "difference)), as the union over which pre-period difference is the largest\n"
    "and its sign. `method` 'C-LF' (the least-favourable hybrid, kappa = alpha / 10) needs\n"
    "`draws`: per piece in the order of `honest_rm_draw_covariances`, a sims x dim block of\n"
    "draws from that piece's covariance (a 3-D array); 'Conditional' needs none.\n"
    "\n"
    "Returns a dict: `mbar`, `lower`, `upper` (NaN where no theta is accepted), `open`\n"
    "(the first or last grid point accepted) and `original` (the interval under exact\n"
    "parallel trends).",
    {TX_PARAM(RmArgs, betahat, kFloatList), TX_PARAM(RmArgs, sigma, kPanel),
     TX_PARAM(RmArgs, num_pre, kCount), TX_PARAM(RmArgs, num_post, kCount),
     TX_PARAM(RmArgs, mbar, kFloatList), TX_PARAM(RmArgs, l_vec, kFloatList, kNone),
     TX_PARAM(RmArgs, alpha, kReal, 0.05), TX_PARAM(RmArgs, method, kChoice, "C-LF"),
     TX_PARAM(RmArgs, grid_points, kCount, 1000), TX_PARAM(RmArgs, grid_lb, kReal, kNone),
     TX_PARAM(RmArgs, grid_ub, kReal, kNone), TX_PARAM(RmArgs, draws, kPanelStack, kNone)}};

// The moments of the post periods: both signs of each post-period first difference.
std::size_t draw_dim(const EventStudy& es) { return 2 * es.num_post; }

std::vector<Mat> checked_draws(const char* fn, const RmArgs& a, const EventStudy& es) {
  if (!a.draws) fail(std::string(fn) + ": method 'C-LF' needs draws (see honest_rm_draw_covariances)");
  const ArrayView3& d = *a.draws;
  const std::size_t pieces = inference::rm_pieces(es.num_pre) * a.mbar.size();
  if (d.shape[0] != pieces || d.shape[1] < 1 || d.shape[2] != draw_dim(es)) {
    fail(std::string(fn) + ": draws must be " + std::to_string(pieces) + " x sims x " +
         std::to_string(draw_dim(es)) + " (got " + std::to_string(d.shape[0]) + " x " +
         std::to_string(d.shape[1]) + " x " + std::to_string(d.shape[2]) + ")");
  }
  std::vector<Mat> out;
  for (std::size_t p = 0; p < pieces; ++p) {
    auto m = finite_mat_from_numpy(d.slice(p));
    if (!m) fail(std::string(fn) + ": draws must be finite");
    out.push_back(std::move(*m));
  }
  return out;
}

PyObject* py_rm(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const RmArgs a = rm_entry.parse(args, kwargs);
    const char* fn = "honest_relative_magnitude";
    const EventStudy es = checked_event_study(fn, a.betahat, a.sigma, a.num_pre, a.num_post, a.l_vec);
    check_grid(fn, "mbar", a.mbar, false);
    check_alpha(fn, a.alpha);
    inference::RmSettings st;
    if (a.method == "C-LF") st.method = inference::RmMethod::lf_hybrid;
    else if (a.method == "Conditional") st.method = inference::RmMethod::conditional;
    else fail(std::string(fn) + ": method must be " + kMethods + " (got '" + a.method + "')");
    if (a.grid_points < 2) fail(std::string(fn) + ": grid_points must be at least 2");
    for (const auto& g : {a.grid_lb, a.grid_ub}) {
      if (g && !std::isfinite(*g)) fail(std::string(fn) + ": grid_lb and grid_ub must be finite");
    }
    if (a.grid_lb && a.grid_ub && !(*a.grid_lb < *a.grid_ub)) fail(std::string(fn) + ": grid_lb must be below grid_ub");
    st.alpha = a.alpha;
    st.grid_points = a.grid_points;
    st.grid_lb = a.grid_lb;
    st.grid_ub = a.grid_ub;
    std::vector<Mat> draws;
    if (st.method == inference::RmMethod::lf_hybrid) draws = checked_draws(fn, a, es);
    std::vector<inference::HonestInterval> res;
    {
      ReleaseGil unlocked;
      res = inference::rm_intervals(es, a.mbar, st, draws);
    }
    std::vector<double> bound, lower, upper;
    std::vector<std::int64_t> open;
    for (const auto& iv : res) {
      bound.push_back(iv.bound);
      lower.push_back(iv.lower);
      upper.push_back(iv.upper);
      open.push_back(iv.open ? 1 : 0);
    }
    DictBuilder d;
    d.set("mbar", float64_array_from(std::move(bound)))
        .set("lower", float64_array_from(std::move(lower)))
        .set("upper", float64_array_from(std::move(upper)))
        .set("open", int64_array_from(std::move(open)))
        .set("original", original_pair(es, a.alpha));
    return d.release();
  });
}

struct CovArgs {
  ArrayView2 sigma;
  std::uint64_t num_pre = 0;
  std::uint64_t num_post = 0;
  std::vector<double> mbar;
};

const EntryPoint<CovArgs> cov_entry{
    "honest_rm_draw_covariances",
    "The covariance matrices the least-favourable hybrid of `honest_relative_magnitude`\n"
    "draws from: one per piece, in the order Mbar, then the position s of the largest\n"
    "pre-period difference (earliest first), then its sign (positive first); the moments of\n"
    "the post periods. Returns a 3-D array.",
    {TX_PARAM(CovArgs, sigma, kPanel), TX_PARAM(CovArgs, num_pre, kCount),
     TX_PARAM(CovArgs, num_post, kCount), TX_PARAM(CovArgs, mbar, kFloatList)}};

PyObject* py_cov(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const CovArgs a = cov_entry.parse(args, kwargs);
    const char* fn = "honest_rm_draw_covariances";
    const std::vector<double> zeros(a.num_pre + a.num_post, 0.0);
    const EventStudy es = checked_event_study(fn, zeros, a.sigma, a.num_pre, a.num_post, std::nullopt);
    check_grid(fn, "mbar", a.mbar, false);
    const std::vector<Mat> covs = inference::rm_draw_covariances(es, a.mbar);
    const std::size_t dim = draw_dim(es);
    std::vector<double> flat;
    flat.reserve(covs.size() * dim * dim);
    // C order: piece, row, column.
    for (const Mat& c : covs) {
      for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) flat.push_back(c(i, j));
      }
    }
    PyRef arr(float64_array_from(std::move(flat)));
    if (!arr) throw PyErrorSet{};
    PyRef shape(Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(covs.size()), static_cast<Py_ssize_t>(dim),
                              static_cast<Py_ssize_t>(dim)));
    if (!shape) throw PyErrorSet{};
    return PyObject_CallMethod(arr.get(), "reshape", "O", shape.get());
  });
}

// --- smoothness ----------------------------------------------------------------------------

struct SdArgs {
  std::vector<double> betahat;
  ArrayView2 sigma;
  std::uint64_t num_pre = 0;
  std::uint64_t num_post = 0;
  std::vector<double> m;
  std::optional<std::vector<double>> l_vec;
  double alpha = 0.05;
};

// Size of the default M grid, from 0 to the largest pre-period upper bound.
constexpr std::size_t kDefaultGridSize = 10;

const EntryPoint<SdArgs> sd_entry{
    "honest_smoothness",
    "Fixed-length confidence intervals for l'tau_post under smoothness Delta^SD(M).\n"
    "\n"
    "Arguments as for `honest_relative_magnitude`; `m` empty takes 10 values from 0 to the\n"
    "largest one-sided 95% upper bound on a pre-period second difference. For each M the\n"
    "interval is v'betahat -/+ chi, the affine estimator v (blind to linear trends) and its\n"
    "half-length chi = sd cv_alpha(worst bias / sd) minimising chi exactly.\n"
    "\n"
    "Returns a dict: `m`, `lower`, `upper`, `half_length`, `sd`, `worst_bias`, `weights`\n"
    "(one row of v per M) and `original`.",
    {TX_PARAM(SdArgs, betahat, kFloatList), TX_PARAM(SdArgs, sigma, kPanel),
     TX_PARAM(SdArgs, num_pre, kCount), TX_PARAM(SdArgs, num_post, kCount),
     TX_PARAM(SdArgs, m, kFloatList, kEmptyList), TX_PARAM(SdArgs, l_vec, kFloatList, kNone),
     TX_PARAM(SdArgs, alpha, kReal, 0.05)}};

PyObject* py_sd(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const SdArgs a = sd_entry.parse(args, kwargs);
    const char* fn = "honest_smoothness";
    const EventStudy es = checked_event_study(fn, a.betahat, a.sigma, a.num_pre, a.num_post, a.l_vec);
    check_grid(fn, "m", a.m, true);
    check_alpha(fn, a.alpha);
    std::vector<double> grid = a.m;
    if (grid.empty()) {
      // Default alpha of the grid's upper end is 0.05 whatever the intervals' level.
      const double top = std::fmax(inference::sd_default_m_max(es, 0.05), 0.0);
      for (std::size_t i = 0; i < kDefaultGridSize; ++i) {
        grid.push_back(i + 1 == kDefaultGridSize ? top : double(i) * (top / double(kDefaultGridSize - 1)));
      }
    }
    std::vector<inference::Flci> res;
    {
      ReleaseGil unlocked;
      res = inference::sd_flci(es, grid, a.alpha);
    }
    const std::size_t n = es.num_pre + es.num_post;
    std::vector<double> bound, lower, upper, half, sd, bias, weights(res.size() * n);
    for (std::size_t k = 0; k < res.size(); ++k) {
      bound.push_back(res[k].bound);
      lower.push_back(res[k].lower);
      upper.push_back(res[k].upper);
      half.push_back(res[k].half_length);
      sd.push_back(res[k].sd);
      bias.push_back(res[k].worst_bias);
      for (std::size_t i = 0; i < n; ++i) weights[k * n + i] = res[k].weights[i];
    }
    DictBuilder d;
    d.set("m", float64_array_from(std::move(bound)))
        .set("lower", float64_array_from(std::move(lower)))
        .set("upper", float64_array_from(std::move(upper)))
        .set("half_length", float64_array_from(std::move(half)))
        .set("sd", float64_array_from(std::move(sd)))
        .set("worst_bias", float64_array_from(std::move(bias)))
        .set("weights", float64_array2_from(std::move(weights), res.size(), n))
        .set("original", original_pair(es, a.alpha));
    return d.release();
  });
}

}  // namespace

std::vector<PyMethodDef> core_honest_functions() {
  return {method_def(rm_entry.signature(), py_rm), method_def(cov_entry.signature(), py_cov),
          method_def(sd_entry.signature(), py_sd)};
}

}  // namespace tessarix::bindings
