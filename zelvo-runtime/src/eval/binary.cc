// Binary: the short-circuit operators, then the operators that evaluate
// both sides (arithmetic in arithmetic.cc, equality, ordering, In).
#include "eval/arithmetic.h"
#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {

namespace {

bool truthy_of(const IRExpr& expr, const EvalContext& ctx) { return truthy(eval_operand(expr, ctx).get()); }

// `right` is evaluated only when `left` does not decide the result.
Value and_op(const IRExpr::Binary& e, const EvalContext& ctx) {
  return Value::boolean(truthy_of(*e.left, ctx) && truthy_of(*e.right, ctx));
}
Value or_op(const IRExpr::Binary& e, const EvalContext& ctx) {
  return Value::boolean(truthy_of(*e.left, ctx) || truthy_of(*e.right, ctx));
}
Value implies_op(const IRExpr::Binary& e, const EvalContext& ctx) {
  return Value::boolean(!truthy_of(*e.left, ctx) || truthy_of(*e.right, ctx));
}

// Incomparable pairs make every ordering operator false.
Value less(const Value& l, const Value& r) { return Value::boolean(partial_compare(l, r) == Ordering::Less); }
Value greater(const Value& l, const Value& r) { return Value::boolean(partial_compare(l, r) == Ordering::Greater); }
Value less_equal(const Value& l, const Value& r) {
  Ordering o = partial_compare(l, r);
  return Value::boolean(o == Ordering::Less || o == Ordering::Equal);
}
Value greater_equal(const Value& l, const Value& r) {
  Ordering o = partial_compare(l, r);
  return Value::boolean(o == Ordering::Greater || o == Ordering::Equal);
}

// Membership: an element of a List under operator equality, or a key of a
// Map for a String; a String on the right is not searched.
Value in_op(const Value& needle, const Value& haystack) {
  if (haystack.is_list()) {
    for (const Value& element : haystack.as_list()) {
      if (loose_equals(needle, element)) return Value::boolean(true);
    }
    return Value::boolean(false);
  }
  if (haystack.is_map() && needle.is_string()) return Value::boolean(haystack.as_map().contains(needle.as_string()));
  return Value::boolean(false);
}

Value combine(BinaryOp op, const Value& l, const Value& r) {
  switch (op) {
    case BinaryOp::Add: return arith_add(l, r);
    case BinaryOp::Sub: return arith_sub(l, r);
    case BinaryOp::Mul: return arith_mul(l, r);
    case BinaryOp::Div: return arith_div(l, r);
    case BinaryOp::Mod: return arith_mod(l, r);
    case BinaryOp::Eq: return Value::boolean(loose_equals(l, r));
    case BinaryOp::Neq: return Value::boolean(!loose_equals(l, r));
    case BinaryOp::Lt: return less(l, r);
    case BinaryOp::Le: return less_equal(l, r);
    case BinaryOp::Gt: return greater(l, r);
    case BinaryOp::Ge: return greater_equal(l, r);
    case BinaryOp::In: return in_op(l, r);
    case BinaryOp::And:
    case BinaryOp::Or:
    case BinaryOp::Implies: break;  // handled before both sides are evaluated
  }
  return Value();
}

}  // namespace

Value eval_binary(const IRExpr::Binary& e, const EvalContext& ctx) {
  switch (e.op) {
    case BinaryOp::And: return and_op(e, ctx);
    case BinaryOp::Or: return or_op(e, ctx);
    case BinaryOp::Implies: return implies_op(e, ctx);
    default: break;
  }
  Operand left = eval_operand(*e.left, ctx);
  Operand right = eval_operand(*e.right, ctx);
  return combine(e.op, left.get(), right.get());
}

}  // namespace zelvo::eval
