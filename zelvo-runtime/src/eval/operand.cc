#include "eval/operand.h"

#include "eval/kinds.h"

namespace zelvo::eval {

Operand owned_operand(const IRExpr& expr, const EvalContext& ctx) {
  if (const auto* lit = std::get_if<IRExpr::Literal>(&expr.v)) {
    return Operand::built([lit](Value& v) { assign_literal(lit->value, v); });
  }
  return Operand::owned(eval_expr(expr, ctx));
}

}  // namespace zelvo::eval
