#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bindings/pivot.hpp"

namespace tessarix::bindings {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

ArrayView1 view(const std::vector<std::int64_t>& v) {
  return {reinterpret_cast<const char*>(v.data()), v.size(), sizeof(std::int64_t)};
}
ArrayView1 view(const std::vector<double>& v) {
  return {reinterpret_cast<const char*>(v.data()), v.size(), sizeof(double)};
}

// Long rows of a units x periods design, in some order, with optional defects.
struct Rows {
  std::vector<std::int64_t> unit, time;
  std::vector<double> value, level;  // a cell column and a unit-level column
};

// The oracle: the panel built with ordered maps, cell by cell.
struct Expected {
  std::vector<std::int64_t> units, times;
  std::vector<double> cells;  // row-major, NaN where missing
  std::size_t n_missing = 0;
  std::optional<std::pair<std::size_t, std::size_t>> first_missing;
  bool duplicated = false;
  std::size_t n_nonfinite = 0;
  std::optional<std::size_t> first_nonfinite, varying;
  std::vector<double> levels;  // each unit's level at its first row
};

Expected oracle(const Rows& r) {
  Expected e;
  const std::set<std::int64_t> us(r.unit.begin(), r.unit.end()), ts(r.time.begin(), r.time.end());
  e.units.assign(us.begin(), us.end());
  e.times.assign(ts.begin(), ts.end());
  const auto pos = [](const std::vector<std::int64_t>& v, std::int64_t k) {
    return static_cast<std::size_t>(std::lower_bound(v.begin(), v.end(), k) - v.begin());
  };
  e.cells.assign(e.units.size() * e.times.size(), kNaN);
  std::vector<bool> seen(e.cells.size(), false);
  std::map<std::size_t, double> first_level;
  for (std::size_t i = 0; i < r.unit.size(); ++i) {
    const std::size_t u = pos(e.units, r.unit[i]);
    const std::size_t c = u * e.times.size() + pos(e.times, r.time[i]);
    e.duplicated = e.duplicated || seen[c];
    seen[c] = true;
    e.cells[c] = r.value[i];
    if (!std::isfinite(r.value[i]) && e.n_nonfinite++ == 0) e.first_nonfinite = i;
    if (!first_level.count(u)) first_level[u] = r.level[i];
    if (!e.varying && first_level[u] != r.level[i]) e.varying = i;
  }
  for (const auto& [u, level] : first_level) e.levels.push_back(level);
  for (std::size_t c = 0; c < seen.size(); ++c) {
    if (seen[c]) continue;
    if (e.n_missing++ == 0) e.first_missing = std::pair<std::size_t, std::size_t>{c / e.times.size(), c % e.times.size()};
  }
  return e;
}

// A balanced design: unit keys from `unit_key`, times `t0 + k * step`, one row per cell in
// unit-major order; value 100 u + t, level = the unit's position.
Rows design(std::size_t n_units, std::size_t n_times, std::int64_t (*unit_key)(std::size_t), std::int64_t t0,
            std::int64_t step) {
  Rows r;
  for (std::size_t u = 0; u < n_units; ++u) {
    for (std::size_t t = 0; t < n_times; ++t) {
      r.unit.push_back(unit_key(u));
      r.time.push_back(t0 + static_cast<std::int64_t>(t) * step);
      r.value.push_back(100.0 * double(u) + double(t));
      r.level.push_back(double(u));
    }
  }
  return r;
}

Rows permuted(const Rows& r, const std::vector<std::size_t>& order) {
  Rows out;
  for (std::size_t i : order) {
    out.unit.push_back(r.unit[i]);
    out.time.push_back(r.time[i]);
    out.value.push_back(r.value[i]);
    out.level.push_back(r.level[i]);
  }
  return out;
}

Rows shuffled(const Rows& r, unsigned seed) {
  std::vector<std::size_t> order(r.unit.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  return permuted(r, order);
}

Rows time_major(const Rows& r, std::size_t n_units, std::size_t n_times) {
  std::vector<std::size_t> order;
  for (std::size_t t = 0; t < n_times; ++t)
    for (std::size_t u = 0; u < n_units; ++u) order.push_back(u * n_times + t);
  return permuted(r, order);
}

void expect_pivot(const Rows& r, bool unit_major) {
  const Expected e = oracle(r);
  const PivotResult p = pivot_long(view(r.unit), view(r.time), {view(r.value)}, {{view(r.level), true}});
  EXPECT_EQ(p.unit_major, unit_major);
  ASSERT_EQ(p.unit_first.size(), e.units.size());
  ASSERT_EQ(p.time_first.size(), e.times.size());
  for (std::size_t u = 0; u < e.units.size(); ++u) EXPECT_EQ(r.unit[p.unit_first[u]], e.units[u]);
  for (std::size_t t = 0; t < e.times.size(); ++t) EXPECT_EQ(r.time[p.time_first[t]], e.times[t]);
  EXPECT_EQ(p.n_missing, e.n_missing);
  EXPECT_EQ(p.first_missing, e.first_missing);
  EXPECT_EQ(p.duplicate.has_value(), e.duplicated);
  if (p.duplicate) {
    const auto [a, b] = *p.duplicate;
    EXPECT_NE(a, b);
    EXPECT_EQ(r.unit[a], r.unit[b]);
    EXPECT_EQ(r.time[a], r.time[b]);
  }
  ASSERT_EQ(p.n_nonfinite.size(), 1u);
  EXPECT_EQ(p.varying[0], e.varying);
  if (e.n_missing > 0 && p.cells[0].empty()) return;  // sparse rows: nothing laid out
  EXPECT_EQ(p.n_nonfinite[0], e.n_nonfinite);
  EXPECT_EQ(p.first_nonfinite[0], e.first_nonfinite);
  const std::vector<double>& m = unit_major ? r.value : p.cells[0];
  if (e.duplicated) return;  // which duplicate's value a cell keeps is not specified
  ASSERT_EQ(m.size(), e.cells.size());
  for (std::size_t c = 0; c < m.size(); ++c) {
    EXPECT_TRUE(m[c] == e.cells[c] || (std::isnan(m[c]) && std::isnan(e.cells[c]))) << "cell " << c;
  }
  for (std::size_t u = 0; u < e.units.size(); ++u) {
    double level;
    std::memcpy(&level, &p.units[0][u], sizeof level);
    EXPECT_EQ(level, e.levels[u]);
  }
}

std::int64_t dense_id(std::size_t u) { return 1 + static_cast<std::int64_t>(u); }
std::int64_t scattered_id(std::size_t u) { return static_cast<std::int64_t>(u * 7919u * 1000003u) - 4000000000000; }
std::int64_t extreme_id(std::size_t u) {
  return u % 2 ? std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(u)
               : std::numeric_limits<std::int64_t>::min() + static_cast<std::int64_t>(u);
}

TEST(PivotLong, AgreesWithAnOrderedMapOracle) {
  struct Case {
    const char* name;
    std::int64_t (*unit_key)(std::size_t);
    std::int64_t t0, step;  // years, or nanosecond weeks (hashed)
  };
  const Case cases[] = {{"dense ids, years", dense_id, 1990, 1},
                        {"scattered ids, ns weeks", scattered_id, 1700000000000000000, 604800000000000},
                        {"int64 extremes, negative times", extreme_id, -20, 3}};
  for (const Case& c : cases) {
    const Rows base = design(37, 11, c.unit_key, c.t0, c.step);
    SCOPED_TRACE(c.name);
    expect_pivot(base, /*unit_major=*/c.unit_key != extreme_id);  // extremes are not ascending
    expect_pivot(shuffled(base, 1), false);
    expect_pivot(time_major(base, 37, 11), false);
  }
}

TEST(PivotLong, LocatesEveryDefect) {
  const Rows base = design(9, 6, dense_id, 2000, 1);
  Rows missing = base;  // drop unit 4's period 2 and unit 7's period 0
  for (std::size_t drop : {7u * 6u, 4u * 6u + 2u}) {
    missing.unit.erase(missing.unit.begin() + static_cast<std::ptrdiff_t>(drop));
    missing.time.erase(missing.time.begin() + static_cast<std::ptrdiff_t>(drop));
    missing.value.erase(missing.value.begin() + static_cast<std::ptrdiff_t>(drop));
    missing.level.erase(missing.level.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  Rows duplicated = base;
  duplicated.unit.push_back(base.unit[20]);
  duplicated.time.push_back(base.time[20]);
  duplicated.value.push_back(-1.0);
  duplicated.level.push_back(base.level[20]);
  Rows nonfinite = base;
  nonfinite.value[13] = kNaN;
  nonfinite.value[40] = std::numeric_limits<double>::infinity();
  Rows varying = base;
  varying.level[33] += 0.5;
  Rows sparse = base;  // one stray row at a far-off time: most of a 9 x 7 panel... and more units
  for (std::size_t k = 0; k < 400; ++k) {
    sparse.unit.push_back(1000 + static_cast<std::int64_t>(k));
    sparse.time.push_back(3000 + static_cast<std::int64_t>(k));
    sparse.value.push_back(0.0);
    sparse.level.push_back(0.0);
  }
  const struct {
    const char* name;
    const Rows& rows;
  } cases[] = {{"missing cells", missing}, {"a duplicated cell", duplicated}, {"non-finite values", nonfinite},
               {"a unit column varying within a unit", varying}, {"rows spanning far more cells", sparse}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_pivot(c.rows, c.rows.unit.size() == base.unit.size() && &c.rows != &missing);
    expect_pivot(shuffled(c.rows, 2), false);
  }
}

TEST(PivotLong, LargeUnitMajorRowsGiveTheOraclesDefectsInRowOrder) {
  // Enough rows to be scanned in stretches on the pool: the defects sit in different
  // stretches, and the first one in row order must be the one reported.
  Rows r = design(400, 200, dense_id, 0, 1);
  r.value[61234] = kNaN;
  r.value[15001] = std::numeric_limits<double>::infinity();
  r.level[70003] += 1.0;
  r.level[50007] += 1.0;
  expect_pivot(r, true);
  Rows broken = r;  // a unit key out of order deep in the rows: not unit-major after all
  broken.unit[73000] = broken.unit[72999] + 1000;
  expect_pivot(broken, false);
}

TEST(PivotLong, UnitLevelIntegersCompareBitForBit) {
  const Rows r = design(3, 4, dense_id, 0, 1);
  std::vector<std::int64_t> cohort = {5, 5, 5, 5, -1, -1, -1, -1, 7, 7, 7, 8};
  const PivotResult p = pivot_long(view(r.unit), view(r.time), {}, {{view(cohort), false}});
  EXPECT_EQ(p.units[0], (std::vector<std::uint64_t>{5, static_cast<std::uint64_t>(-1), 7}));
  EXPECT_EQ(p.varying[0], std::optional<std::size_t>(11));
}

TEST(PivotLong, EmptyRowsGiveAnEmptyPanel) {
  const std::vector<std::int64_t> none;
  const PivotResult p = pivot_long(view(none), view(none), {}, {});
  EXPECT_TRUE(p.unit_first.empty());
  EXPECT_TRUE(p.time_first.empty());
  EXPECT_EQ(p.n_missing, 0u);
}

}  // namespace
}  // namespace tessarix::bindings
