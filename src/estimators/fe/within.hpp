// Two-way within (demeaning) transform: removes unit and period fixed effects from an
// N x T matrix, y[u,t] - unit_mean[u] - time_mean[t] + grand_mean.
#pragma once

#include <vector>

#include "linalg/matrix.hpp"

namespace tessarix::fe {

using linalg::Mat;

// Per-period means over the units (column sums / N); NaN entries when N = 0.
std::vector<double> time_means(const Mat& y);
// Per-unit means over the periods (row sums * 1/T); NaN entries when T = 0.
std::vector<double> unit_means(const Mat& y);
// The two-way demeaned matrix, same shape and layout as y.
Mat two_way_within(const Mat& y);

}  // namespace tessarix::fe
