#include "bindings/results.hpp"

#include <array>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bindings/boundary.hpp"
#include "bindings/format.hpp"

namespace tessarix::bindings {
namespace {

// --- how a result class is declared ----------------------------------------------------

// The name a class is created under, "tessarix.<Name>". CPython takes the part before the
// last dot as the class's __module__ and the rest as its __name__ and __qualname__. The
// package re-exports every class, so help(), inspect.getmodule and pickle's by-reference
// lookup of the class all resolve tessarix.<Name>.
class TypeName {
public:
  // A name too long for the buffer is not a constant expression, so it fails to compile.
  consteval TypeName(const char* name) {
    std::size_t n = 0;
    for (const char c : kPackage) text_[n++] = c;
    text_[n++] = '.';
    for (const char* p = name; *p != '\0'; ++p) text_[n++] = *p;
    text_[n] = '\0';
  }
  constexpr const char* dotted() const { return text_; }
  constexpr const char* bare() const { return text_ + kPackage.size() + 1; }

private:
  static constexpr std::string_view kPackage = "tessarix";
  char text_[40]{};
};

template <class M>
struct MemberPointer;
template <class R, class V>
struct MemberPointer<V R::*> {
  using Record = R;
  using Value = V;
};

// One attribute: its Python name and docstring (nullptr for none) and the record member it
// reads.
template <auto Member>
struct Field {
  static constexpr auto member = Member;
  using Record = typename MemberPointer<decltype(Member)>::Record;
  using Value = typename MemberPointer<decltype(Member)>::Value;
  const char* name;
  const char* doc;
};

// Everything that makes a result class: its name, docstring and repr, and its attributes in
// declared order (which is also the order of its pickled state).
template <class T, class... Fields>
struct ResultClass {
  using Record = T;
  TypeName name;
  const char* doc;
  std::string (*repr)(const T&);
  std::tuple<Fields...> fields;
};

template <class T, auto... Members>
consteval ResultClass<T, Field<Members>...> result_class(TypeName name, const char* doc,
                                                         std::string (*repr)(const T&),
                                                         Field<Members>... fields) {
  static_assert((std::is_same_v<typename Field<Members>::Record, T> && ...),
                "every attribute reads a member of the class's own record");
  return {name, doc, repr, {fields...}};
}

#define TX_FIELD(T, member, doc) Field<&T::member>{#member, doc}

// --- reprs ------------------------------------------------------------------------------

// "Some(x)" / "None" for an optional value in a repr.
template <class T, class F>
std::string fmt_optional(const std::optional<T>& v, F fmt) {
  return v ? "Some(" + fmt(*v) + ")" : std::string("None");
}

std::string count(std::size_t n) { return std::to_string(n); }

std::string power_repr(const PyPowerResult& r) {
  return "PowerResult(method=" + r.method + ", mde_pct=" + fmt_optional(r.mde_pct, fmt_debug) +
         ", n_windows=" + std::to_string(r.n_windows) + ")";
}

std::string geo_repr(const PyGeoDiagnostics& d) {
  return "GeoDiagnostics(confidence=" + fmt_fixed(d.confidence, 0) +
         ", holdout=" + fmt_fixed(d.holdout_pct * 100.0, 1) +
         "%, n_warnings=" + count(d.warnings.size()) + ")";
}

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

std::string sc_repr(const PyScResult& r) {
  std::string s = "SCResult(att=" + fmt_fixed(r.att, 6);
  if (r.p_value) s += ", p=" + fmt_fixed(*r.p_value, 4);
  return s + ", pre_rmspe=" + fmt_fixed(r.pre_rmspe, 4) +
         ", post_rmspe=" + fmt_fixed(r.post_rmspe, 4) + ", n_donors=" + count(r.donor_ids.size()) +
         ")";
}

std::string cpasc_repr(const PyCpascResult& r) {
  return "CPASCResult(att=" + fmt_fixed(r.att, 6) + ", p=" + fmt_fixed(r.p_value, 4) +
         ", n_treated=" + count(r.unit_ids.size()) + ")";
}

std::string did_repr(const PyDidResult& r) {
  return "DiDResult(att=" + fmt_fixed(r.att, 6) + ", se=" + fmt_fixed(r.se, 6) +
         ", n_event_times=" + std::to_string(r.event_time.size()) + ")";
}

std::string bacon_component_repr(const PyBaconComponent& c) {
  return "BaconComponent(kind=" + c.kind + ", treated=" + std::to_string(c.treated_cohort) +
         ", comparison=" +
         fmt_optional(c.comparison_cohort, [](std::int64_t k) { return std::to_string(k); }) +
         ", weight=" + fmt_fixed(c.weight, 4) + ", estimate=" + fmt_fixed(c.estimate, 4) + ")";
}

std::string bacon_repr(const PyBaconResult& r) {
  return "BaconResult(twfe=" + fmt_fixed(r.twfe, 6) +
         ", forbidden_weight=" + fmt_fixed(r.forbidden_weight, 4) +
         ", n_components=" + count(r.components.size()) + ")";
}

// --- the result classes, in the order they are added to the module ----------------------

constexpr std::tuple kClasses{
    result_class(
        "PowerResult", "Power-analysis result for one estimator (flattened for easy plotting).",
        power_repr,
        TX_FIELD(PyPowerResult, method, nullptr),
        TX_FIELD(PyPowerResult, lifts, "True injected lifts (x-axis), as fractions."),
        TX_FIELD(PyPowerResult, power, "Detection rate at each lift."),
        TX_FIELD(PyPowerResult, est_mean, "Mean estimated lift (%) at each true lift."),
        TX_FIELD(PyPowerResult, est_lo, nullptr),
        TX_FIELD(PyPowerResult, est_hi, nullptr),
        TX_FIELD(PyPowerResult, mde_pct, nullptr),
        TX_FIELD(PyPowerResult, mde_abs_per_period, nullptr),
        TX_FIELD(PyPowerResult, mde_cumulative, nullptr),
        TX_FIELD(PyPowerResult, crit, nullptr),
        TX_FIELD(PyPowerResult, se_null, nullptr),
        TX_FIELD(PyPowerResult, n_windows, nullptr),
        TX_FIELD(PyPowerResult, ensemble_weights,
                 "For the ensemble method: the normalized `[w_sc, w_asc, w_sdid]` weights\n"
                 "used. `None` for single-method results.")),
    result_class("GeoDiagnostics", "Design diagnostics, exposed to Python.", geo_repr,
                 TX_FIELD(PyGeoDiagnostics, holdout_pct, nullptr),
                 TX_FIELD(PyGeoDiagnostics, pre_fit_rel, nullptr),
                 TX_FIELD(PyGeoDiagnostics, improvement_vs_naive, nullptr),
                 TX_FIELD(PyGeoDiagnostics, seasonality_strength, nullptr),
                 TX_FIELD(PyGeoDiagnostics, stability_score, nullptr),
                 TX_FIELD(PyGeoDiagnostics, confidence, nullptr),
                 TX_FIELD(PyGeoDiagnostics, warnings, nullptr)),
    result_class("MarketCandidate", "One ranked candidate treatment-market set.", market_repr,
                 TX_FIELD(PyMarketCandidate, treated, nullptr),
                 TX_FIELD(PyMarketCandidate, power_at_target, nullptr),
                 TX_FIELD(PyMarketCandidate, mde_pct, nullptr),
                 TX_FIELD(PyMarketCandidate, holdout_pct, nullptr),
                 TX_FIELD(PyMarketCandidate, pre_fit_rel, nullptr),
                 TX_FIELD(PyMarketCandidate, stability_score, nullptr),
                 TX_FIELD(PyMarketCandidate, confidence, nullptr),
                 TX_FIELD(PyMarketCandidate, score, nullptr)),
    result_class(
        "SCResult", "Result of a synthetic-control-family fit, exposed to Python.", sc_repr,
        TX_FIELD(PyScResult, att, "Average post-period ATT."),
        TX_FIELD(PyScResult, att_path, "Per-post-period ATT path."),
        TX_FIELD(PyScResult, counterfactual, "Estimated post-period counterfactual."),
        TX_FIELD(PyScResult, treated_post,
                 "Observed (aggregated) treated outcome on the post-period."),
        TX_FIELD(PyScResult, weights, "Donor weights."),
        TX_FIELD(PyScResult, donor_ids, "Donor unit indices matching `weights`."),
        TX_FIELD(PyScResult, pre_rmspe, "Pre-period RMSPE (fit quality)."),
        TX_FIELD(PyScResult, post_rmspe, "Post-period RMSPE."),
        TX_FIELD(PyScResult, p_value, "Placebo p-value, if inference was requested."),
        TX_FIELD(PyScResult, se,
                 "ATT-scale standard error (outcome units), if inference was requested.\n"
                 "For placebo inference this is the spread of the placebo ATTs, not of\n"
                 "the dimensionless RMSPE ratios."),
        TX_FIELD(PyScResult, ci_lower, "ATT-scale confidence bounds, if inference was requested."),
        TX_FIELD(PyScResult, ci_upper, nullptr),
        TX_FIELD(PyScResult, inference_distribution,
                 "The test-statistic null distribution (placebo RMSPE ratios — the\n"
                 "dimensionless statistics behind `p_value`), if available."),
        TX_FIELD(PyScResult, placebo_atts,
                 "Placebo ATTs in outcome units (one per donor refit as pseudo-treated)\n"
                 "— the ATT-scale null behind `se`/`ci_*`, if placebo inference ran.")),
    result_class("CPASCResult", "Result of a CP-ASC-family fit, exposed to Python.", cpasc_repr,
                 TX_FIELD(PyCpascResult, att, "Pooled ATT."),
                 TX_FIELD(PyCpascResult, p_value, "Conformal block-permutation p-value."),
                 TX_FIELD(PyCpascResult, unit_ids, "Treated unit indices."),
                 TX_FIELD(PyCpascResult, unit_att, "Per-unit ATT."),
                 TX_FIELD(PyCpascResult, unit_mspe, "Per-unit pre-period MSPE (fit quality)."),
                 TX_FIELD(PyCpascResult, unit_weight, "Per-unit pooling weight."),
                 TX_FIELD(PyCpascResult, pooled_residual,
                          "Pooled residual path of the main fit (length T; descriptive)."),
                 TX_FIELD(PyCpascResult, null_residual,
                          "Pooled residual path of the null-imposed full-sample refit (length T)\n"
                          "— the exchangeable path the conformal permutation tests."),
                 TX_FIELD(PyCpascResult, t0, "First post-period index.")),
    result_class(
        "DiDResult", "Result of a difference-in-differences fit, exposed to Python.", did_repr,
        TX_FIELD(PyDidResult, att, "Overall ATT."),
        TX_FIELD(PyDidResult, se, "Standard error of the overall ATT (cluster-robust / IF-based)."),
        TX_FIELD(PyDidResult, event_time, "Event-study relative periods."),
        TX_FIELD(PyDidResult, event_att, "Event-study coefficients matching `event_time`."),
        TX_FIELD(PyDidResult, event_se, "Event-study standard errors matching `event_time`."),
        TX_FIELD(PyDidResult, event_lo,
                 "Simultaneous (sup-t) band bounds per event time, when the multiplier\n"
                 "bootstrap ran (`bands=True`); empty otherwise."),
        TX_FIELD(PyDidResult, event_hi, nullptr),
        TX_FIELD(PyDidResult, band_crit,
                 "The sup-t band critical value (in SE units), when bands ran."),
        TX_FIELD(PyDidResult, group_cohort,
                 "Per-cohort (\"group\") aggregation: cohorts, their ATT_g and SEs.\n"
                 "Callaway & Sant'Anna only; empty for TWFE / Sun-Abraham."),
        TX_FIELD(PyDidResult, group_att, nullptr),
        TX_FIELD(PyDidResult, group_se, nullptr),
        TX_FIELD(PyDidResult, overall_group_att,
                 "Cohort-size-weighted average of ATT_g (C&S's recommended headline\n"
                 "aggregation), when available."),
        TX_FIELD(PyDidResult, overall_group_se, nullptr)),
    result_class(
        "BaconComponent", "One 2×2 comparison in a Goodman-Bacon decomposition.",
        bacon_component_repr,
        TX_FIELD(PyBaconComponent, kind,
                 "\"treated_vs_untreated\", \"earlier_vs_later\", or "
                 "\"later_vs_earlier_forbidden\"."),
        TX_FIELD(PyBaconComponent, treated_cohort, nullptr),
        TX_FIELD(PyBaconComponent, comparison_cohort, nullptr),
        TX_FIELD(PyBaconComponent, weight, nullptr),
        TX_FIELD(PyBaconComponent, estimate, nullptr)),
    result_class("BaconResult", "Result of a Goodman-Bacon decomposition.", bacon_repr,
                 TX_FIELD(PyBaconResult, twfe,
                          "Weighted-average estimate `Σ wᵢ βᵢ` — equals the TWFE coefficient."),
                 TX_FIELD(PyBaconResult, forbidden_weight,
                          "Total weight on forbidden (later-vs-earlier) comparisons."),
                 TX_FIELD(PyBaconResult, components, "All 2×2 comparisons.")),
};

#undef TX_FIELD

// --- looking a record's class up in the table -------------------------------------------

using Classes = std::remove_cvref_t<decltype(kClasses)>;
constexpr std::size_t kClassCount = std::tuple_size_v<Classes>;

// Position of record T in the table, or kClassCount when T has no class.
template <class T>
consteval std::size_t class_index() {
  const std::array<bool, kClassCount> same = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<bool, kClassCount>{
        std::is_same_v<typename std::tuple_element_t<I, Classes>::Record, T>...};
  }(std::make_index_sequence<kClassCount>{});
  for (std::size_t i = 0; i < kClassCount; ++i) {
    if (same[i]) return i;
  }
  return kClassCount;
}

template <class T>
constexpr bool kIsResult = class_index<T>() < kClassCount;

static_assert(
    []<std::size_t... I>(std::index_sequence<I...>) {
      return ((class_index<typename std::tuple_element_t<I, Classes>::Record>() == I) && ...);
    }(std::make_index_sequence<kClassCount>{}),
    "each record has one class");

template <class T>
constexpr const auto& class_of() {
  static_assert(kIsResult<T>, "record without a result class");
  return std::get<class_index<T>()>(kClasses);
}

// Calls f(declaration) for each class in table order, stopping at the first that returns -1.
template <class F>
int for_each_class(F&& f) {
  return std::apply([&](const auto&... decl) { return ((f(decl) < 0) || ...) ? -1 : 0; },
                    kClasses);
}

// The Python class of each record, one strong reference, set by add_result_classes (or bound
// to another module's class by use_result_classes).
template <class T>
PyObject* class_object = nullptr;

// --- instances --------------------------------------------------------------------------

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

// A new instance of `type` owning `value`.
template <class T>
PyObject* instantiate(PyObject* type, T&& value) {
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (obj == nullptr) throw PyErrorSet{};
  new (&native<T>(obj)) T(std::move(value));
  return obj;
}

template <class T>
PyObject* wrap_record(T&& value) {
  if (class_object<T> == nullptr) {
    PyErr_SetString(PyExc_SystemError, "tessarix result classes are not initialised");
    throw PyErrorSet{};
  }
  return instantiate(class_object<T>, std::move(value));
}

// --- native value -> fresh Python object ------------------------------------------------

template <class V>
constexpr bool kIsVector = false;
template <class E>
constexpr bool kIsVector<std::vector<E>> = true;
template <class V>
constexpr bool kIsOptional = false;
template <class E>
constexpr bool kIsOptional<std::optional<E>> = true;

// What a stored record becomes: an attribute hands it out as a new instance of its class,
// pickling state as the plain tuple of its own state.
enum class Form { attribute, state };

template <class T>
PyObject* record_state(const T& record);

template <Form F, class V>
PyObject* to_py(const V& v) {
  if constexpr (kIsVector<V>) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
      PyObject* item = to_py<F>(v[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  } else if constexpr (kIsOptional<V>) {
    if (!v) Py_RETURN_NONE;
    return to_py<F>(*v);
  } else if constexpr (kIsResult<V>) {
    if constexpr (F == Form::attribute) return wrap_record(V(v));
    else return record_state(v);
  } else if constexpr (std::is_same_v<V, double>) {
    return PyFloat_FromDouble(v);
  } else if constexpr (std::is_same_v<V, std::int64_t>) {
    return PyLong_FromLongLong(v);
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    return PyLong_FromUnsignedLongLong(v);
  } else {
    static_assert(std::is_same_v<V, std::string>, "no Python form for this field type");
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
  }
}

template <class F>
PyObject* get_attribute(PyObject* self, void*) {
  using T = typename F::Record;
  return guarded([&] { return to_py<Form::attribute>(native<T>(self).*F::member); });
}

// The class's getset table, built once from its fields and kept for the life of the process
// (the attribute descriptors point into it).
template <class T, class... Fields>
PyGetSetDef* attribute_table(const ResultClass<T, Fields...>& decl) {
  static std::array<PyGetSetDef, sizeof...(Fields) + 1> table = std::apply(
      [](const Fields&... field) {
        return std::array<PyGetSetDef, sizeof...(Fields) + 1>{
            PyGetSetDef{field.name, &get_attribute<Fields>, nullptr, field.doc, nullptr}...,
            PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
      },
      decl.fields);
  return table.data();
}

// --- pickling state ---------------------------------------------------------------------
// The state of a record is the tuple of its attribute values in declared order, as the
// attributes return them, except that a stored record (a Bacon component) is its own state
// tuple rather than an object. Reading it back checks every value, so a malformed state
// raises TypeError (wrong shape or type) or ValueError (an integer out of range).

template <class T>
PyObject* record_state(const T& record) {
  return std::apply(
      [&](const auto&... field) -> PyObject* {
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(field))));
        if (!tuple) return nullptr;
        Py_ssize_t i = 0;
        const bool ok = ([&] {
          PyObject* item = to_py<Form::state>(record.*field.member);
          return item != nullptr && PyTuple_SetItem(tuple.get(), i++, item) == 0;  // steals
        }() && ...);
        return ok ? tuple.release() : nullptr;
      },
      class_of<T>().fields);
}

