#include "estimators/fe/within.hpp"

#include <cstddef>

namespace tessarix::fe {

std::vector<double> time_means(const Mat& y) {
  const std::size_t n = y.rows();
  const double denom = static_cast<double>(n);
  std::vector<double> out(y.cols());
  for (std::size_t t = 0; t < y.cols(); ++t) {
    double s = 0.0;
    for (double v : y.col(t)) s += v;
    out[t] = s / denom;
  }
  return out;
}

std::vector<double> unit_means(const Mat& y) {
  const std::size_t n = y.rows();
  // Row sums accumulate period by period, which keeps each row's order t = 0, 1, ... while
  // reading the storage column by column.
  std::vector<double> out(n, 0.0);
  for (std::size_t t = 0; t < y.cols(); ++t) {
    const std::span<const double> c = y.col(t);
    for (std::size_t u = 0; u < n; ++u) out[u] += c[u];
  }
  const double inv = 1.0 / static_cast<double>(y.cols());
  for (double& v : out) v *= inv;
  return out;
}

Mat two_way_within(const Mat& y) {
  const std::size_t n = y.rows();
  const std::size_t t_count = y.cols();
  Mat out(n, t_count);
  if (out.empty()) return out;
  const std::vector<double> um = unit_means(y);
  const std::vector<double> tm = time_means(y);
  double total = 0.0;
  for (double v : y.data()) total += v;
  const double grand = total / static_cast<double>(n * t_count);
  for (std::size_t t = 0; t < t_count; ++t) {
    const std::span<const double> src = y.col(t);
    const std::span<double> dst = out.col(t);
    for (std::size_t u = 0; u < n; ++u) dst[u] = grand + (src[u] - um[u] - tm[t]);
  }
  return out;
}

}  // namespace tessarix::fe
