// Unary: Not and Neg.
#include <cstdint>

#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {

namespace {

Value negate(const Value& v) {
  // 0 - i in unsigned arithmetic: wraps, so the minimum integer stays itself.
  if (v.is_int()) return Value::integer(static_cast<std::int64_t>(0u - static_cast<std::uint64_t>(v.as_int())));
  if (v.is_float()) return Value::floating(-v.as_float());  // flips the sign bit: 0.0 -> -0.0
  return Value();
}

}  // namespace

Value eval_unary(const IRExpr::Unary& e, const EvalContext& ctx) {
  switch (e.op) {
    case UnaryOp::Not: return Value::boolean(!eval_truth(*e.operand, ctx));
    case UnaryOp::Neg: return negate(eval_operand(*e.operand, ctx).get());
  }
  return Value();
}

}  // namespace zelvo::eval
