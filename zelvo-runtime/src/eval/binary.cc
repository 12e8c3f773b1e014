// Binary: the short-circuit operators, then the operators that evaluate
// both sides (arithmetic in arithmetic.cc, equality, ordering, In). Every
// operator but the arithmetic ones yields a Bool, which binary_holds
// computes as a plain bool for eval_truth.
#include "eval/arithmetic.h"
#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {

namespace {

bool truthy_of(const IRExpr& expr, const EvalContext& ctx) { return eval_truth(expr, ctx); }

// Membership: an element of a List under operator equality, or a key of a
// Map for a String; a String on the right is not searched.
bool in_value(const Value& needle, const Value& haystack) noexcept {
  if (haystack.is_list()) {
    for (const Value& element : haystack.as_list()) {
      if (loose_equals(needle, element)) return true;
    }
    return false;
  }
  if (haystack.is_map() && needle.is_string()) return haystack.as_map().contains(needle.as_string());
  return false;
}

// `x In [a, b, ...]` written as a list expression: the same answer as
// building the list and searching it, without building it. Evaluation has
// no side effects, so stopping at the first equal element is unobservable.
bool in_list_expr(const Value& needle, const IRExpr::List& list, const EvalContext& ctx) {
  for (const IRExpr& item : list.items) {
    if (loose_equals(needle, eval_operand(item, ctx).get())) return true;
  }
  return false;
}

bool in_op(const IRExpr::Binary& e, const EvalContext& ctx) {
  const Operand left = eval_operand(*e.left, ctx);
  if (const auto* list = std::get_if<IRExpr::List>(&e.right->v)) return in_list_expr(left.get(), *list, ctx);
  const Operand right = eval_operand(*e.right, ctx);
  return in_value(left.get(), right.get());
}

// Comparisons: incomparable pairs make every ordering operator false.
bool compare(BinaryOp op, const Value& l, const Value& r) noexcept {
  switch (op) {
    case BinaryOp::Eq: return loose_equals(l, r);
    case BinaryOp::Neq: return !loose_equals(l, r);
    case BinaryOp::Lt: return partial_compare(l, r) == Ordering::Less;
    case BinaryOp::Gt: return partial_compare(l, r) == Ordering::Greater;
    case BinaryOp::Le: {
      const Ordering o = partial_compare(l, r);
      return o == Ordering::Less || o == Ordering::Equal;
    }
    case BinaryOp::Ge: {
      const Ordering o = partial_compare(l, r);
      return o == Ordering::Greater || o == Ordering::Equal;
    }
    default: return false;  // not a comparison
  }
}

Value arithmetic(BinaryOp op, const Value& l, const Value& r) {
  switch (op) {
    case BinaryOp::Add: return arith_add(l, r);
    case BinaryOp::Sub: return arith_sub(l, r);
    case BinaryOp::Mul: return arith_mul(l, r);
    case BinaryOp::Div: return arith_div(l, r);
    case BinaryOp::Mod: return arith_mod(l, r);
    default: return Value();  // not arithmetic
  }
}

}  // namespace

bool binary_yields_bool(BinaryOp op) noexcept {
  switch (op) {
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
    case BinaryOp::Div:
    case BinaryOp::Mod: return false;
    default: return true;
  }
}

// And, Or and Implies evaluate `right` only when `left` does not decide.
bool binary_holds(const IRExpr::Binary& e, const EvalContext& ctx) {
  switch (e.op) {
    case BinaryOp::And: return truthy_of(*e.left, ctx) && truthy_of(*e.right, ctx);
    case BinaryOp::Or: return truthy_of(*e.left, ctx) || truthy_of(*e.right, ctx);
    case BinaryOp::Implies: return !truthy_of(*e.left, ctx) || truthy_of(*e.right, ctx);
    case BinaryOp::In: return in_op(e, ctx);
    default: break;
  }
  const Operand left = eval_operand(*e.left, ctx);
  const Operand right = eval_operand(*e.right, ctx);
  return compare(e.op, left.get(), right.get());
}

Value eval_binary(const IRExpr::Binary& e, const EvalContext& ctx) {
  if (binary_yields_bool(e.op)) return Value::boolean(binary_holds(e, ctx));
  const Operand left = eval_operand(*e.left, ctx);
  const Operand right = eval_operand(*e.right, ctx);
  return arithmetic(e.op, left.get(), right.get());
}

}  // namespace zelvo::eval
