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
std::uint64_t duration_millis(const DurationLit& d) noexcept {
  return d.value * kUnitMillis[static_cast<std::size_t>(d.unit)];
}

}  // namespace

void assign_literal(const LiteralValue& lit, Value& out) {
  using K = LiteralValue::Kind;
  switch (lit.kind()) {
    case K::Bool: out.assign_bool(std::get_if<LiteralValue::Bool>(&lit.v)->value); return;
    case K::Int: out.assign_int(std::get_if<LiteralValue::Int>(&lit.v)->value); return;
    case K::Float: out.assign_float(std::get_if<LiteralValue::Float>(&lit.v)->value); return;
    case K::String: out.assign_str(std::get_if<LiteralValue::String>(&lit.v)->value); return;
    case K::Duration: out.assign_duration(duration_millis(std::get_if<LiteralValue::Duration>(&lit.v)->value)); return;
    // The pattern text, uncompiled; Matches interprets it.
    case K::Regex: out.assign_str(std::get_if<LiteralValue::Regex>(&lit.v)->value); return;
  }
}

Value literal_value(const LiteralValue& lit) {
  Value out;
  assign_literal(lit, out);
  return out;
}

namespace eval {
Value eval_literal(const IRExpr::Literal& e, const EvalContext&) { return literal_value(e.value); }
}  // namespace eval

}  // namespace zelvo
