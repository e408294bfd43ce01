// Conversion of Python arguments into owned native values, one function per argument kind.
// A value that cannot be converted raises TypeError "argument '{name}': {reason}"; any other
// error of CPython's own conversion (OverflowError for a negative count) passes unchanged.
// Every failure leaves the Python error set and throws PyErrorSet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bindings/array_view.hpp"
#include "bindings/python.hpp"

namespace tessarix::bindings {

// Outcome panel: a 2-D float64 NumPy array of any layout (borrowed view, lock held).
ArrayView2 to_panel(PyObject* obj, const char* name);
// Panel stack: a 3-D float64 NumPy array.
ArrayView3 to_panel_stack(PyObject* obj, const char* name);
// Index list: a sequence (not str) of non-negative integers.
std::vector<std::uint64_t> to_index_list(PyObject* obj, const char* name);
// Cohort list: a sequence (not str) of signed integers.
std::vector<std::int64_t> to_cohort_list(PyObject* obj, const char* name);
// Float list: a sequence (not str) of objects convertible to float.
std::vector<double> to_float_list(PyObject* obj, const char* name);
// Name list: a sequence (not str) of str.
std::vector<std::string> to_name_list(PyObject* obj, const char* name);
// Count: a non-negative integer (any object usable as an integer index).
std::uint64_t to_count(PyObject* obj, const char* name);
// Real: anything CPython's float protocol accepts.
double to_real(PyObject* obj, const char* name);
// Flag: bool or numpy.bool_; an int is refused.
bool to_flag(PyObject* obj, const char* name);
// Choice: a str, returned as UTF-8.
std::string to_choice(PyObject* obj, const char* name);

}  // namespace tessarix::bindings
