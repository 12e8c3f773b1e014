#include "eval/operand.h"

#include "eval/kinds.h"

namespace zelvo::eval {

Operand eval_operand(const IRExpr& expr, const EvalContext& ctx) {
  if (const auto* ref = std::get_if<IRExpr::Ref>(&expr.v)) return ref_operand(*ref, ctx);
  if (const auto* lit = std::get_if<IRExpr::Literal>(&expr.v)) {
    if (lit->value_slot < ctx.literals.size()) return Operand::borrowed(ctx.literals[lit->value_slot]);
    return Operand::built([lit](Value& v) { assign_literal(lit->value, v); });
  }
  return Operand::owned(eval_expr(expr, ctx));
}

}  // namespace zelvo::eval
