// Literal: the Value of a LiteralValue.
#include <array>
#include <cstddef>
#include <cstdint>

#include "eval/kinds.h"

namespace zelvo {

namespace {

// Milliseconds per unit, in DurationUnit's declared order.
constexpr std::array<std::uint64_t, 5> kUnitMillis = {1, 1000, 60'000, 3'600'000, 86'400'000};
static_assert(kUnitMillis.size() == names<DurationUnit>().size());

// The product is taken modulo 2^64 (unsigned arithmetic wraps by definition).
Value duration_value(const DurationLit& d) {
  return Value::duration(d.value * kUnitMillis[static_cast<std::size_t>(d.unit)]);
}

}  // namespace

Value literal_value(const LiteralValue& lit) {
  using K = LiteralValue::Kind;
  switch (lit.kind()) {
    case K::Bool: return Value::boolean(std::get_if<LiteralValue::Bool>(&lit.v)->value);
    case K::Int: return Value::integer(std::get_if<LiteralValue::Int>(&lit.v)->value);
    case K::Float: return Value::floating(std::get_if<LiteralValue::Float>(&lit.v)->value);
    case K::String: return Value::string(std::get_if<LiteralValue::String>(&lit.v)->value);
    case K::Duration: return duration_value(std::get_if<LiteralValue::Duration>(&lit.v)->value);
    // The pattern text, uncompiled; Matches interprets it.
    case K::Regex: return Value::string(std::get_if<LiteralValue::Regex>(&lit.v)->value);
  }
  return Value();
}

namespace eval {
Value eval_literal(const IRExpr::Literal& e, const EvalContext&) { return literal_value(e.value); }
}  // namespace eval

}  // namespace zelvo
