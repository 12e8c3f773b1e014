// Display text of a Value (see value.h for the forms).
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "event/value.h"
#include "model/decimal_text.h"

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

std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  return plain_decimal(d);
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
