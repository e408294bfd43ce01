// How numbers are printed in messages and reprs: one formatter for the whole module.
#pragma once

#include <cstdint>
#include <string>

namespace tessarix::bindings {

// Shortest text that reads back to the same double, in plain positional notation (1e-7 is
// "0.0000001"), without a trailing ".0" (1.0 is "1"); "NaN", "inf", "-inf".
std::string fmt_real(double x);

// Fixed notation with exactly `digits` digits after the point; "NaN", "inf", "-inf".
std::string fmt_fixed(double x, int digits);

// Shortest round-trip text that always shows a decimal point (2.0 is "2.0"), switching to
// exponent form ("1e-5", "1.5e16") when the magnitude is non-zero and below 1e-4 or at
// least 1e16; "NaN", "inf", "-inf".
std::string fmt_debug(double x);

// Decimal text of a + b, exact even where the sum passes 2^64 (counts may be as large as an
// unsigned 64-bit integer allows).
std::string fmt_sum(std::uint64_t a, std::uint64_t b);

}  // namespace tessarix::bindings
