// Test-only module `tessarix._testhooks` (built with TESSARIX_TEST_HOOKS=ON, never shipped):
// exposes each argument converter and the failure boundary directly, so that the tests can
// pin conversions that no entry point reaches yet, and builds each result class from plain
// Python values, so that the classes can be tested before (and apart from) the estimators
// that return them.
#include <new>
#include <string>

#include "bindings/boundary.hpp"
#include "bindings/convert.hpp"
#include "bindings/declare.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"

namespace tessarix::bindings {
namespace {

// Parses (value, name) for a converter hook.
std::pair<PyObject*, std::string> value_and_name(PyObject* args) {
  PyObject* value = nullptr;
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "Os", &value, &name)) throw PyErrorSet{};
  return {value, name};
}

PyObject* list_of(const std::vector<double>& v) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!out) throw PyErrorSet{};
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(v[i]));
  }
  return out.release();
}

// (rows, cols, column-major data) of the owned copy of a 2-D panel.
PyObject* panel_tuple(const ArrayView2& v) {
  const Mat m = mat_from_numpy(v);
  const std::vector<double> data(m.data().begin(), m.data().end());
  PyRef list(list_of(data));
  return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(m.rows()),
                       static_cast<Py_ssize_t>(m.cols()), list.get());
}

template <class T>
PyObject* int_list(const std::vector<T>& v) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!out) throw PyErrorSet{};
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = std::is_signed_v<T> ? PyLong_FromLongLong(static_cast<long long>(v[i]))
                                         : PyLong_FromUnsignedLongLong(v[i]);
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

PyObject* h_panel(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return panel_tuple(to_panel(v, n.c_str()));
  });
}

PyObject* h_check_panel(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const auto [rows, cols] = unwrap(check_panel(to_panel(v, n.c_str())));
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols));
  });
}

PyObject* h_panel_stack(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const ArrayView3 s = to_panel_stack(v, n.c_str());
    PyRef out(PyList_New(0));
    for (std::size_t r = 0; r < s.shape[0]; ++r) {
      PyRef item(panel_tuple(s.slice(r)));
      if (!item || PyList_Append(out.get(), item.get()) < 0) throw PyErrorSet{};
    }
    return out.release();
  });
}

PyObject* h_index_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return int_list(to_index_list(v, n.c_str()));
  });
}

PyObject* h_cohort_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return int_list(to_cohort_list(v, n.c_str()));
  });
}

PyObject* h_float_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return list_of(to_float_list(v, n.c_str()));
  });
}

PyObject* h_name_list(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const std::vector<std::string> names = to_name_list(v, n.c_str());
    PyRef out(PyList_New(0));
    for (const std::string& s : names) {
      PyRef item(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
      if (!item || PyList_Append(out.get(), item.get()) < 0) throw PyErrorSet{};
    }
    return out.release();
  });
}

PyObject* h_count(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return PyLong_FromUnsignedLongLong(to_count(v, n.c_str()));
  });
}

PyObject* h_real(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return PyFloat_FromDouble(to_real(v, n.c_str()));
  });
}

PyObject* h_flag(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    return PyBool_FromLong(to_flag(v, n.c_str()) ? 1 : 0);
  });
}

PyObject* h_choice(PyObject*, PyObject* args) {
  return guarded([&] {
    auto [v, n] = value_and_name(args);
    const std::string s = to_choice(v, n.c_str());
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

// Optional count, through the parameter machinery of the entry points: None gives None.
struct OptionalCount {
  std::optional<std::uint64_t> value;
};

PyObject* h_optional_count(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    auto [v, n] = value_and_name(args);
    OptionalCount c;
    param<OptionalCount>(&OptionalCount::value, n.c_str(), kCount, kNone).set(c, v);
    if (!c.value) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*c.value);
  });
}

// Raises an internal invariant failure with the lock held (released=False) or from inside
// a lock-released section (released=True).
PyObject* h_invariant(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* msg = nullptr;
    int released = 0;
    if (!PyArg_ParseTuple(args, "sp", &msg, &released)) throw PyErrorSet{};
    const std::string text = msg;
    if (released) {
      ReleaseGil unlocked;
      invariant_failure(text);
    }
    invariant_failure(text);
  });
}

