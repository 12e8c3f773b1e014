// Display text of a Value (see value.h for the forms).
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "event/value.h"

namespace zelvo {

namespace {

std::string integer_text(std::int64_t i) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, i);
  return std::string(buf, res.ptr);
}

std::string unsigned_text(std::uint64_t u) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, u);
  return std::string(buf, res.ptr);
}

// Rewrites the shortest round-trip scientific form "[-]D[.DDD]e±XX" as plain
// decimal digits: the significant digits are placed around the decimal point
// and padded with zeros, never rounded, so the text still reads back as the
// same double.
std::string plain_decimal(std::string_view sci) {
  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);  // from_chars takes no '+'
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  // The value is 0.d1d2d3... × 10^(exponent + 1): `point` digits go before
  // the decimal point.
  long point = static_cast<long>(exponent) + 1;
  long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
}

std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  // Scientific form keeps the buffer small (at most 24 bytes for a double)
  // and gives the digits and the exponent separately.
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  return plain_decimal(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

// The largest unit the duration reaches, truncated.
std::string duration_text(std::uint64_t ms) {
  constexpr std::uint64_t kSecond = 1000, kMinute = 60'000, kHour = 3'600'000, kDay = 86'400'000;
  if (ms >= kDay) return unsigned_text(ms / kDay) + "d";
  if (ms >= kHour) return unsigned_text(ms / kHour) + "h";
  if (ms < kSecond) return unsigned_text(ms) + "ms";
  if (ms < kMinute) return unsigned_text(ms / kSecond) + "s";
  return unsigned_text(ms / kMinute) + "m";
}

// "[3 items]", "{2 fields}". Appended piecewise: GCC 12 warns falsely
// (-Wrestrict) on `"[" + std::string`.
std::string count_text(std::string_view open, std::size_t n, std::string_view close) {
  std::string out(open);
  out += unsigned_text(n);
  out += close;
  return out;
}

}  // namespace

std::string display(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return "null";
    case Value::Kind::Bool: return v.as_bool() ? "true" : "false";
    case Value::Kind::Int: return integer_text(v.as_int());
    case Value::Kind::Float: return float_text(v.as_float());
    case Value::Kind::String: return v.as_string().str();
    case Value::Kind::Duration: return duration_text(v.as_duration());
    case Value::Kind::List: return count_text("[", v.as_list().size(), " items]");
    case Value::Kind::Map: return count_text("{", v.as_map().size(), " fields}");
  }
  return "null";
}

}  // namespace zelvo
