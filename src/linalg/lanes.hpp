// Four 64-bit lanes as GCC vector extensions: one AVX2 register, or two SSE2 registers in the
// baseline build. Kernels keep independent values (different sums, different entries) in
// different lanes, so lane arithmetic gives the bits of the scalar loops it replaces.
#pragma once

namespace tessarix::linalg {

using V4 = double __attribute__((vector_size(32)));
using V4i = long long __attribute__((vector_size(32)));

}  // namespace tessarix::linalg
