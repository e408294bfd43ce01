#include "linalg/matrix.hpp"

#include <string>
#include <utility>

namespace tessarix::linalg {

Mat Mat::identity(std::size_t n) {
  Mat m(n, n);
  for (std::size_t i = 0; i < n; ++i) m.data_[i * n + i] = 1.0;
  return m;
}

Mat Mat::from_col_major(std::size_t rows, std::size_t cols, std::vector<double> data) {
  require_eq(data.size(), rows * cols, "Mat::from_col_major: data length != rows * cols");
  Mat m;
  m.data_ = std::move(data);
  m.rows_ = rows;
  m.cols_ = cols;
  return m;
}

std::vector<double> Mat::into_data() && {
  rows_ = 0;
  cols_ = 0;
  return std::move(data_);
}

Mat Mat::leading_cols(std::size_t k) const {
  if (k > cols_) [[unlikely]] out_of_range(0, k - 1);
  const auto end = data_.begin() + static_cast<std::ptrdiff_t>(rows_ * k);
  return from_col_major(rows_, k, std::vector<double>(data_.begin(), end));
}

Mat Mat::transpose() const {
  Mat t(cols_, rows_);
  // Read the input once in storage order and scatter: input (i, j) -> output (j, i).
  const double* src = data_.data();
  for (std::size_t j = 0; j < cols_; ++j) {
    for (std::size_t i = 0; i < rows_; ++i) t.data_[i * cols_ + j] = *src++;
  }
  return t;
}

void Mat::out_of_range(std::size_t i, std::size_t j) const {
  invariant_failure("Mat index (" + std::to_string(i) + ", " + std::to_string(j) +
                    ") out of range for a " + std::to_string(rows_) + "x" +
                    std::to_string(cols_) + " matrix");
}

}  // namespace tessarix::linalg