PyObject* h_bad_alloc(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

// --- result-class builders ---------------------------------------------------------------
// Every field is an argument with a default (zero, empty or absent; None gives an absent
// optional), declared like the module's own functions.

const EntryPoint<PyScResult> make_sc_result{
    "make_sc_result", "",
    {TX_PARAM(PyScResult, att, kReal, 0.0), TX_PARAM(PyScResult, att_path, kFloatList, kEmptyList),
     TX_PARAM(PyScResult, counterfactual, kFloatList, kEmptyList),
     TX_PARAM(PyScResult, treated_post, kFloatList, kEmptyList),
     TX_PARAM(PyScResult, weights, kFloatList, kEmptyList),
     TX_PARAM(PyScResult, donor_ids, kIndexList, kEmptyList), TX_PARAM(PyScResult, pre_rmspe, kReal, 0.0),
     TX_PARAM(PyScResult, post_rmspe, kReal, 0.0), TX_PARAM(PyScResult, p_value, kReal, kNone),
     TX_PARAM(PyScResult, se, kReal, kNone), TX_PARAM(PyScResult, ci_lower, kReal, kNone),
     TX_PARAM(PyScResult, ci_upper, kReal, kNone),
     TX_PARAM(PyScResult, inference_distribution, kFloatList, kNone),
     TX_PARAM(PyScResult, placebo_atts, kFloatList, kNone)}};

const EntryPoint<PyCpascResult> make_cpasc_result{
    "make_cpasc_result", "",
    {TX_PARAM(PyCpascResult, att, kReal, 0.0), TX_PARAM(PyCpascResult, p_value, kReal, 0.0),
     TX_PARAM(PyCpascResult, unit_ids, kIndexList, kEmptyList),
     TX_PARAM(PyCpascResult, unit_att, kFloatList, kEmptyList),
     TX_PARAM(PyCpascResult, unit_mspe, kFloatList, kEmptyList),
     TX_PARAM(PyCpascResult, unit_weight, kFloatList, kEmptyList),
     TX_PARAM(PyCpascResult, pooled_residual, kFloatList, kEmptyList),
     TX_PARAM(PyCpascResult, null_residual, kFloatList, kEmptyList), TX_PARAM(PyCpascResult, t0, kCount, 0)}};

const EntryPoint<PyPowerResult> make_power_result{
    "make_power_result", "",
    {TX_PARAM(PyPowerResult, method, kChoice, ""), TX_PARAM(PyPowerResult, lifts, kFloatList, kEmptyList),
     TX_PARAM(PyPowerResult, power, kFloatList, kEmptyList),
     TX_PARAM(PyPowerResult, est_mean, kFloatList, kEmptyList),
     TX_PARAM(PyPowerResult, est_lo, kFloatList, kEmptyList),
     TX_PARAM(PyPowerResult, est_hi, kFloatList, kEmptyList), TX_PARAM(PyPowerResult, mde_pct, kReal, kNone),
     TX_PARAM(PyPowerResult, mde_abs_per_period, kReal, kNone),
     TX_PARAM(PyPowerResult, mde_cumulative, kReal, kNone), TX_PARAM(PyPowerResult, crit, kReal, 0.0),
     TX_PARAM(PyPowerResult, se_null, kReal, 0.0), TX_PARAM(PyPowerResult, n_windows, kCount, 0),
     TX_PARAM(PyPowerResult, ensemble_weights, kFloatList, kNone)}};

const EntryPoint<PyGeoDiagnostics> make_geo_diagnostics{
    "make_geo_diagnostics", "",
    {TX_PARAM(PyGeoDiagnostics, holdout_pct, kReal, 0.0), TX_PARAM(PyGeoDiagnostics, pre_fit_rel, kReal, 0.0),
     TX_PARAM(PyGeoDiagnostics, improvement_vs_naive, kReal, 0.0),
     TX_PARAM(PyGeoDiagnostics, seasonality_strength, kReal, 0.0),
     TX_PARAM(PyGeoDiagnostics, stability_score, kReal, 0.0), TX_PARAM(PyGeoDiagnostics, confidence, kReal, 0.0),
     TX_PARAM(PyGeoDiagnostics, warnings, kNameList, kEmptyList)}};

const EntryPoint<PyMarketCandidate> make_market_candidate{
    "make_market_candidate", "",
    {TX_PARAM(PyMarketCandidate, treated, kIndexList, kEmptyList),
     TX_PARAM(PyMarketCandidate, power_at_target, kReal, 0.0), TX_PARAM(PyMarketCandidate, mde_pct, kReal, kNone),
     TX_PARAM(PyMarketCandidate, holdout_pct, kReal, 0.0), TX_PARAM(PyMarketCandidate, pre_fit_rel, kReal, 0.0),
     TX_PARAM(PyMarketCandidate, stability_score, kReal, 0.0),
     TX_PARAM(PyMarketCandidate, confidence, kReal, 0.0), TX_PARAM(PyMarketCandidate, score, kReal, 0.0)}};

// A builder: the declared record wrapped as its result class.
template <const auto& Entry>
PyObject* build(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return wrap(Entry.parse(args, kwargs)); });
}

