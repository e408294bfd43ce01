#include "bindings/pivot.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "runtime/parallel.hpp"
#include "linalg/error.hpp"

namespace tessarix::bindings {
namespace {

constexpr std::uint32_t kUnset = std::numeric_limits<std::uint32_t>::max();

// Keys are indexed through a direct table while their span is at most this many slots per
// row, plus a floor for small inputs: the table and the walk over it stay proportional to the
// data. Years, day numbers and dense integer ids take this route; nanosecond timestamps and
// scattered ids are hashed.
constexpr std::uint64_t kDirectSlotsPerRow = 4;
constexpr std::uint64_t kDirectSlotFloor = std::uint64_t{1} << 16;

// The panel is laid out cell by cell while it has at most this many cells per row (a balanced
// panel has exactly one): rows that span far more cells leave most of them missing, and are
// examined by sorting their cells instead of through a units x periods table.
constexpr std::uint64_t kDenseCellsPerRow = 4;

// Hash tables start this large (as a power of two) and stay at most half full.
constexpr int kInitialHashBits = 10;

std::int64_t key_at(const ArrayView1& keys, std::size_t i) { return keys.at<std::int64_t>(i); }

// Offset of a key from the smallest key, exact over the whole int64 range.
std::uint64_t offset(std::int64_t key, std::int64_t lo) {
  return static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(lo);
}

}  // namespace

KeyIndex::KeyIndex(const ArrayView1& keys) {
  const std::size_t n = keys.size;
  if (n >= kUnset) invariant_failure("pivot: too many rows for 32-bit codes");
  if (n == 0) return;
  std::int64_t lo = key_at(keys, 0), hi = lo;
  for (std::size_t i = 1; i < n; ++i) {
    const std::int64_t k = key_at(keys, i);
    lo = std::min(lo, k);
    hi = std::max(hi, k);
  }
  lo_ = lo;
  const std::uint64_t span = offset(hi, lo);
  if (span < kDirectSlotsPerRow * n + kDirectSlotFloor) {
    index_directly(keys, span);
  } else {
    index_by_hashing(keys);
  }
}

// slot_[key - lo] holds the key's first row, then, walking the slots in key order, its code.
void KeyIndex::index_directly(const ArrayView1& keys, std::uint64_t span) {
  direct_ = true;
  slot_.assign(span + 1, kUnset);
  for (std::size_t i = 0; i < keys.size; ++i) {
    std::uint32_t& s = slot_[offset(key_at(keys, i), lo_)];
    if (s == kUnset) s = static_cast<std::uint32_t>(i);
  }
  std::uint32_t code = 0;
  for (std::uint32_t& s : slot_) {
    if (s == kUnset) continue;
    first_row_.push_back(s);
    s = code++;
  }
}

std::size_t KeyIndex::home(std::int64_t key) const {
  constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;  // Fibonacci hashing
  return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * kGolden) >> (64 - bits_));
}

std::uint32_t KeyIndex::probe(std::int64_t key) const {
  const std::size_t mask = slot_.size() - 1;
  std::size_t h = home(key);
  while (keys_[h] != key || slot_[h] == kUnset) h = (h + 1) & mask;
  return slot_[h];
}

void KeyIndex::place(std::int64_t key, std::uint32_t code) {
  const std::size_t mask = slot_.size() - 1;
  std::size_t h = home(key);
  while (slot_[h] != kUnset) h = (h + 1) & mask;
  keys_[h] = key;
  slot_[h] = code;
}

// Open addressing with linear probing: distinct keys collected in order of appearance, the
// table grown to stay at most half full, then every key re-placed under its rank.
void KeyIndex::index_by_hashing(const ArrayView1& keys) {
  direct_ = false;
  std::vector<std::int64_t> distinct;
  std::vector<std::size_t> first;
  const auto resize = [&](int bits) {
    bits_ = bits;
    slot_.assign(std::size_t{1} << bits, kUnset);
    keys_.assign(std::size_t{1} << bits, 0);
  };
  resize(kInitialHashBits);
  for (std::size_t i = 0; i < keys.size; ++i) {
    const std::int64_t key = key_at(keys, i);
    const std::size_t mask = slot_.size() - 1;
    std::size_t h = home(key);
    while (slot_[h] != kUnset && keys_[h] != key) h = (h + 1) & mask;
    if (slot_[h] != kUnset) continue;
    keys_[h] = key;
    slot_[h] = static_cast<std::uint32_t>(distinct.size());
    distinct.push_back(key);
    first.push_back(i);
    if (2 * distinct.size() > slot_.size()) {
      resize(bits_ + 1);
      for (std::uint32_t c = 0; c < distinct.size(); ++c) place(distinct[c], c);
    }
  }
  std::vector<std::uint32_t> order(distinct.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return distinct[a] < distinct[b]; });
  resize(bits_);
  first_row_.resize(order.size());
  for (std::uint32_t r = 0; r < order.size(); ++r) {
    place(distinct[order[r]], r);
    first_row_[r] = first[order[r]];
  }
}

