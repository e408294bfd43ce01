#include "linalg/error.hpp"

#include <utility>

namespace tessarix {

void invariant_failure(std::string message) { throw InvariantError(std::move(message)); }

namespace linalg {

std::string LinalgError::debug(bool pretty) const {
  struct Field {
    const char* name;
    std::size_t value;
  };
  const char* name = "Empty";
  Field fields[2] = {};
  std::size_t n = 0;
  switch (kind_) {
    case Kind::NotSquare:
      name = "NotSquare";
      fields[n++] = {"rows", a_};
      fields[n++] = {"cols", b_};
      break;
    case Kind::DimMismatch:
      name = "DimMismatch";
      fields[n++] = {"expected", a_};
      fields[n++] = {"got", b_};
      break;
    case Kind::NotPositiveDefinite:
      name = "NotPositiveDefinite";
      fields[n++] = {"pivot", a_};
      break;
    case Kind::DidNotConverge:
      name = "DidNotConverge";
      fields[n++] = {"iters", a_};
      break;
    case Kind::Empty:
      break;
  }
  std::string out = name;
  if (n == 0) return out;
  out += pretty ? " {\n" : " { ";
  for (std::size_t i = 0; i < n; ++i) {
    if (pretty) {
      out += "    ";
    } else if (i > 0) {
      out += ", ";
    }
    out += fields[i].name;
    out += ": ";
    out += std::to_string(fields[i].value);
    if (pretty) out += ",\n";
  }
  out += pretty ? "}" : " }";
  return out;
}

}  // namespace linalg
}  // namespace tessarix
