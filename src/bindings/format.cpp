#include "bindings/format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace tessarix::bindings {
namespace {

// Large enough for any double in fixed notation (309 integer digits) plus 17 decimals.
constexpr std::size_t kBuf = 400;

const char* non_finite(double x) {
  if (std::isnan(x)) return "NaN";
  return x < 0 ? "-inf" : "inf";
}

}  // namespace

std::string fmt_real(double x) {
  if (!std::isfinite(x)) return non_finite(x);
  char buf[kBuf];
  const auto r = std::to_chars(buf, buf + kBuf, x, std::chars_format::fixed);
  return {buf, r.ptr};
}

std::string fmt_fixed(double x, int digits) {
  if (!std::isfinite(x)) return non_finite(x);
  char buf[kBuf];
  const auto r = std::to_chars(buf, buf + kBuf, x, std::chars_format::fixed, digits);
  return {buf, r.ptr};
}

std::string fmt_debug(double x) {
  if (!std::isfinite(x)) return non_finite(x);
  const double a = std::fabs(x);
  char buf[kBuf];
  if (a != 0.0 && (a < 1e-4 || a >= 1e16)) {
    const auto r = std::to_chars(buf, buf + kBuf, x, std::chars_format::scientific);
    // to_chars writes "1.5e-05" / "1e+16"; print the exponent without sign padding.
    const std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    const std::size_t e = s.find('e');
    std::string out(s.substr(0, e + 1));
    std::string_view exp = s.substr(e + 1);
    if (exp.front() == '-') out += '-';
    if (exp.front() == '-' || exp.front() == '+') exp.remove_prefix(1);
    while (exp.size() > 1 && exp.front() == '0') exp.remove_prefix(1);
    out += exp;
    return out;
  }
  const auto r = std::to_chars(buf, buf + kBuf, x, std::chars_format::fixed);
  std::string out(buf, r.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string fmt_sum(std::uint64_t a, std::uint64_t b) {
  __extension__ using u128 = unsigned __int128;
  u128 s = static_cast<u128>(a) + b;
  std::string out;
  do {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(s % 10)));
    s /= 10;
  } while (s != 0);
  return out;
}

}  // namespace tessarix::bindings