namespace {

bool same_value(std::uint64_t a, std::uint64_t b, bool is_float) {
  if (!is_float || a == b) return a == b;
  double x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y || (std::isnan(x) && std::isnan(y));
}

// Each unit's value of every unit column, read at the unit's first row.
void unit_values(const std::vector<UnitColumn>& columns, const KeyIndex& units, PivotResult& out) {
  for (const UnitColumn& c : columns) {
    std::vector<std::uint64_t> v(units.size());
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = c.values.at<std::uint64_t>(units.first_row()[k]);
    out.units.push_back(std::move(v));
    out.varying.push_back(std::nullopt);
  }
}

// A bit per cell: which cells some row fills.
class CellBits {
public:
  explicit CellBits(std::uint64_t n) : words_((n + 63) / 64, 0) {}
  // Marks the cell; false when it was marked already.
  bool mark(std::uint64_t c) {
    std::uint64_t& w = words_[c / 64];
    const std::uint64_t bit = std::uint64_t{1} << (c % 64);
    const bool fresh = (w & bit) == 0;
    w |= bit;
    return fresh;
  }
  bool marked(std::uint64_t c) const { return (words_[c / 64] >> (c % 64)) & 1; }
  std::uint64_t count() const {
    std::uint64_t n = 0;
    for (std::uint64_t w : words_) n += static_cast<std::uint64_t>(std::popcount(w));
    return n;
  }

private:
  std::vector<std::uint64_t> words_;
};

// The cell of every row, in one pass that also lays out the cell columns, counts their
// non-finite values, finds a duplicated cell and a unit-column value off its unit's.
struct DensePass {
  const ArrayView1& unit_keys;
  const ArrayView1& time_keys;
  const std::vector<ArrayView1>& cell_columns;
  const std::vector<UnitColumn>& unit_columns;
  const KeyIndex& units;
  const KeyIndex& times;

  void run(PivotResult& out) const {
    const std::uint64_t n_periods = times.size();
    const std::uint64_t n_cells = units.size() * n_periods;
    CellBits filled(n_cells);
    std::optional<std::uint64_t> dup_cell;
    std::optional<std::size_t> dup_row;
    for (std::size_t k = 0; k < cell_columns.size(); ++k) out.cells.emplace_back(n_cells);
    out.n_nonfinite.assign(cell_columns.size(), 0);
    out.first_nonfinite.assign(cell_columns.size(), std::nullopt);
    for (std::size_t i = 0; i < unit_keys.size; ++i) {
      const std::uint32_t u = units.code(key_at(unit_keys, i));
      const std::uint64_t cell = u * n_periods + times.code(key_at(time_keys, i));
      if (!filled.mark(cell) && !dup_row) {
        dup_cell = cell;
        dup_row = i;
      }
      for (std::size_t k = 0; k < cell_columns.size(); ++k) {
        const double v = cell_columns[k].at<double>(i);
        out.cells[k][cell] = v;
        if (!std::isfinite(v) && out.n_nonfinite[k]++ == 0) out.first_nonfinite[k] = i;
      }
      for (std::size_t k = 0; k < unit_columns.size(); ++k) {
        const UnitColumn& c = unit_columns[k];
        if (!out.varying[k] && !same_value(c.values.at<std::uint64_t>(i), out.units[k][u], c.is_float)) {
          out.varying[k] = i;
        }
      }
    }
    if (dup_row) out.duplicate = std::pair<std::size_t, std::size_t>{first_row_of(*dup_cell), *dup_row};
    missing_cells(filled, n_cells, n_periods, out);
  }

  // The first row filling a cell (only asked for a duplicated one).
  std::size_t first_row_of(std::uint64_t cell) const {
    const std::uint64_t n_periods = times.size();
    for (std::size_t i = 0;; ++i) {
      if (units.code(key_at(unit_keys, i)) * n_periods + times.code(key_at(time_keys, i)) == cell) return i;
    }
  }

