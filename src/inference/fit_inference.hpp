// The inference a synthetic-control fit carries into its result: a p-value and null
// distribution from a placebo test, a standard error and interval from placebo ATTs or a
// jackknife. Each field is absent where the procedure gives none.
#pragma once

#include <optional>
#include <vector>

#include "estimators/result.hpp"

namespace tessarix::inference {

struct FitInference {
  std::optional<double> p_value;
  std::optional<double> se;        // in outcome units
  std::optional<double> ci_lower;  // in outcome units, around the fit's ATT
  std::optional<double> ci_upper;
  std::optional<std::vector<double>> distribution;  // the placebo statistics
  std::optional<std::vector<double>> placebo_atts;
};

// A fit and its inference.
struct InferredFit {
  ScFit fit;
  FitInference inference;
};

}  // namespace tessarix::inference
