// The one matrix type of the system: a dense, owned, column-major matrix of doubles.
// Element (i, j) lives at position j * rows + i, so every column is a contiguous run;
// panels put units in rows and periods in columns on top of this layout.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "linalg/error.hpp"

namespace tessarix::linalg {

class Mat {
public:
  Mat() = default;
  // A zero-filled rows x cols matrix.
  Mat(std::size_t rows, std::size_t cols) : data_(rows * cols, 0.0), rows_(rows), cols_(cols) {}

  // A zero-filled rows x cols matrix.
  static Mat zeros(std::size_t rows, std::size_t cols) { return Mat(rows, cols); }
  // The n x n identity.
  static Mat identity(std::size_t n);
  // Takes ownership of column-major storage; its length must be rows * cols.
  static Mat from_col_major(std::size_t rows, std::size_t cols, std::vector<double> data);

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  bool empty() const { return data_.empty(); }

  // Element (i, j); an index out of range is an invariant failure.
  double operator()(std::size_t i, std::size_t j) const { return data_[index(i, j)]; }
  double& operator()(std::size_t i, std::size_t j) { return data_[index(i, j)]; }

  // Column j as a contiguous slice of `rows` elements.
  std::span<const double> col(std::size_t j) const {
    check_col(j);
    return {data_.data() + j * rows_, rows_};
  }
  std::span<double> col(std::size_t j) {
    check_col(j);
    return {data_.data() + j * rows_, rows_};
  }

  // The whole storage, column-major.
  std::span<const double> data() const { return data_; }
  std::span<double> data() { return data_; }
  // Gives up the storage, leaving an empty 0 x 0 matrix.
  std::vector<double> into_data() &&;

  // A new cols x rows matrix with element (j, i) = this(i, j).
  Mat transpose() const;
  // A copy of columns 0 .. k-1 (k at most cols()): a prefix of the storage.
  Mat leading_cols(std::size_t k) const;

  friend bool operator==(const Mat&, const Mat&) = default;

private:
  std::size_t index(std::size_t i, std::size_t j) const {
    if (i >= rows_ || j >= cols_) [[unlikely]] out_of_range(i, j);
    return j * rows_ + i;
  }
  void check_col(std::size_t j) const {
    if (j >= cols_) [[unlikely]] out_of_range(0, j);
  }
  [[noreturn]] void out_of_range(std::size_t i, std::size_t j) const;

  std::vector<double> data_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
};

}  // namespace tessarix::linalg
