// Reductions over vectors: the dot product and the overflow-safe scaled Euclidean norm.
// Both accumulate strictly left to right so that results are bit-reproducible.
#pragma once

#include <span>

namespace tessarix::linalg {

// Sum of a[i] * b[i] over the indices of `a`; `b` must be at least as long as `a`.
double dot(std::span<const double> a, std::span<const double> b);

// Euclidean norm with running scaling (scale s, sum q): never overflows or underflows on
// finite input. Zero entries are skipped.
double scaled_norm(std::span<const double> x);

// x[i] <- x[i] 2^e for every i, exactly as std::ldexp rounds (a single rounding, only when the
// result leaves the normal range): one multiplication per entry when 2^e is a normal double.
void scale_by_pow2(std::span<double> x, int e);

}  // namespace tessarix::linalg