  static void missing_cells(const CellBits& filled, std::uint64_t n_cells, std::uint64_t n_periods,
                            PivotResult& out) {
    out.n_missing = static_cast<std::size_t>(n_cells - filled.count());
    if (out.n_missing == 0) return;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (std::uint64_t c = 0; c < n_cells; ++c) {
      if (filled.marked(c)) continue;
      if (!out.first_missing) out.first_missing = std::pair<std::size_t, std::size_t>{c / n_periods, c % n_periods};
      for (std::vector<double>& m : out.cells) m[c] = kNaN;
    }
  }
};

// Sparse route, for rows spanning far more cells than there are rows: the first duplicate and
// the missing cells from the sorted cell ids; no cell is laid out.
void locate_sparse(const ArrayView1& unit_keys, const ArrayView1& time_keys, const KeyIndex& units,
                   const KeyIndex& times, std::size_t n_cell_columns, PivotResult& out) {
  const std::uint64_t n_periods = times.size();
  const std::uint64_t n_cells = units.size() * n_periods;
  std::vector<std::uint64_t> cell(unit_keys.size);
  for (std::size_t i = 0; i < cell.size(); ++i) {
    cell[i] = units.code(key_at(unit_keys, i)) * n_periods + times.code(key_at(time_keys, i));
  }
  std::vector<std::size_t> rows(cell.size());
  std::iota(rows.begin(), rows.end(), std::size_t{0});
  std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) { return cell[a] < cell[b]; });
  std::uint64_t distinct = 0, expected = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const std::uint64_t c = cell[rows[k]];
    if (k > 0 && c == cell[rows[k - 1]]) {
      if (!out.duplicate) out.duplicate = std::pair<std::size_t, std::size_t>{rows[k - 1], rows[k]};
      continue;
    }
    ++distinct;
    if (c == expected) ++expected;
  }
  out.n_missing = static_cast<std::size_t>(n_cells - distinct);
  if (out.n_missing > 0) out.first_missing = std::pair<std::size_t, std::size_t>{expected / n_periods, expected % n_periods};
  out.cells.assign(n_cell_columns, {});
  out.n_nonfinite.assign(n_cell_columns, 0);
  out.first_nonfinite.assign(n_cell_columns, std::nullopt);
}

// Sparse route: a unit-column value off its unit's, by a pass of its own.
void find_varying(const ArrayView1& unit_keys, const std::vector<UnitColumn>& columns, const KeyIndex& units,
                  PivotResult& out) {
  for (std::size_t k = 0; k < columns.size(); ++k) {
    for (std::size_t i = 0; i < unit_keys.size && !out.varying[k]; ++i) {
      const std::uint32_t u = units.code(key_at(unit_keys, i));
      if (!same_value(columns[k].values.at<std::uint64_t>(i), out.units[k][u], columns[k].is_float)) out.varying[k] = i;
    }
  }
}

// What one stretch of unit blocks of unit-major rows holds: whether its keys are the panel's,
// and its cell columns' non-finite values and unit columns' departures, rows in row order.
struct BlockScan {
  bool panel = true;
  std::vector<std::size_t> n_nonfinite;
  std::vector<std::optional<std::size_t>> first_nonfinite;
  std::vector<std::optional<std::size_t>> varying;
};

// Unit-major rows are scanned in this many stretches of unit blocks on the pool once there
// are enough rows for the map to pay; each stretch is read once, a block at a time.
constexpr std::size_t kScanStretches = 8;
constexpr std::size_t kParallelScanRows = std::size_t{1} << 16;

class UnitMajorScan {
public:
  UnitMajorScan(const ArrayView1& unit_keys, const ArrayView1& time_keys, const std::vector<ArrayView1>& cells,
                const std::vector<UnitColumn>& unit_columns, std::size_t t_count)
      : unit_keys_(unit_keys), time_keys_(time_keys), cells_(cells), unit_columns_(unit_columns), t_count_(t_count) {}

  // Blocks [b0, b1): the keys are checked and, while a block is in cache, the cell columns'
  // finiteness and the unit columns' constancy; each unit's values go to `units`.
  BlockScan scan(std::size_t b0, std::size_t b1, std::vector<std::vector<std::uint64_t>>& units) const {
    BlockScan r{true, std::vector<std::size_t>(cells_.size(), 0),
                std::vector<std::optional<std::size_t>>(cells_.size()),
                std::vector<std::optional<std::size_t>>(unit_columns_.size())};
    for (std::size_t b = b0; b < b1 && r.panel; ++b) r.panel = block(b, r, units);
    return r;
  }

private:
  bool block(std::size_t b, BlockScan& r, std::vector<std::vector<std::uint64_t>>& units) const {
    const std::size_t start = b * t_count_;
    const std::int64_t u = key_at(unit_keys_, start);
    if (start > 0 && !(key_at(unit_keys_, start - 1) < u)) return false;
    for (std::size_t t = 0; t < t_count_; ++t) {
      if (key_at(unit_keys_, start + t) != u || key_at(time_keys_, start + t) != key_at(time_keys_, t)) return false;
    }
    for (std::size_t k = 0; k < cells_.size(); ++k) {
      for (std::size_t i = start; i < start + t_count_; ++i) {
        if (!std::isfinite(cells_[k].at<double>(i)) && r.n_nonfinite[k]++ == 0) r.first_nonfinite[k] = i;
      }
    }
    for (std::size_t k = 0; k < unit_columns_.size(); ++k) {
      const UnitColumn& c = unit_columns_[k];
      const std::uint64_t v = c.values.at<std::uint64_t>(start);
      units[k][b] = v;
      for (std::size_t i = start + 1; i < start + t_count_ && !r.varying[k]; ++i) {
        if (!same_value(c.values.at<std::uint64_t>(i), v, c.is_float)) r.varying[k] = i;
      }
    }
    return true;
  }