// Which value of which state is being read, for the error message.
struct StateSlot {
  const char* record;
  const char* field;
};

[[noreturn]] void wrong_type(const StateSlot& at, const char* expected, PyObject* got) {
  PyRef type_name(PyType_GetName(Py_TYPE(got)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "%s state: %s expects %s, got %U", at.record, at.field,
                 expected, type_name.get());
  }
  throw PyErrorSet{};
}

[[noreturn]] void out_of_range(const StateSlot& at, const char* expected, PyObject* got) {
  PyErr_Clear();  // CPython's OverflowError, replaced by the message below
  PyErr_Format(PyExc_ValueError, "%s state: %s expects %s, got %R", at.record, at.field,
               expected, got);
  throw PyErrorSet{};
}

template <class T>
T record_from_state(PyObject* state);

template <class V>
V from_state(PyObject* obj, const StateSlot& at) {
  if constexpr (kIsVector<V>) {
    if (!PyList_Check(obj)) wrong_type(at, "a list", obj);
    V out;
    for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
      const PyRef item(Py_NewRef(PyList_GetItem(obj, i)));
      out.push_back(from_state<typename V::value_type>(item.get(), at));
    }
    return out;
  } else if constexpr (kIsOptional<V>) {
    if (obj == Py_None) return std::nullopt;
    return from_state<typename V::value_type>(obj, at);
  } else if constexpr (kIsResult<V>) {
    return record_from_state<V>(obj);
  } else if constexpr (std::is_same_v<V, double>) {
    if (!PyFloat_Check(obj)) wrong_type(at, "a float", obj);
    return PyFloat_AsDouble(obj);
  } else if constexpr (std::is_same_v<V, std::int64_t>) {
    if (!PyLong_Check(obj)) wrong_type(at, "an int", obj);
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) out_of_range(at, "a signed 64-bit integer", obj);
    return v;
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    if (!PyLong_Check(obj)) wrong_type(at, "an int", obj);
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      out_of_range(at, "an unsigned 64-bit integer", obj);
    }
    return v;
  } else {
    static_assert(std::is_same_v<V, std::string>, "no Python form for this field type");
    if (!PyUnicode_Check(obj)) wrong_type(at, "a str", obj);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw PyErrorSet{};
    return std::string(utf8, static_cast<std::size_t>(size));
  }
}

