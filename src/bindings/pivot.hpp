// Long data (one row per unit and period) to a units x periods panel. Unit and time keys are
// factorised into codes in ascending key order, so the panel does not depend on the order of
// the rows; cell columns are scattered into row-major matrices and unit-level columns reduced
// to one value per unit. Whatever keeps the rows from forming a balanced panel (a missing or
// duplicated cell, a non-finite value, a unit-level column that varies within a unit) is
// reported with a row that shows it, for the caller to name in its message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/array_view.hpp"

namespace tessarix::bindings {

// The distinct keys of an int64 column (fewer than 2^32 - 1 rows) in ascending order: each
// one's rank (its code) and first row. Built in O(n + distinct log distinct): through a
// direct table when the keys span a range comparable to n, by hashing otherwise.
class KeyIndex {
public:
  explicit KeyIndex(const ArrayView1& keys);

  std::size_t size() const { return first_row_.size(); }
  // The code of a key that occurs in the column.
  std::uint32_t code(std::int64_t key) const {
    return direct_ ? slot_[static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(lo_)] : probe(key);
  }
  // Per code: the first row holding that key.
  const std::vector<std::size_t>& first_row() const { return first_row_; }

private:
  void index_directly(const ArrayView1& keys, std::uint64_t span);
  void index_by_hashing(const ArrayView1& keys);
  std::size_t home(std::int64_t key) const;
  std::uint32_t probe(std::int64_t key) const;
  void place(std::int64_t key, std::uint32_t code);

  bool direct_ = true;
  std::int64_t lo_ = 0;
  std::vector<std::uint32_t> slot_;   // direct: code by key - lo; hashed: code by hash slot
  std::vector<std::int64_t> keys_;    // hashed: the key in each slot
  int bits_ = 0;
  std::vector<std::size_t> first_row_;
};

// A unit-level column: one value per unit, repeated on each of the unit's rows.
struct UnitColumn {
  ArrayView1 values;  // int64 or float64, as `is_float` says
  bool is_float = false;
};

struct PivotResult {
  // The rows are already the panel in unit-major order (unit keys ascending in runs of one
  // row per period, the periods ascending and the same in every run): each cell column,
  // reshaped to units x periods, is its matrix, and `cells` stays empty.
  bool unit_major = false;
  std::vector<std::size_t> unit_first;  // per unit (ascending key): its first row
  std::vector<std::size_t> time_first;  // per period (ascending key): its first row
  // Per cell column: units x periods, row-major, NaN where missing; none when the rows are
  // unit-major, empty when they span far more cells than they fill (n_missing then says how
  // many are missing).
  std::vector<std::vector<double>> cells;
  std::vector<std::vector<std::uint64_t>> units;  // per unit column: its value at each unit's first row (bits)
  std::size_t n_missing = 0;
  std::optional<std::pair<std::size_t, std::size_t>> first_missing;  // (unit, period) codes
  std::optional<std::pair<std::size_t, std::size_t>> duplicate;      // two rows of the same cell
  std::vector<std::size_t> n_nonfinite;                    // per cell column
  std::vector<std::optional<std::size_t>> first_nonfinite;  // per cell column: a row
  std::vector<std::optional<std::size_t>> varying;          // per unit column: a row off its unit's value
};

// The panel of the rows: keys and every column of length n. Float unit-column values count as
// equal when they compare equal or are both NaN.
PivotResult pivot_long(const ArrayView1& unit_keys, const ArrayView1& time_keys,
                       const std::vector<ArrayView1>& cell_columns,
                       const std::vector<UnitColumn>& unit_columns);

}  // namespace tessarix::bindings