  const ArrayView1& unit_keys_;
  const ArrayView1& time_keys_;
  const std::vector<ArrayView1>& cells_;
  const std::vector<UnitColumn>& unit_columns_;
  std::size_t t_count_;
};

// The periods of rows that may be the panel in unit-major order: the length of the first run
// of one unit key, when it divides the rows and its time keys ascend; else 0.
std::size_t unit_major_candidate(const ArrayView1& unit_keys, const ArrayView1& time_keys) {
  const std::size_t n = unit_keys.size;
  std::size_t t_count = 1;
  while (t_count < n && key_at(unit_keys, t_count) == key_at(unit_keys, 0)) ++t_count;
  if (n == 0 || n % t_count != 0) return 0;
  for (std::size_t i = 1; i < t_count; ++i) {
    if (!(key_at(time_keys, i - 1) < key_at(time_keys, i))) return 0;
  }
  return t_count;
}

// Takes rows that are already the panel in unit-major order, in stretches of unit blocks (on
// the pool for large inputs, with the same result). False (and `out` untouched) for any other
// rows.
bool take_unit_major(const ArrayView1& unit_keys, const ArrayView1& time_keys,
                     const std::vector<ArrayView1>& cell_columns, const std::vector<UnitColumn>& unit_columns,
                     PivotResult& out) {
  const std::size_t t_count = unit_major_candidate(unit_keys, time_keys);
  if (t_count == 0) return false;
  const std::size_t n_blocks = unit_keys.size / t_count;
  const UnitMajorScan scanner(unit_keys, time_keys, cell_columns, unit_columns, t_count);
  std::vector<std::vector<std::uint64_t>> units(unit_columns.size(), std::vector<std::uint64_t>(n_blocks));
  const std::size_t stretches = unit_keys.size < kParallelScanRows ? 1 : std::min(kScanStretches, n_blocks);
  const std::vector<BlockScan> parts = runtime::par_map_indexed(stretches, [&](std::size_t s) {
    return scanner.scan(s * n_blocks / stretches, (s + 1) * n_blocks / stretches, units);
  });
  PivotResult r;
  r.n_nonfinite.assign(cell_columns.size(), 0);
  r.first_nonfinite.assign(cell_columns.size(), std::nullopt);
  r.varying.assign(unit_columns.size(), std::nullopt);
  for (const BlockScan& part : parts) {  // stretches in row order: the first row found wins
    if (!part.panel) return false;
    for (std::size_t k = 0; k < cell_columns.size(); ++k) {
      r.n_nonfinite[k] += part.n_nonfinite[k];
      if (!r.first_nonfinite[k]) r.first_nonfinite[k] = part.first_nonfinite[k];
    }
    for (std::size_t k = 0; k < unit_columns.size(); ++k) {
      if (!r.varying[k]) r.varying[k] = part.varying[k];
    }
  }
  r.unit_major = true;
  r.units = std::move(units);
  for (std::size_t b = 0; b < n_blocks; ++b) r.unit_first.push_back(b * t_count);
  for (std::size_t t = 0; t < t_count; ++t) r.time_first.push_back(t);
  out = std::move(r);
  return true;
}

}  // namespace

PivotResult pivot_long(const ArrayView1& unit_keys, const ArrayView1& time_keys,
                       const std::vector<ArrayView1>& cell_columns,
                       const std::vector<UnitColumn>& unit_columns) {
  PivotResult out;
  if (take_unit_major(unit_keys, time_keys, cell_columns, unit_columns, out)) return out;
  const KeyIndex units(unit_keys);
  const KeyIndex times(time_keys);
  out.unit_first = units.first_row();
  out.time_first = times.first_row();
  unit_values(unit_columns, units, out);
  const std::uint64_t n_cells = std::uint64_t{units.size()} * times.size();
  if (n_cells <= kDenseCellsPerRow * unit_keys.size) {
    DensePass{unit_keys, time_keys, cell_columns, unit_columns, units, times}.run(out);
  } else {
    locate_sparse(unit_keys, time_keys, units, times, cell_columns.size(), out);
    find_varying(unit_keys, unit_columns, units, out);
  }
  return out;
}

}  // namespace tessarix::bindings
