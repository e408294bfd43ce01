// The long-to-wide pivot of a data frame's columns for tessarix._core: the front ends pass the
// unit and time columns as int64 keys and the value columns as NumPy arrays, and receive the
// panel with every defect located by row, to name in their own messages.
#include <cstring>
#include <string>

#include "bindings/core_api.hpp"
#include "bindings/declare.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/pivot.hpp"
#include "bindings/pydict.hpp"

namespace tessarix::bindings {
namespace {

[[noreturn]] void column_type_error(PyObject* obj, const char* name, const char* expected) {
  const std::string got = describe_object(obj);
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected, got.c_str());
  throw PyErrorSet{};
}

ArrayView1 to_key_column(PyObject* obj, const char* name) {
  if (auto v = int64_view1(obj)) return *v;
  column_type_error(obj, name, "a 1-D int64 ndarray");
}

// The items of a list or tuple, borrowed.
std::vector<PyObject*> items_of(PyObject* obj, const char* name) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) column_type_error(obj, name, "a list of 1-D ndarrays");
  PyRef seq(PySequence_Tuple(obj));
  if (!seq) throw PyErrorSet{};
  std::vector<PyObject*> out;
  for (Py_ssize_t k = 0; k < PyTuple_Size(seq.get()); ++k) out.push_back(PyTuple_GetItem(seq.get(), k));
  return out;  // the items stay alive through the argument list
}

std::vector<ArrayView1> to_cell_columns(PyObject* obj, const char* name) {
  std::vector<ArrayView1> out;
  for (PyObject* item : items_of(obj, name)) {
    auto v = float64_view1(item);
    if (!v) column_type_error(item, name, "1-D float64 ndarrays");
    out.push_back(*v);
  }
  return out;
}

std::vector<UnitColumn> to_unit_columns(PyObject* obj, const char* name) {
  std::vector<UnitColumn> out;
  for (PyObject* item : items_of(obj, name)) {
    if (auto v = float64_view1(item)) {
      out.push_back({*v, true});
    } else if (auto k = int64_view1(item)) {
      out.push_back({*k, false});
    } else {
      column_type_error(item, name, "1-D int64 or float64 ndarrays");
    }
  }
  return out;
}

constexpr Kind<ArrayView1> kKeyColumn{to_key_column};
constexpr Kind<std::vector<ArrayView1>> kCellColumns{to_cell_columns};
constexpr Kind<std::vector<UnitColumn>> kUnitColumns{to_unit_columns};

struct PivotArgs {
  ArrayView1 unit_keys;
  ArrayView1 time_keys;
  std::vector<ArrayView1> cell_columns;
  std::vector<UnitColumn> unit_columns;
};

const EntryPoint<PivotArgs> pivot_long_entry{
    "pivot_long",
    "Long rows to a units x periods panel.\n"
    "\n"
    "`unit_keys` and `time_keys` (int64) identify each row's unit and period; units and periods\n"
    "are numbered in ascending key order. Each of `cell_columns` (float64) becomes a units x\n"
    "periods matrix (None when `unit_major`: the rows are already the panel in unit-major\n"
    "order, so the column reshaped is the matrix); each of `unit_columns` (int64 or float64) is\n"
    "reduced to its value at each unit's first row. Returns a dict: `unit_major`, `unit_first`,\n"
    "`time_first` (each unit's and period's first row), `cells`, `units`, `n_missing`, `first_missing` ((unit, period) or None),\n"
    "`duplicate` (two rows of one cell, or None), `nonfinite` ((count, first row or None) per\n"
    "cell column) and `varying` (per unit column, a row whose value differs from its unit's, or\n"
    "None).",
    {TX_PARAM(PivotArgs, unit_keys, kKeyColumn), TX_PARAM(PivotArgs, time_keys, kKeyColumn),
     TX_PARAM(PivotArgs, cell_columns, kCellColumns), TX_PARAM(PivotArgs, unit_columns, kUnitColumns)}};

std::vector<std::int64_t> as_int64(const std::vector<std::size_t>& v) { return {v.begin(), v.end()}; }

PyObject* pair_or_none(const std::optional<std::pair<std::size_t, std::size_t>>& p) {
  if (!p) return Py_NewRef(Py_None);
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(p->first), static_cast<Py_ssize_t>(p->second));
}

PyObject* row_or_none(const std::optional<std::size_t>& row) {
  return row ? PyLong_FromSize_t(*row) : Py_NewRef(Py_None);
}

// A unit column's per-unit values (bit patterns) as an array of the column's own type.
PyObject* unit_values(const std::vector<std::uint64_t>& bits, bool is_float) {
  if (is_float) {
    std::vector<double> v(bits.size());
    if (!bits.empty()) std::memcpy(v.data(), bits.data(), bits.size() * sizeof(double));
    return float64_array_from(std::move(v));
  }
  std::vector<std::int64_t> v(bits.size());
  if (!bits.empty()) std::memcpy(v.data(), bits.data(), bits.size() * sizeof(std::int64_t));
  return int64_array_from(std::move(v));
}

PyObject* py_pivot_long(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const PivotArgs a = pivot_long_entry.parse(args, kwargs);
    const std::size_t n = a.unit_keys.size;
    bool same_length = a.time_keys.size == n;
    for (const ArrayView1& c : a.cell_columns) same_length = same_length && c.size == n;
    for (const UnitColumn& c : a.unit_columns) same_length = same_length && c.values.size == n;
    if (!same_length) throw UserError{"pivot_long: every column must have one entry per row"};

    PivotResult p = pivot_long(a.unit_keys, a.time_keys, a.cell_columns, a.unit_columns);
    const std::size_t n_units = p.unit_first.size(), n_periods = p.time_first.size();
    DictBuilder d;
    d.set("unit_first", int64_array_from(as_int64(p.unit_first)));
    d.set("time_first", int64_array_from(as_int64(p.time_first)));
    d.set("unit_major", PyBool_FromLong(p.unit_major));
    d.set("cells", new_list(p.unit_major ? a.cell_columns.size() : p.cells.size(), [&](std::size_t k) -> PyObject* {
      if (p.unit_major || (p.cells[k].empty() && n_units * n_periods > 0)) return Py_NewRef(Py_None);
      return float64_array2_from(std::move(p.cells[k]), n_units, n_periods);
    }));
    d.set("units", new_list(p.units.size(), [&](std::size_t k) {
      return unit_values(p.units[k], a.unit_columns[k].is_float);
    }));
    d.set("n_missing", PyLong_FromSize_t(p.n_missing));
    d.set("first_missing", pair_or_none(p.first_missing));
    d.set("duplicate", pair_or_none(p.duplicate));
    d.set("nonfinite", new_list(p.n_nonfinite.size(), [&](std::size_t k) {
      PyRef first(row_or_none(p.first_nonfinite[k]));
      if (!first) return static_cast<PyObject*>(nullptr);
      return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(p.n_nonfinite[k]), first.get());
    }));
    d.set("varying", new_list(p.varying.size(), [&](std::size_t k) { return row_or_none(p.varying[k]); }));
    return d.release();
  });
}

}  // namespace

std::vector<PyMethodDef> core_frame_functions() {
  return {method_def(pivot_long_entry.signature(), py_pivot_long)};
}

}  // namespace tessarix::bindings
