#include "estimators/sc/common.hpp"

#include <cmath>
#include <string>

#include "linalg/ops/matmul.hpp"

namespace tessarix::sc {

ScInputs prepare(const Panel& panel, std::size_t t0, const char* no_donor_message) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) invariant_failure("no treated units");
  if (t0 > panel.n_periods()) {
    invariant_failure("treatment time " + std::to_string(t0) + " beyond the last period " +
                      std::to_string(panel.n_periods()));
  }
  DonorBlock pre = panel.donor_pre(t0);
  if (pre.ids.empty()) invariant_failure(no_donor_message);
  ScInputs in;
  in.x0 = std::move(pre.mat);
  in.donor_ids = std::move(pre.ids);
  in.x1 = std::move(panel.donor_post(t0).mat);
  const std::vector<double> ybar = panel.unit_mean(treated);
  in.y_pre.assign(ybar.begin(), ybar.begin() + static_cast<std::ptrdiff_t>(t0));
  in.y_post.assign(ybar.begin() + static_cast<std::ptrdiff_t>(t0), ybar.end());
  return in;
}

std::vector<double> residual(std::span<const double> y, const Mat& x, std::span<const double> w) {
  std::vector<double> r = linalg::matvec(x, w);
  for (std::size_t t = 0; t < r.size(); ++t) r[t] = y[t] - r[t];
  return r;
}

ScFit assemble(std::span<const double> y_post, std::vector<double> counterfactual,
               std::vector<double> pre_residual, std::vector<double> weights,
               std::vector<std::size_t> donor_ids) {
  ScFit fit;
  fit.att_path.resize(y_post.size());
  for (std::size_t k = 0; k < y_post.size(); ++k) fit.att_path[k] = y_post[k] - counterfactual[k];
  fit.att = mean(fit.att_path);
  fit.pre_rmspe = rms(pre_residual);
  fit.pre_gap = std::move(pre_residual);
  fit.post_rmspe = rms(fit.att_path);
  fit.counterfactual = std::move(counterfactual);
  fit.treated_post.assign(y_post.begin(), y_post.end());
  fit.weights = std::move(weights);
  fit.donor_ids = std::move(donor_ids);
  return fit;
}

ScFit unscaled(ScFit fit, int e) {
  const auto back = [e](double v) { return std::ldexp(v, -e); };
  for (auto* path : {&fit.att_path, &fit.counterfactual, &fit.treated_post, &fit.pre_gap}) {
    for (double& v : *path) v = back(v);
  }
  fit.att = back(fit.att);
  fit.pre_rmspe = back(fit.pre_rmspe);
  fit.post_rmspe = back(fit.post_rmspe);
  return fit;
}

}  // namespace tessarix::sc
