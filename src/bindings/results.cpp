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

// --- native value -> fresh Python object ------------------------------------------------

PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(const std::string& v) {
  return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}

template <class T>
PyObject* to_py(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return to_py(*v);
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

// PyGetSetDef wants mutable char pointers; CPython never writes through them.
char* doc_text(const char* s) { return const_cast<char*>(s); }

#define TX_GET(T, field, doc) {#field, &get_field<T, &T::field>, nullptr, doc_text(doc), nullptr}

// --- DiDResult --------------------------------------------------------------------------

PyObject* did_type = nullptr;

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

// Adds a freshly created type to the module, keeping one reference in `slot`.
int add_type(PyObject* module, PyObject* type, PyObject*& slot) {
  if (type == nullptr) return -1;
  slot = type;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
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
  if (add_type(module,
               make_type<PyDidResult, did_repr>(
                   "DiDResult", "Result of a difference-in-differences fit, exposed to Python.",
                   did_getset),
               did_type) < 0) {
    return -1;
  }
  return 0;
}

PyObject* wrap(PyDidResult&& value) { return wrap_as(did_type, std::move(value)); }

}  // namespace tessarix::bindings