template <class T>
T record_from_state(PyObject* state) {
  const auto& decl = class_of<T>();
  constexpr Py_ssize_t n = std::tuple_size_v<std::remove_cvref_t<decltype(decl.fields)>>;
  if (!PyTuple_Check(state)) {
    PyRef type_name(PyType_GetName(Py_TYPE(state)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "%s state expects a tuple of %zd values, got %U",
                   decl.name.bare(), n, type_name.get());
    }
    throw PyErrorSet{};
  }
  if (PyTuple_Size(state) != n) {
    PyErr_Format(PyExc_TypeError, "%s state expects a tuple of %zd values, got %zd",
                 decl.name.bare(), n, PyTuple_Size(state));
    throw PyErrorSet{};
  }
  T record;
  std::apply(
      [&](const auto&... field) {
        Py_ssize_t i = 0;
        ((record.*field.member =
              from_state<typename std::remove_cvref_t<decltype(field)>::Value>(
                  PyTuple_GetItem(state, i++), StateSlot{decl.name.bare(), field.name})),
         ...);
      },
      decl.fields);
  return record;
}

// __reduce__: (cls._from_state, (state,)). The reconstructor is a class method, so pickle
// stores it by reference to the class (tessarix.<Name>) and no constructor is exposed.
template <class T>
PyObject* reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef rebuild(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                         "_from_state"));
    if (!rebuild) throw PyErrorSet{};
    PyRef state(record_state(native<T>(self)));
    if (!state) throw PyErrorSet{};
    return Py_BuildValue("O(O)", rebuild.get(), state.get());
  });
}

