#include "geo/types.hpp"

#include <string>

namespace tessarix::geo {

std::optional<Method> method_from_name(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "sc") return Method::Sc;
  if (lower == "asc") return Method::Asc;
  if (lower == "sdid") return Method::Sdid;
  if (lower == "fp" || lower == "dsc") return Method::Fp;
  if (lower == "rsc") return Method::Rsc;
  return std::nullopt;
}

const char* display_name(Method method) {
  switch (method) {
    case Method::Sc: return "SC";
    case Method::Asc: return "ASC";
    case Method::Sdid: return "SDID";
    case Method::Fp: return "FP";
    case Method::Rsc: return "RSC";
    case Method::Ensemble: return "ENSEMBLE";
  }
  return "";
}

}  // namespace tessarix::geo