// A Bacon component from (kind, treated_cohort, comparison_cohort or None, weight, estimate).
PyBaconComponent bacon_component(PyObject* obj) {
  const char* kind = nullptr;
  long long treated = 0;
  PyObject* comparison = nullptr;
  PyBaconComponent c;
  if (!PyArg_ParseTuple(obj, "sLOdd", &kind, &treated, &comparison, &c.weight, &c.estimate)) {
    throw PyErrorSet{};
  }
  c.kind = kind;
  c.treated_cohort = treated;
  if (comparison != Py_None) {
    const long long k = PyLong_AsLongLong(comparison);
    if (k == -1 && PyErr_Occurred()) throw PyErrorSet{};
    c.comparison_cohort = k;
  }
  return c;
}

PyObject* h_make_bacon_component(PyObject*, PyObject* args) {
  return guarded([&] { return wrap(bacon_component(args)); });
}

// make_bacon_result(twfe, forbidden_weight, components): components as a list of the
// tuples make_bacon_component takes.
PyObject* h_make_bacon_result(PyObject*, PyObject* args) {
  return guarded([&] {
    PyBaconResult r;
    PyObject* components = nullptr;
    if (!PyArg_ParseTuple(args, "ddO!", &r.twfe, &r.forbidden_weight, &PyList_Type,
                          &components)) {
      throw PyErrorSet{};
    }
    for (Py_ssize_t i = 0; i < PyList_Size(components); ++i) {
      PyObject* item = PyList_GetItem(components, i);  // borrowed
      if (!PyTuple_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "components must be tuples");
        throw PyErrorSet{};
      }
      r.components.push_back(bacon_component(item));
    }
    return wrap(std::move(r));
  });
}

PyMethodDef hooks[] = {
    {"panel", h_panel, METH_VARARGS, nullptr},
    {"check_panel", h_check_panel, METH_VARARGS, nullptr},
    {"panel_stack", h_panel_stack, METH_VARARGS, nullptr},
    {"index_list", h_index_list, METH_VARARGS, nullptr},
    {"cohort_list", h_cohort_list, METH_VARARGS, nullptr},
    {"float_list", h_float_list, METH_VARARGS, nullptr},
    {"name_list", h_name_list, METH_VARARGS, nullptr},
    {"count", h_count, METH_VARARGS, nullptr},
    {"real", h_real, METH_VARARGS, nullptr},
    {"flag", h_flag, METH_VARARGS, nullptr},
    {"choice", h_choice, METH_VARARGS, nullptr},
    {"optional_count", h_optional_count, METH_VARARGS, nullptr},
    {"invariant", h_invariant, METH_VARARGS, nullptr},
    {"bad_alloc", h_bad_alloc, METH_NOARGS, nullptr},
    method_def(make_sc_result.signature(), build<make_sc_result>),
    method_def(make_cpasc_result.signature(), build<make_cpasc_result>),
    {"make_bacon_component", h_make_bacon_component, METH_VARARGS, nullptr},
    {"make_bacon_result", h_make_bacon_result, METH_VARARGS, nullptr},
    method_def(make_power_result.signature(), build<make_power_result>),
    method_def(make_geo_diagnostics.signature(), build<make_geo_diagnostics>),
    method_def(make_market_candidate.signature(), build<make_market_candidate>),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {PyModuleDef_HEAD_INIT, "_testhooks", "Test-only conversion hooks.",
                         -1, hooks, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tessarix::bindings

// The builders return instances of the classes of the real module, not of a private copy.
PyMODINIT_FUNC PyInit__testhooks(void) {
  using namespace tessarix::bindings;
  PyRef main_module(PyImport_ImportModule("tessarix._tessarix"));
  if (!main_module || use_result_classes(main_module.get()) < 0) return nullptr;
  return PyModule_Create(&hooks_def);
}
