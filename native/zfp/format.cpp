#include "zfp/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace varnel::zfpc {

std::string format_double(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // The shortest round-trip digits come from the scientific form ("d.ddde±x");
  // they are then laid out in positional notation, zero-padded on either side.
  // (Fixed-format to_chars would print the exact binary value of large
  // integers, e.g. 99999999999999991611392 for 1e23, not the shortest digits.)
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  if (r.ec != std::errc{}) return "?";
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  std::string out;
  if (s.front() == '-') {
    out += '-';
    s.remove_prefix(1);
  }
  const std::size_t e_pos = s.find('e');
  const std::string_view mantissa = s.substr(0, e_pos);
  const int exp10 = std::atoi(std::string(s.substr(e_pos + 1)).c_str());
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits += c;
  // The value is 0.digits × 10^(exp10 + 1): `point` digits precede the point.
  const long point = static_cast<long>(exp10) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

std::string format_shape(std::span<const std::uint64_t> shape) {
  std::string s = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  s += ']';
  return s;
}

}  // namespace varnel::zfpc
