#include "bindings/array_view.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tessarix::bindings {
namespace {

constexpr std::ptrdiff_t kItem = static_cast<std::ptrdiff_t>(sizeof(double));

// True when the view covers one gap-free run of memory (C or Fortran order).
bool contiguous(const ArrayView2& v) {
  const auto r = static_cast<std::ptrdiff_t>(v.shape[0]);
  const auto c = static_cast<std::ptrdiff_t>(v.shape[1]);
  const bool c_order = (c <= 1 || v.strides[1] == kItem) && (r <= 1 || v.strides[0] == c * kItem);
  const bool f_order = (r <= 1 || v.strides[0] == kItem) && (c <= 1 || v.strides[1] == r * kItem);
  return c_order || f_order;
}

}  // namespace

bool all_finite(const ArrayView2& v) {
  const std::size_t n = v.shape[0] * v.shape[1];
  if (n == 0) return true;
  if (contiguous(v)) {
    // Runs of values are tested without an early exit, so the test vectorises: x - x is 0 for
    // a finite x and NaN for an infinity or a NaN.
    constexpr std::size_t kRun = 1024;
    for (std::size_t k0 = 0; k0 < n; k0 += kRun) {
      const std::size_t k1 = std::min(n, k0 + kRun);
      bool bad = false;
      for (std::size_t k = k0; k < k1; ++k) {
        double x;
        std::memcpy(&x, v.base + static_cast<std::ptrdiff_t>(k) * kItem, sizeof x);
        bad |= !(x - x == 0.0);
      }
      if (bad) return false;
    }
    return true;
  }
  for (std::size_t i = 0; i < v.shape[0]; ++i) {
    for (std::size_t j = 0; j < v.shape[1]; ++j) {
      if (!std::isfinite(v.at(i, j))) return false;
    }
  }
  return true;
}

namespace {

// Copies rows i0 .. i1 - 1 of the view into column-major storage; returns false when an
// element is not finite (x - x is 0 for a finite x, NaN otherwise).
bool copy_rows(const ArrayView2& v, std::size_t i0, std::size_t i1, double* data) {
  const std::size_t rows = v.shape[0];
  bool bad = false;
  for (std::size_t j = 0; j < v.shape[1]; ++j) {
    const char* src = v.base + static_cast<std::ptrdiff_t>(j) * v.strides[1];
    double* dst = data + j * rows;
    for (std::size_t i = i0; i < i1; ++i) {
      double x;
      std::memcpy(&x, src + static_cast<std::ptrdiff_t>(i) * v.strides[0], sizeof x);
      dst[i] = x;
      bad |= !(x - x == 0.0);
    }
  }
  return !bad;
}

// A row-major panel is transposed eight rows at a time: the rows are read as one sequential
// run, and every column receives eight consecutive values, one cache line.
constexpr std::size_t kRowGroup = 8;
// Any other layout goes in blocks of rows, column by column within a block, so that the
// block's source rows stay in cache while every column reads them.
constexpr std::size_t kRowBlock = 256;

bool copy_row_groups(const ArrayView2& v, double* data) {
  const std::size_t rows = v.shape[0];
  const std::size_t groups = rows / kRowGroup * kRowGroup;
  bool bad = false;
  for (std::size_t i0 = 0; i0 < groups; i0 += kRowGroup) {
    const char* src = v.base + static_cast<std::ptrdiff_t>(i0) * v.strides[0];
    for (std::size_t j = 0; j < v.shape[1]; ++j) {
      double* dst = data + j * rows + i0;
      for (std::size_t k = 0; k < kRowGroup; ++k) {
        double x;
        std::memcpy(&x, src + static_cast<std::ptrdiff_t>(k) * v.strides[0] + static_cast<std::ptrdiff_t>(j) * kItem, sizeof x);
        dst[k] = x;
        bad |= !(x - x == 0.0);
      }
    }
  }
  return copy_rows(v, groups, rows, data) && !bad;
}

// Copies the view into column-major storage; false when an element is not finite.
bool copy_col_major(const ArrayView2& v, double* data) {
  if (v.strides[1] == kItem) return copy_row_groups(v, data);
  bool finite = true;
  for (std::size_t i0 = 0; i0 < v.shape[0]; i0 += kRowBlock) {
    finite &= copy_rows(v, i0, std::min(v.shape[0], i0 + kRowBlock), data);
  }
  return finite;
}

}  // namespace

Mat mat_from_numpy(const ArrayView2& v) {
  std::vector<double> data(v.shape[0] * v.shape[1]);
  copy_col_major(v, data.data());
  return Mat::from_col_major(v.shape[0], v.shape[1], std::move(data));
}

std::optional<Mat> finite_mat_from_numpy(const ArrayView2& v) {
  std::vector<double> data(v.shape[0] * v.shape[1]);
  if (!copy_col_major(v, data.data())) return std::nullopt;
  return Mat::from_col_major(v.shape[0], v.shape[1], std::move(data));
}

}  // namespace tessarix::bindings
