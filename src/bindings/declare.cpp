#include "bindings/declare.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "bindings/boundary.hpp"
#include "bindings/format.hpp"

namespace tessarix::bindings {
namespace {

// CPython's parser writes one output per 'O' of its format; every call passes this many
// slots, which covers the longest signature of the module (16 parameters) with room.
constexpr std::size_t kMaxParams = 24;

}  // namespace

std::string default_text(double v) { return fmt_debug(v); }
std::string default_text(bool v) { return v ? "True" : "False"; }
std::string default_text(std::uint64_t v) { return std::to_string(v); }
std::string default_text(const char* v) {
  std::string text = "\"";
  text += v;
  text += '"';
  return text;
}
std::string default_text(int v) { return std::to_string(v); }
std::string default_text(EmptyListDefault) { return "[]"; }

Signature::Signature(const char* name, const char* doc, std::vector<Entry> params)
    : name_(name), params_(std::move(params)) {
  if (params_.size() > kMaxParams) invariant_failure("too many parameters for the argument parser");
  std::string text = std::string(name) + "(";
  for (std::size_t i = 0; i < params_.size(); ++i) {
    const Entry& p = params_[i];
    if (p.default_text.empty()) {
      if (n_required_ != i) invariant_failure("a required parameter follows an optional one");
      ++n_required_;
    } else if (format_.find('|') == std::string::npos) {
      format_ += '|';
    }
    format_ += 'O';
    if (i > 0) text += ", ";
    text += p.name;
    if (!p.default_text.empty()) text += "=" + p.default_text;
    kwlist_.push_back(p.name);
  }
  format_ += ':';
  format_ += name;
  kwlist_.push_back(nullptr);
  docstring_ = text + ")\n--\n\n" + doc;
}

std::vector<PyObject*> Signature::bind(PyObject* args, PyObject* kwargs) const {
  const std::size_t n = params_.size();
  // CPython's parser reports a surplus or duplicated keyword only as an argument count; name
  // the parameter instead, in the wording CPython uses for Python-level functions.
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
      if (k == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        throw PyErrorSet{};
      }
      std::size_t index = n;
      for (std::size_t i = 0; i < n; ++i) {
        if (std::string_view(params_[i].name) == k) index = i;
      }
      if (index == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", name_, k);
        throw PyErrorSet{};
      }
      if (static_cast<Py_ssize_t>(index) < PyTuple_Size(args)) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name_, k);
        throw PyErrorSet{};
      }
    }
  }
  std::array<PyObject*, kMaxParams> out{};
  const int ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format_.c_str(),
                                       const_cast<char**>(kwlist_.data()), &out[I]...);
  }(std::make_index_sequence<kMaxParams>{});
  if (!ok) throw PyErrorSet{};
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

PyMethodDef* closed_method_table(std::initializer_list<std::vector<PyMethodDef>> parts) {
  auto* table = new std::vector<PyMethodDef>();  // leaked on purpose: CPython keeps pointing at it
  for (const auto& part : parts) table->insert(table->end(), part.begin(), part.end());
  table->push_back({nullptr, nullptr, 0, nullptr});
  return table->data();
}

PyMethodDef method_def(const Signature& signature,
                       PyObject* (*function)(PyObject*, PyObject*, PyObject*)) {
  // METH_VARARGS | METH_KEYWORDS functions take a third argument; CPython calls them through
  // the two-argument PyCFunction type.
  return {signature.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_VARARGS | METH_KEYWORDS, signature.docstring()};
}

}  // namespace tessarix::bindings
