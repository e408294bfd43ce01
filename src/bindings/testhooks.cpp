// Test-only module `tessarix._testhooks` (built with TESSARIX_TEST_HOOKS=ON, never shipped):
// exposes each argument converter and the failure boundary directly, so that the tests can
// pin conversions that no entry point reaches yet, and builds each result class from plain
// Python values, so that the classes can be tested before (and apart from) the estimators
// that return them.
#include <new>
#include <string>

#include "bindings/boundary.hpp"
#include "bindings/convert.hpp"
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

// Optional count: None or omitted gives None.
PyObject* h_optional_count(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    auto [v, n] = value_and_name(args);
    const auto c = optional_arg(v, n.c_str(), to_count);
    if (!c) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*c);
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
// Every field is a keyword argument; omitted ones keep the record's default (zero, empty or
// absent), and None gives an absent optional.

template <std::size_t N>
using Args = std::array<PyObject*, N>;

std::vector<double> floats_or_empty(PyObject* obj, const char* name) {
  return arg_or(obj, name, to_float_list, std::vector<double>{});
}

PyObject* h_make_sc_result(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 14> names = {
        "att",      "att_path", "counterfactual", "treated_post", "weights",
        "donor_ids", "pre_rmspe", "post_rmspe",   "p_value",      "se",
        "ci_lower", "ci_upper", "inference_distribution", "placebo_atts"};
    const auto a = bind_args(args, kwargs, "make_sc_result", names, 0);
    PyScResult r;
    r.att = arg_or(a[0], names[0], to_real, 0.0);
    r.att_path = floats_or_empty(a[1], names[1]);
    r.counterfactual = floats_or_empty(a[2], names[2]);
    r.treated_post = floats_or_empty(a[3], names[3]);
    r.weights = floats_or_empty(a[4], names[4]);
    r.donor_ids = arg_or(a[5], names[5], to_index_list, std::vector<std::uint64_t>{});
    r.pre_rmspe = arg_or(a[6], names[6], to_real, 0.0);
    r.post_rmspe = arg_or(a[7], names[7], to_real, 0.0);
    r.p_value = optional_arg(a[8], names[8], to_real);
    r.se = optional_arg(a[9], names[9], to_real);
    r.ci_lower = optional_arg(a[10], names[10], to_real);
    r.ci_upper = optional_arg(a[11], names[11], to_real);
    r.inference_distribution = optional_arg(a[12], names[12], to_float_list);
    r.placebo_atts = optional_arg(a[13], names[13], to_float_list);
    return wrap(std::move(r));
  });
}

PyObject* h_make_cpasc_result(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 9> names = {
        "att",         "p_value",         "unit_ids",      "unit_att", "unit_mspe",
        "unit_weight", "pooled_residual", "null_residual", "t0"};
    const auto a = bind_args(args, kwargs, "make_cpasc_result", names, 0);
    PyCpascResult r;
    r.att = arg_or(a[0], names[0], to_real, 0.0);
    r.p_value = arg_or(a[1], names[1], to_real, 0.0);
    r.unit_ids = arg_or(a[2], names[2], to_index_list, std::vector<std::uint64_t>{});
    r.unit_att = floats_or_empty(a[3], names[3]);
    r.unit_mspe = floats_or_empty(a[4], names[4]);
    r.unit_weight = floats_or_empty(a[5], names[5]);
    r.pooled_residual = floats_or_empty(a[6], names[6]);
    r.null_residual = floats_or_empty(a[7], names[7]);
    r.t0 = arg_or(a[8], names[8], to_count, std::uint64_t{0});
    return wrap(std::move(r));
  });
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

PyObject* h_make_power_result(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 13> names = {
        "method",         "lifts",  "power",   "est_mean",  "est_lo",
        "est_hi",         "mde_pct", "mde_abs_per_period", "mde_cumulative",
        "crit",           "se_null", "n_windows", "ensemble_weights"};
    const auto a = bind_args(args, kwargs, "make_power_result", names, 0);
    PyPowerResult r;
    r.method = arg_or(a[0], names[0], to_choice, std::string());
    r.lifts = floats_or_empty(a[1], names[1]);
    r.power = floats_or_empty(a[2], names[2]);
    r.est_mean = floats_or_empty(a[3], names[3]);
    r.est_lo = floats_or_empty(a[4], names[4]);
    r.est_hi = floats_or_empty(a[5], names[5]);
    r.mde_pct = optional_arg(a[6], names[6], to_real);
    r.mde_abs_per_period = optional_arg(a[7], names[7], to_real);
    r.mde_cumulative = optional_arg(a[8], names[8], to_real);
    r.crit = arg_or(a[9], names[9], to_real, 0.0);
    r.se_null = arg_or(a[10], names[10], to_real, 0.0);
    r.n_windows = arg_or(a[11], names[11], to_count, std::uint64_t{0});
    r.ensemble_weights = optional_arg(a[12], names[12], to_float_list);
    return wrap(std::move(r));
  });
}

PyObject* h_make_geo_diagnostics(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 7> names = {
        "holdout_pct",     "pre_fit_rel", "improvement_vs_naive", "seasonality_strength",
        "stability_score", "confidence",  "warnings"};
    const auto a = bind_args(args, kwargs, "make_geo_diagnostics", names, 0);
    PyGeoDiagnostics d;
    d.holdout_pct = arg_or(a[0], names[0], to_real, 0.0);
    d.pre_fit_rel = arg_or(a[1], names[1], to_real, 0.0);
    d.improvement_vs_naive = arg_or(a[2], names[2], to_real, 0.0);
    d.seasonality_strength = arg_or(a[3], names[3], to_real, 0.0);
    d.stability_score = arg_or(a[4], names[4], to_real, 0.0);
    d.confidence = arg_or(a[5], names[5], to_real, 0.0);
    d.warnings = arg_or(a[6], names[6], to_name_list, std::vector<std::string>{});
    return wrap(std::move(d));
  });
}

PyObject* h_make_market_candidate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 8> names = {
        "treated",         "power_at_target", "mde_pct", "holdout_pct", "pre_fit_rel",
        "stability_score", "confidence",      "score"};
    const auto a = bind_args(args, kwargs, "make_market_candidate", names, 0);
    PyMarketCandidate m;
    m.treated = arg_or(a[0], names[0], to_index_list, std::vector<std::uint64_t>{});
    m.power_at_target = arg_or(a[1], names[1], to_real, 0.0);
    m.mde_pct = optional_arg(a[2], names[2], to_real);
    m.holdout_pct = arg_or(a[3], names[3], to_real, 0.0);
    m.pre_fit_rel = arg_or(a[4], names[4], to_real, 0.0);
    m.stability_score = arg_or(a[5], names[5], to_real, 0.0);
    m.confidence = arg_or(a[6], names[6], to_real, 0.0);
    m.score = arg_or(a[7], names[7], to_real, 0.0);
    return wrap(std::move(m));
  });
}

// METH_VARARGS | METH_KEYWORDS functions go through PyCFunction's signature.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
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
    {"make_sc_result", with_keywords<h_make_sc_result>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"make_cpasc_result", with_keywords<h_make_cpasc_result>(), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"make_bacon_component", h_make_bacon_component, METH_VARARGS, nullptr},
    {"make_bacon_result", h_make_bacon_result, METH_VARARGS, nullptr},
    {"make_power_result", with_keywords<h_make_power_result>(), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"make_geo_diagnostics", with_keywords<h_make_geo_diagnostics>(),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"make_market_candidate", with_keywords<h_make_market_candidate>(),
     METH_VARARGS | METH_KEYWORDS, nullptr},
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
