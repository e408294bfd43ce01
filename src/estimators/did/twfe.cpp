#include "estimators/did/twfe.hpp"

#include <cmath>
#include <vector>

#include "estimators/fe/within.hpp"
#include "estimators/scale.hpp"

namespace tessarix::did::twfe {

Mat treatment_matrix(const Panel& panel) {
  Mat d(panel.n_units(), panel.n_periods());
  const auto& starts = panel.treat_start();
  for (std::size_t t = 0; t < d.cols(); ++t) {
    const std::span<double> c = d.col(t);
    for (std::size_t u = 0; u < d.rows(); ++u) {
      if (starts[u] && t >= *starts[u]) c[u] = 1.0;
    }
  }
  return d;
}

namespace {

TwfeFit fit_in_range(const Panel& panel) {
  const Mat d = fe::two_way_within(treatment_matrix(panel));
  const Mat y = fe::two_way_within(panel.y());
  const std::size_t n = panel.n_units();

  double sxx = 0.0;
  double sxy = 0.0;
  const std::span<const double> dd = d.data();
  const std::span<const double> yy = y.data();
  for (std::size_t k = 0; k < dd.size(); ++k) {
    sxx += dd[k] * dd[k];
    sxy += dd[k] * yy[k];
  }
  TwfeFit out;
  out.n_clusters = n;
  out.att = sxx > 0.0 ? sxy / sxx : 0.0;

  // Cluster scores s_u = sum_t d[u,t] * (y[u,t] - att * d[u,t]), each over t ascending.
  std::vector<double> score(n, 0.0);
  for (std::size_t t = 0; t < d.cols(); ++t) {
    const std::span<const double> dc = d.col(t);
    const std::span<const double> yc = y.col(t);
    for (std::size_t u = 0; u < n; ++u) score[u] += dc[u] * (yc[u] - out.att * dc[u]);
  }
  double meat = 0.0;
  for (double s : score) meat += s * s;
  if (n > 1) meat = meat * static_cast<double>(n) / static_cast<double>(n - 1);
  out.se = sxx > 0.0 ? std::sqrt(meat / (sxx * sxx)) : 0.0;
  return out;
}

}  // namespace

TwfeFit fit(const Panel& panel) {
  // Squares of the scores overflow, or underflow to nothing, outside the ordinary range of
  // magnitudes; the coefficient and its SE are linear in the outcomes.
  return linear_fit_at_canonical_scale(panel, fit_in_range, [](TwfeFit& f, int e) {
    f.att = std::ldexp(f.att, e);
    f.se = std::ldexp(f.se, e);
  });
}

}  // namespace tessarix::did::twfe
