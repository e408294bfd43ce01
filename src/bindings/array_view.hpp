// Read-only strided views of a caller's float64 array, and the one copy of such a view into
// an owned column-major matrix. Any layout is accepted (C order, Fortran order, slices,
// negative strides) because every access goes through the byte strides.
#pragma once

#include <cstddef>
#include <optional>
#include <cstring>

#include "linalg/matrix.hpp"

namespace tessarix::bindings {

using linalg::Mat;

// A rows x cols float64 view: element (i, j) is at base + i * stride[0] + j * stride[1].
struct ArrayView2 {
  const char* base = nullptr;
  std::size_t shape[2] = {0, 0};
  std::ptrdiff_t strides[2] = {0, 0};

  double at(std::size_t i, std::size_t j) const {
    double v;
    // memcpy: the buffer need not be aligned for double.
    std::memcpy(&v, base + static_cast<std::ptrdiff_t>(i) * strides[0] +
                        static_cast<std::ptrdiff_t>(j) * strides[1],
                sizeof v);
    return v;
  }
};

// A read-only view of a 1-D array of n elements of one type, element k at base + k * stride.
struct ArrayView1 {
  const char* base = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = 0;

  template <class V>
  V at(std::size_t k) const {
    V v;
    std::memcpy(&v, base + static_cast<std::ptrdiff_t>(k) * stride, sizeof v);
    return v;
  }
};

// An R x N x T float64 view (a stack of panels).
struct ArrayView3 {
  const char* base = nullptr;
  std::size_t shape[3] = {0, 0, 0};
  std::ptrdiff_t strides[3] = {0, 0, 0};

  double at(std::size_t r, std::size_t i, std::size_t j) const {
    double v;
    std::memcpy(&v, base + static_cast<std::ptrdiff_t>(r) * strides[0] +
                        static_cast<std::ptrdiff_t>(i) * strides[1] +
                        static_cast<std::ptrdiff_t>(j) * strides[2],
                sizeof v);
    return v;
  }
  // Replication r as a 2-D view.
  ArrayView2 slice(std::size_t r) const {
    return {base + static_cast<std::ptrdiff_t>(r) * strides[0], {shape[1], shape[2]},
            {strides[1], strides[2]}};
  }
};

// True when every element is finite; a contiguous view is scanned as one linear run in
// memory order, any other view element by element through its strides. Stops at the first
// non-finite element.
bool all_finite(const ArrayView2& v);

// Owned copy: element (i, j) goes to position j * rows + i; never aliases the view.
Mat mat_from_numpy(const ArrayView2& v);

// The same copy, none when an element is not finite: the test rides along the copy, so a
// large panel is read once instead of twice.
std::optional<Mat> finite_mat_from_numpy(const ArrayView2& v);

}  // namespace tessarix::bindings
