// Module functions declared once: name, parameters (name, kind, default) and docstring. From
// the declaration follow the argument parser (CPython's own, so missing, surplus, unexpected
// and duplicated arguments get CPython's wording), the conversion of every argument into a
// typed record in signature order, the docstring whose first line is the text signature that
// inspect.signature reads, and the method table entry.
//
//   struct FitFooArgs { ArrayView2 y; double ridge; std::optional<double> lam; };
//   const EntryPoint<FitFooArgs> fit_foo{"fit_foo", "Fit foo.", {
//       TX_PARAM(FitFooArgs, y, kPanel),             // required
//       TX_PARAM(FitFooArgs, ridge, kReal, 0.0),     // default 0.0
//       TX_PARAM(FitFooArgs, lam, kReal, kNone)}};   // None or a real, default None
//   ... const FitFooArgs a = fit_foo.parse(args, kwargs);
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "bindings/boundary.hpp"
#include "bindings/convert.hpp"
#include "bindings/python.hpp"

namespace tessarix::bindings {

// An argument kind: how a Python object converts to V (TypeError naming the argument on
// failure).
template <class V>
struct Kind {
  V (*convert)(PyObject* obj, const char* name);
};

inline constexpr Kind<ArrayView2> kPanel{to_panel};
inline constexpr Kind<ArrayView3> kPanelStack{to_panel_stack};
inline constexpr Kind<std::vector<std::uint64_t>> kIndexList{to_index_list};
inline constexpr Kind<std::vector<std::int64_t>> kCohortList{to_cohort_list};
inline constexpr Kind<std::vector<double>> kFloatList{to_float_list};
inline constexpr Kind<std::vector<std::string>> kNameList{to_name_list};
inline constexpr Kind<std::uint64_t> kCount{to_count};
inline constexpr Kind<double> kReal{to_real};
inline constexpr Kind<bool> kFlag{to_flag};
inline constexpr Kind<std::string> kChoice{to_choice};

// The default of an optional parameter: None (absent), or a value of its kind.
inline constexpr struct NoneDefault {
} kNone;

// The default of a list parameter that may be omitted: the empty list.
inline constexpr struct EmptyListDefault {
} kEmptyList;

// A default as it reads in a text signature: 0.0, 1e-5, False, "none", 200.
std::string default_text(double v);
std::string default_text(bool v);
std::string default_text(std::uint64_t v);
std::string default_text(const char* v);
std::string default_text(int v);
std::string default_text(EmptyListDefault);

// One parameter of a record R: its name, its default as text (empty when required), and how
// the argument (nullptr when omitted) sets its field.
template <class R>
struct Param {
  const char* name;
  std::string default_text;
  std::function<void(R&, PyObject*)> set;
};

// A required parameter.
template <class R, class V>
Param<R> param(std::type_identity_t<V R::*> field, const char* name, Kind<V> kind) {
  return {name, {}, [=](R& r, PyObject* obj) { r.*field = kind.convert(obj, name); }};
}

// A parameter with a default value.
template <class R, class V, class D>
  requires std::is_constructible_v<V, D>
Param<R> param(std::type_identity_t<V R::*> field, const char* name, Kind<V> kind, D def) {
  return {name, default_text(def), [=](R& r, PyObject* obj) {
            r.*field = obj != nullptr ? kind.convert(obj, name) : V(def);
          }};
}

// A list parameter whose default is the empty list.
template <class R, class T>
Param<R> param(std::type_identity_t<std::vector<T> R::*> field, const char* name,
               Kind<std::vector<T>> kind, EmptyListDefault none) {
  return {name, default_text(none), [=](R& r, PyObject* obj) {
            r.*field = obj != nullptr ? kind.convert(obj, name) : std::vector<T>{};
          }};
}

// An optional parameter: None (the default) or a value of its kind.
template <class R, class V>
Param<R> param(std::type_identity_t<std::optional<V> R::*> field, const char* name, Kind<V> kind,
               NoneDefault) {
  return {name, "None", [=](R& r, PyObject* obj) {
            r.*field = obj == nullptr || obj == Py_None ? std::nullopt
                                                        : std::optional<V>(kind.convert(obj, name));
          }};
}

// Parameter lists in turn, as one list.
template <class R>
std::vector<Param<R>> join(std::initializer_list<std::vector<Param<R>>> parts) {
  std::vector<Param<R>> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// `progress=None`: a callable(done, total) the call reports its progress to, kept borrowed in
// the record's `progress` field (null for None); anything else but a callable is a TypeError.
template <class R>
Param<R> progress_param() {
  return {"progress", "None", [](R& r, PyObject* obj) {
            if (obj != nullptr && obj != Py_None && !PyCallable_Check(obj)) {
              PyErr_SetString(PyExc_TypeError, "argument 'progress': expected a callable(done, total) or None");
              throw PyErrorSet{};
            }
            r.progress = obj == Py_None ? nullptr : obj;
          }};
}

// The parameter named after the record's field.
#define TX_PARAM(R, field, ...) ::tessarix::bindings::param<R>(&R::field, #field, __VA_ARGS__)

// The untyped part of a declaration: names, defaults, docstring and the binding of a call's
// arguments to the parameters.
class Signature {
public:
  struct Entry {
    const char* name;
    std::string default_text;  // empty: required
  };

  // Required parameters come first.
  Signature(const char* name, const char* doc, std::vector<Entry> params);

  const char* name() const { return name_; }
  // "name(a, b=0.0)\n--\n\n" followed by the docstring body.
  const char* docstring() const { return docstring_.c_str(); }
  // One borrowed object per parameter in signature order, nullptr where omitted.
  std::vector<PyObject*> bind(PyObject* args, PyObject* kwargs) const;

private:
  const char* name_;
  std::vector<Entry> params_;
  std::size_t n_required_ = 0;
  std::string docstring_;
  std::string format_;             // "OOO|OO:name" for CPython's parser
  std::vector<const char*> kwlist_;  // the names, null-terminated
};

// A module function's declaration: its signature and the conversion of its arguments into R.
template <class R>
class EntryPoint {
public:
  EntryPoint(const char* name, const char* doc, std::vector<Param<R>> params)
      : params_(std::move(params)), signature_(name, doc, entries(params_)) {}

  const Signature& signature() const { return signature_; }

  // Binds the call, then converts every argument in signature order (the first failure
  // raises), filling omitted ones with their defaults.
  R parse(PyObject* args, PyObject* kwargs) const {
    const std::vector<PyObject*> bound = signature_.bind(args, kwargs);
    R r{};
    for (std::size_t i = 0; i < params_.size(); ++i) params_[i].set(r, bound[i]);
    return r;
  }

private:
  static std::vector<Signature::Entry> entries(const std::vector<Param<R>>& params) {
    std::vector<Signature::Entry> out;
    for (const Param<R>& p : params) out.push_back({p.name, p.default_text});
    return out;
  }

  std::vector<Param<R>> params_;
  Signature signature_;
};

// A module's method table: the parts' entries in turn, closed by the sentinel. Kept for the
// life of the process, as CPython requires of a method table.
PyMethodDef* closed_method_table(std::initializer_list<std::vector<PyMethodDef>> parts);

// The method-table entry of a declared function taking arguments and keywords.
PyMethodDef method_def(const Signature& signature, PyObject* (*function)(PyObject*, PyObject*, PyObject*));

}  // namespace tessarix::bindings
