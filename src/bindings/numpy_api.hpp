// Access to NumPy arrays. NumPy's C API is bound on the first array argument, never at
// import, and this is the only translation unit that includes NumPy's headers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bindings/array_view.hpp"
#include "bindings/python.hpp"

namespace tessarix::bindings {

// A read-only view of `obj` when it is a native-endian float64 ndarray of `ndim` dimensions;
// nullopt for anything else (no error set). Throws PyErrorSet if NumPy cannot be bound.
std::optional<ArrayView2> float64_view2(PyObject* obj);
std::optional<ArrayView3> float64_view3(PyObject* obj);

// What `obj` is, for conversion messages: "list", or "1-D int64 ndarray" for an array.
std::string describe_object(PyObject* obj);

// A new 1-D float64 array that takes ownership of `values` (no copy of the elements).
PyObject* float64_array_from(std::vector<double>&& values);

}  // namespace tessarix::bindings
