// Reductions over vectors: the sum, the dot product and the overflow-safe scaled Euclidean
// norm. Each accumulates strictly left to right so that results are bit-reproducible.
#pragma once

#include <span>

namespace tessarix::linalg {

// x[0] + x[1] + ... from +0.0, in index order; 0 for an empty span.
double sum(std::span<const double> x);

// Sum of a[i] * b[i] over the indices of `a`; `b` must be at least as long as `a`.
double dot(std::span<const double> a, std::span<const double> b);

// Euclidean norm with running scaling (scale s, sum q): never overflows or underflows on
// finite input. Zero entries are skipped.
double scaled_norm(std::span<const double> x);

// x[i] <- x[i] 2^e for every i, exactly as std::ldexp rounds (a single rounding, only when the
// result leaves the normal range): one multiplication per entry when 2^e is a normal double.
void scale_by_pow2(std::span<double> x, int e);

}  // namespace tessarix::linalg
