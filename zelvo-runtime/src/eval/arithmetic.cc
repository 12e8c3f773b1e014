#include "eval/arithmetic.h"

#include <cstdint>
#include <limits>
#include <string>

namespace zelvo::eval {

namespace {

enum class Numbers : std::uint8_t { Ints, Floats, None };

// Ints when both are Int; Floats when both are numbers and one is a Float.
Numbers classify(const Value& a, const Value& b) noexcept {
  bool a_num = a.is_int() || a.is_float();
  bool b_num = b.is_int() || b.is_float();
  if (!a_num || !b_num) return Numbers::None;
  return a.is_int() && b.is_int() ? Numbers::Ints : Numbers::Floats;
}

double to_double(const Value& v) noexcept { return v.is_int() ? static_cast<double>(v.as_int()) : v.as_float(); }

// Two's-complement wrap: the arithmetic is done on the unsigned images and
// converted back, which C++20 defines as modulo 2^64.
std::uint64_t bits(const Value& v) noexcept { return static_cast<std::uint64_t>(v.as_int()); }
Value wrapped(std::uint64_t u) { return Value::integer(static_cast<std::int64_t>(u)); }

// The quotient of MIN / -1 is 2^63, which no Int holds.
bool integer_division_defined(std::int64_t dividend, std::int64_t divisor) noexcept {
  if (divisor == 0) return false;
  return !(dividend == std::numeric_limits<std::int64_t>::min() && divisor == -1);
}

Value join_strings(const Str& a, const Str& b) {
  std::string text;
  text.reserve(a.size() + b.size());
  text.append(a.view());
  text.append(b.view());
  return Value::string(Str(text));
}

}  // namespace

Value arith_add(const Value& left, const Value& right) {
  switch (classify(left, right)) {
    case Numbers::Ints: return wrapped(bits(left) + bits(right));
    case Numbers::Floats: return Value::floating(to_double(left) + to_double(right));
    case Numbers::None: break;
  }
  if (left.is_string() && right.is_string()) return join_strings(left.as_string(), right.as_string());
  return Value();
}

Value arith_sub(const Value& left, const Value& right) {
  switch (classify(left, right)) {
    case Numbers::Ints: return wrapped(bits(left) - bits(right));
    case Numbers::Floats: return Value::floating(to_double(left) - to_double(right));
    case Numbers::None: break;
  }
  return Value();
}

Value arith_mul(const Value& left, const Value& right) {
  switch (classify(left, right)) {
    case Numbers::Ints: return wrapped(bits(left) * bits(right));
    case Numbers::Floats: return Value::floating(to_double(left) * to_double(right));
    case Numbers::None: break;
  }
  return Value();
}

Value arith_div(const Value& left, const Value& right) {
  switch (classify(left, right)) {
    case Numbers::Ints:
      if (!integer_division_defined(left.as_int(), right.as_int())) return Value();
      return Value::integer(left.as_int() / right.as_int());  // truncates toward zero
    case Numbers::Floats: {
      double divisor = to_double(right);
      if (divisor == 0.0) return Value();  // Int 0, 0.0 and -0.0 alike
      return Value::floating(to_double(left) / divisor);
    }
    case Numbers::None: break;
  }
  return Value();
}

Value arith_mod(const Value& left, const Value& right) {
  if (classify(left, right) != Numbers::Ints) return Value();  // floats have no Mod
  if (!integer_division_defined(left.as_int(), right.as_int())) return Value();
  return Value::integer(left.as_int() % right.as_int());  // takes the dividend's sign
}

}  // namespace zelvo::eval