template <class T>
PyObject* from_state_method(PyObject* cls, PyObject* state) {
  return guarded([&] { return instantiate(cls, record_from_state<T>(state)); });
}

template <class T>
std::array<PyMethodDef, 3> pickle_methods = {{
    {"__reduce__", &reduce<T>, METH_NOARGS, "Helper for pickle."},
    {"_from_state", &from_state_method<T>, METH_O | METH_CLASS,
     "Rebuild a result from the state its __reduce__ returned (used by pickle and copy)."},
    {nullptr, nullptr, 0, nullptr},
}};

// --- type machinery ---------------------------------------------------------------------

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  native<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <class T>
PyObject* repr(PyObject* self) {
  return guarded([&] {
    const std::string s = class_of<T>().repr(native<T>(self));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

template <class T, class... Fields>
PyObject* create_class(const ResultClass<T, Fields...>& decl) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(decl.doc)},
      {Py_tp_getset, attribute_table(decl)},
      {Py_tp_methods, pickle_methods<T>.data()},
      {Py_tp_repr, reinterpret_cast<void*>(&repr<T>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)},
      {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
      {0, nullptr},
  };
  PyType_Spec spec = {decl.name.dotted(), static_cast<int>(sizeof(Box<T>)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&spec);
}

// Points the class of T at the class of the same name that another copy of this code
// registered in `module`, after checking that its instances have the layout of Box<T>.
template <class T, class... Fields>
int bind_class(PyObject* module, const ResultClass<T, Fields...>& decl) {
  const char* name = decl.name.bare();
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
  PyObject* old = class_object<T>;
  class_object<T> = type.release();
  Py_XDECREF(old);
  return 0;
}

}  // namespace

int add_result_classes(PyObject* module) {
  return for_each_class([&]<class T, class... Fields>(const ResultClass<T, Fields...>& decl) {
    PyObject* type = create_class(decl);
    if (type == nullptr) return -1;
    class_object<T> = type;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
  });
}

int use_result_classes(PyObject* module) {
  return for_each_class([&](const auto& decl) { return bind_class(module, decl); });
}

PyObject* wrap(PyScResult&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyCpascResult&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyDidResult&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyBaconResult&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyBaconComponent&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyPowerResult&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyGeoDiagnostics&& value) { return wrap_record(std::move(value)); }
PyObject* wrap(PyMarketCandidate&& value) { return wrap_record(std::move(value)); }

}  // namespace tessarix::bindings
