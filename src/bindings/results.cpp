#include "bindings/results.hpp"

#include <new>
#include <string>
#include <type_traits>

#include "bindings/boundary.hpp"
#include "bindings/format.hpp"

namespace tessarix::bindings {
namespace {

// Python object layout of a result class: the object header, then the native record.
template <class T>
struct Box {
  PyObject ob_base;
  T value;
};

template <class T>
T& native(PyObject* self) {
  return reinterpret_cast<Box<T>*>(self)->value;
}

// The result classes, one strong reference each, set by add_result_classes (or bound to
// another module's classes by use_result_classes).
PyObject* sc_type = nullptr;
PyObject* cpasc_type = nullptr;
PyObject* did_type = nullptr;
PyObject* bacon_component_type = nullptr;
PyObject* bacon_type = nullptr;
PyObject* power_type = nullptr;
PyObject* geo_type = nullptr;
PyObject* market_type = nullptr;

template <class T>
PyObject* wrap_as(PyObject* type, T&& value) {
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "tessarix result classes are not initialised");
    throw PyErrorSet{};
  }
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (obj == nullptr) throw PyErrorSet{};
  new (&native<T>(obj)) T(std::move(value));
  return obj;
}

// --- native value -> fresh Python object ------------------------------------------------

PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(const std::string& v) {
  return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
// A stored Bacon component is handed out as a new BaconComponent owning a copy.
PyObject* to_py(const PyBaconComponent& v) {
  return wrap_as(bacon_component_type, PyBaconComponent(v));
}

template <class T>
PyObject* to_py(const std::vector<T>& v) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = to_py(v[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// After the list overload, so that an optional list finds it.
template <class T>
PyObject* to_py(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return to_py(*v);
}

template <class T, auto Member>
PyObject* get_field(PyObject* self, void*) {
  return guarded([&] { return to_py(native<T>(self).*Member); });
}

// --- type machinery ---------------------------------------------------------------------

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  native<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <class T, std::string (*Repr)(const T&)>
PyObject* repr(PyObject* self) {
  return guarded([&] {
    const std::string s = Repr(native<T>(self));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

template <class T, std::string (*Repr)(const T&)>
PyObject* make_type(const char* name, const char* doc, PyGetSetDef* getset) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_getset, getset},
      {Py_tp_repr, reinterpret_cast<void*>(&repr<T, Repr>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)},
      {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
      {0, nullptr},
  };
  PyType_Spec spec = {name, static_cast<int>(sizeof(Box<T>)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&spec);
}

// PyGetSetDef wants mutable char pointers; CPython never writes through them.
char* doc_text(const char* s) { return const_cast<char*>(s); }

#define TX_GET(T, field, doc) {#field, &get_field<T, &T::field>, nullptr, doc_text(doc), nullptr}

// "Some(x)" / "None" for an optional value in a repr.
template <class T, class F>
std::string fmt_optional(const std::optional<T>& v, F fmt) {
  return v ? "Some(" + fmt(*v) + ")" : std::string("None");
}

std::string count(std::size_t n) { return std::to_string(n); }

// --- SCResult ---------------------------------------------------------------------------

std::string sc_repr(const PyScResult& r) {
  std::string s = "SCResult(att=" + fmt_fixed(r.att, 6);
  if (r.p_value) s += ", p=" + fmt_fixed(*r.p_value, 4);
  return s + ", pre_rmspe=" + fmt_fixed(r.pre_rmspe, 4) +
         ", post_rmspe=" + fmt_fixed(r.post_rmspe, 4) + ", n_donors=" + count(r.donor_ids.size()) +
         ")";
}

PyGetSetDef sc_getset[] = {
    TX_GET(PyScResult, att, "Average post-period ATT."),
    TX_GET(PyScResult, att_path, "Per-post-period ATT path."),
    TX_GET(PyScResult, counterfactual, "Estimated post-period counterfactual."),
    TX_GET(PyScResult, treated_post, "Observed (aggregated) treated outcome on the post-period."),
    TX_GET(PyScResult, weights, "Donor weights."),
    TX_GET(PyScResult, donor_ids, "Donor unit indices matching `weights`."),
    TX_GET(PyScResult, pre_rmspe, "Pre-period RMSPE (fit quality)."),
    TX_GET(PyScResult, post_rmspe, "Post-period RMSPE."),
    TX_GET(PyScResult, p_value, "Placebo p-value, if inference was requested."),
    TX_GET(PyScResult, se,
           "ATT-scale standard error (outcome units), if inference was requested.\n"
           "For placebo inference this is the spread of the placebo ATTs, not of\n"
           "the dimensionless RMSPE ratios."),
    TX_GET(PyScResult, ci_lower, "ATT-scale confidence bounds, if inference was requested."),
    TX_GET(PyScResult, ci_upper, nullptr),
    TX_GET(PyScResult, inference_distribution,
           "The test-statistic null distribution (placebo RMSPE ratios — the\n"
           "dimensionless statistics behind `p_value`), if available."),
    TX_GET(PyScResult, placebo_atts,
           "Placebo ATTs in outcome units (one per donor refit as pseudo-treated)\n"
           "— the ATT-scale null behind `se`/`ci_*`, if placebo inference ran."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- CPASCResult ------------------------------------------------------------------------

std::string cpasc_repr(const PyCpascResult& r) {
  return "CPASCResult(att=" + fmt_fixed(r.att, 6) + ", p=" + fmt_fixed(r.p_value, 4) +
         ", n_treated=" + count(r.unit_ids.size()) + ")";
}

PyGetSetDef cpasc_getset[] = {
    TX_GET(PyCpascResult, att, "Pooled ATT."),
    TX_GET(PyCpascResult, p_value, "Conformal block-permutation p-value."),
    TX_GET(PyCpascResult, unit_ids, "Treated unit indices."),
    TX_GET(PyCpascResult, unit_att, "Per-unit ATT."),
    TX_GET(PyCpascResult, unit_mspe, "Per-unit pre-period MSPE (fit quality)."),
    TX_GET(PyCpascResult, unit_weight, "Per-unit pooling weight."),
    TX_GET(PyCpascResult, pooled_residual,
           "Pooled residual path of the main fit (length T; descriptive)."),
    TX_GET(PyCpascResult, null_residual,
           "Pooled residual path of the null-imposed full-sample refit (length T)\n"
           "— the exchangeable path the conformal permutation tests."),
    TX_GET(PyCpascResult, t0, "First post-period index."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- DiDResult --------------------------------------------------------------------------

std::string did_repr(const PyDidResult& r) {
  return "DiDResult(att=" + fmt_fixed(r.att, 6) + ", se=" + fmt_fixed(r.se, 6) +
         ", n_event_times=" + std::to_string(r.event_time.size()) + ")";
}

PyGetSetDef did_getset[] = {
    TX_GET(PyDidResult, att, "Overall ATT."),
    TX_GET(PyDidResult, se, "Standard error of the overall ATT (cluster-robust / IF-based)."),
    TX_GET(PyDidResult, event_time, "Event-study relative periods."),
    TX_GET(PyDidResult, event_att, "Event-study coefficients matching `event_time`."),
    TX_GET(PyDidResult, event_se, "Event-study standard errors matching `event_time`."),
    TX_GET(PyDidResult, event_lo,
           "Simultaneous (sup-t) band bounds per event time, when the multiplier\n"
           "bootstrap ran (`bands=True`); empty otherwise."),
    TX_GET(PyDidResult, event_hi, nullptr),
    TX_GET(PyDidResult, band_crit, "The sup-t band critical value (in SE units), when bands ran."),
    TX_GET(PyDidResult, group_cohort,
           "Per-cohort (\"group\") aggregation: cohorts, their ATT_g and SEs.\n"
           "Callaway & Sant'Anna only; empty for TWFE / Sun-Abraham."),
    TX_GET(PyDidResult, group_att, nullptr),
    TX_GET(PyDidResult, group_se, nullptr),
    TX_GET(PyDidResult, overall_group_att,
           "Cohort-size-weighted average of ATT_g (C&S's recommended headline\n"
           "aggregation), when available."),
    TX_GET(PyDidResult, overall_group_se, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- BaconComponent and BaconResult -----------------------------------------------------

std::string bacon_component_repr(const PyBaconComponent& c) {
  return "BaconComponent(kind=" + c.kind + ", treated=" + std::to_string(c.treated_cohort) +
         ", comparison=" +
         fmt_optional(c.comparison_cohort, [](std::int64_t k) { return std::to_string(k); }) +
         ", weight=" + fmt_fixed(c.weight, 4) + ", estimate=" + fmt_fixed(c.estimate, 4) + ")";
}

PyGetSetDef bacon_component_getset[] = {
    TX_GET(PyBaconComponent, kind,
           "\"treated_vs_untreated\", \"earlier_vs_later\", or \"later_vs_earlier_forbidden\"."),
    TX_GET(PyBaconComponent, treated_cohort, nullptr),
    TX_GET(PyBaconComponent, comparison_cohort, nullptr),
    TX_GET(PyBaconComponent, weight, nullptr),
    TX_GET(PyBaconComponent, estimate, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string bacon_repr(const PyBaconResult& r) {
  return "BaconResult(twfe=" + fmt_fixed(r.twfe, 6) +
         ", forbidden_weight=" + fmt_fixed(r.forbidden_weight, 4) +
         ", n_components=" + count(r.components.size()) + ")";
}

PyGetSetDef bacon_getset[] = {
    TX_GET(PyBaconResult, twfe,
           "Weighted-average estimate `Σ wᵢ βᵢ` — equals the TWFE "
           "coefficient."),
    TX_GET(PyBaconResult, forbidden_weight,
           "Total weight on forbidden (later-vs-earlier) comparisons."),
    TX_GET(PyBaconResult, components, "All 2×2 comparisons."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- PowerResult ------------------------------------------------------------------------

std::string power_repr(const PyPowerResult& r) {
  return "PowerResult(method=" + r.method + ", mde_pct=" + fmt_optional(r.mde_pct, fmt_debug) +
         ", n_windows=" + std::to_string(r.n_windows) + ")";
}

PyGetSetDef power_getset[] = {
    TX_GET(PyPowerResult, method, nullptr),
    TX_GET(PyPowerResult, lifts, "True injected lifts (x-axis), as fractions."),
    TX_GET(PyPowerResult, power, "Detection rate at each lift."),
    TX_GET(PyPowerResult, est_mean, "Mean estimated lift (%) at each true lift."),
    TX_GET(PyPowerResult, est_lo, nullptr),
    TX_GET(PyPowerResult, est_hi, nullptr),
    TX_GET(PyPowerResult, mde_pct, nullptr),
    TX_GET(PyPowerResult, mde_abs_per_period, nullptr),
    TX_GET(PyPowerResult, mde_cumulative, nullptr),
    TX_GET(PyPowerResult, crit, nullptr),
    TX_GET(PyPowerResult, se_null, nullptr),
    TX_GET(PyPowerResult, n_windows, nullptr),
    TX_GET(PyPowerResult, ensemble_weights,
           "For the ensemble method: the normalized `[w_sc, w_asc, w_sdid]` weights\n"
           "used. `None` for single-method results."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- GeoDiagnostics ---------------------------------------------------------------------

std::string geo_repr(const PyGeoDiagnostics& d) {
  return "GeoDiagnostics(confidence=" + fmt_fixed(d.confidence, 0) +
         ", holdout=" + fmt_fixed(d.holdout_pct * 100.0, 1) +
         "%, n_warnings=" + count(d.warnings.size()) + ")";
}

PyGetSetDef geo_getset[] = {
    TX_GET(PyGeoDiagnostics, holdout_pct, nullptr),
    TX_GET(PyGeoDiagnostics, pre_fit_rel, nullptr),
    TX_GET(PyGeoDiagnostics, improvement_vs_naive, nullptr),
    TX_GET(PyGeoDiagnostics, seasonality_strength, nullptr),
    TX_GET(PyGeoDiagnostics, stability_score, nullptr),
    TX_GET(PyGeoDiagnostics, confidence, nullptr),
    TX_GET(PyGeoDiagnostics, warnings, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- MarketCandidate --------------------------------------------------------------------

std::string market_repr(const PyMarketCandidate& m) {
  std::string treated = "[";
  for (std::size_t i = 0; i < m.treated.size(); ++i) {
    if (i > 0) treated += ", ";
    treated += std::to_string(m.treated[i]);
  }
  treated += "]";
  return "MarketCandidate(treated=" + treated + ", power=" + fmt_fixed(m.power_at_target, 2) +
         ", confidence=" + fmt_fixed(m.confidence, 0) + ", score=" + fmt_fixed(m.score, 3) + ")";
}

PyGetSetDef market_getset[] = {
    TX_GET(PyMarketCandidate, treated, nullptr),
    TX_GET(PyMarketCandidate, power_at_target, nullptr),
    TX_GET(PyMarketCandidate, mde_pct, nullptr),
    TX_GET(PyMarketCandidate, holdout_pct, nullptr),
    TX_GET(PyMarketCandidate, pre_fit_rel, nullptr),
    TX_GET(PyMarketCandidate, stability_score, nullptr),
    TX_GET(PyMarketCandidate, confidence, nullptr),
    TX_GET(PyMarketCandidate, score, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Adds a freshly created type to the module, keeping one reference in `slot`.
int add_type(PyObject* module, PyObject* type, PyObject*& slot) {
  if (type == nullptr) return -1;
  slot = type;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
}

// Points `slot` at the class `name` that another copy of this code registered in `module`,
// after checking that its instances have the layout of Box<T>.
template <class T>
int bind_type(PyObject* module, const char* name, PyObject*& slot) {
  PyRef type(PyObject_GetAttrString(module, name));
  if (!type) return -1;
  PyRef size(PyType_Check(type.get()) ? PyObject_GetAttrString(type.get(), "__basicsize__")
                                      : nullptr);
  if (!size || PyLong_AsSsize_t(size.get()) != static_cast<Py_ssize_t>(sizeof(Box<T>))) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "%s is not a tessarix result class", name);
    }
    return -1;
  }
  PyObject* old = slot;
  slot = type.release();
  Py_XDECREF(old);
  return 0;
}

// Result classes carry their bare Python name (no module prefix). CPython warns about such
// types at creation with a DeprecationWarning, which would turn into an import failure under
// `-W error`; the warning is silenced for the duration of the class creation only.
class QuietTypeCreation {
public:
  QuietTypeCreation() {
    PyRef warnings(PyImport_ImportModule("warnings"));
    if (warnings) guard_ = PyRef(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (guard_) {
      PyRef entered(PyObject_CallMethod(guard_.get(), "__enter__", nullptr));
      PyRef filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                         PyExc_DeprecationWarning));
    }
    PyErr_Clear();
  }
  QuietTypeCreation(const QuietTypeCreation&) = delete;
  QuietTypeCreation& operator=(const QuietTypeCreation&) = delete;
  ~QuietTypeCreation() {
    if (!guard_) return;
    // Keep any error raised by the creation itself across the __exit__ call.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef exited(PyObject_CallMethod(guard_.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
  }

private:
  PyRef guard_;
};

}  // namespace

int add_result_classes(PyObject* module) {
  const QuietTypeCreation quiet;
  // Registration order is the order the classes appear in the module namespace.
  if (add_type(module,
               make_type<PyPowerResult, power_repr>(
                   "PowerResult",
                   "Power-analysis result for one estimator (flattened for easy plotting).",
                   power_getset),
               power_type) < 0 ||
      add_type(module,
               make_type<PyGeoDiagnostics, geo_repr>(
                   "GeoDiagnostics", "Design diagnostics, exposed to Python.", geo_getset),
               geo_type) < 0 ||
      add_type(module,
               make_type<PyMarketCandidate, market_repr>(
                   "MarketCandidate", "One ranked candidate treatment-market set.",
                   market_getset),
               market_type) < 0 ||
      add_type(module,
               make_type<PyScResult, sc_repr>(
                   "SCResult", "Result of a synthetic-control-family fit, exposed to Python.",
                   sc_getset),
               sc_type) < 0 ||
      add_type(module,
               make_type<PyCpascResult, cpasc_repr>(
                   "CPASCResult", "Result of a CP-ASC-family fit, exposed to Python.",
                   cpasc_getset),
               cpasc_type) < 0 ||
      add_type(module,
               make_type<PyDidResult, did_repr>(
                   "DiDResult", "Result of a difference-in-differences fit, exposed to Python.",
                   did_getset),
               did_type) < 0 ||
      add_type(module,
               make_type<PyBaconComponent, bacon_component_repr>(
                   "BaconComponent", "One 2×2 comparison in a Goodman-Bacon decomposition.",
                   bacon_component_getset),
               bacon_component_type) < 0 ||
      add_type(module,
               make_type<PyBaconResult, bacon_repr>(
                   "BaconResult", "Result of a Goodman-Bacon decomposition.", bacon_getset),
               bacon_type) < 0) {
    return -1;
  }
  return 0;
}

int use_result_classes(PyObject* module) {
  return bind_type<PyPowerResult>(module, "PowerResult", power_type) < 0 ||
                 bind_type<PyGeoDiagnostics>(module, "GeoDiagnostics", geo_type) < 0 ||
                 bind_type<PyMarketCandidate>(module, "MarketCandidate", market_type) < 0 ||
                 bind_type<PyScResult>(module, "SCResult", sc_type) < 0 ||
                 bind_type<PyCpascResult>(module, "CPASCResult", cpasc_type) < 0 ||
                 bind_type<PyDidResult>(module, "DiDResult", did_type) < 0 ||
                 bind_type<PyBaconComponent>(module, "BaconComponent", bacon_component_type) < 0 ||
                 bind_type<PyBaconResult>(module, "BaconResult", bacon_type) < 0
             ? -1
             : 0;
}

PyObject* wrap(PyScResult&& value) { return wrap_as(sc_type, std::move(value)); }
PyObject* wrap(PyCpascResult&& value) { return wrap_as(cpasc_type, std::move(value)); }
PyObject* wrap(PyDidResult&& value) { return wrap_as(did_type, std::move(value)); }
PyObject* wrap(PyBaconResult&& value) { return wrap_as(bacon_type, std::move(value)); }
PyObject* wrap(PyBaconComponent&& value) {
  return wrap_as(bacon_component_type, std::move(value));
}
PyObject* wrap(PyPowerResult&& value) { return wrap_as(power_type, std::move(value)); }
PyObject* wrap(PyGeoDiagnostics&& value) { return wrap_as(geo_type, std::move(value)); }
PyObject* wrap(PyMarketCandidate&& value) { return wrap_as(market_type, std::move(value)); }

}  // namespace tessarix::bindings
