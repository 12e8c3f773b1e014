// eval_truth: the truthiness of an expression's value. A condition only
// needs that one bit, so the kinds whose value is a Bool by definition are
// asked for the bool itself, and a reference is tested where it is stored.
#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo {

bool eval_truth(const IRExpr& expr, const EvalContext& ctx) {
  using K = IRExpr::Kind;
  switch (expr.kind()) {
    case K::Binary: {
      const auto& e = *std::get_if<IRExpr::Binary>(&expr.v);
      if (eval::binary_yields_bool(e.op)) return eval::binary_holds(e, ctx);
      break;
    }
    case K::Unary: {
      const auto& e = *std::get_if<IRExpr::Unary>(&expr.v);
      if (e.op == UnaryOp::Not) return !eval_truth(*e.operand, ctx);
      break;
    }
    case K::Predicate: return eval::predicate_holds(*std::get_if<IRExpr::Predicate>(&expr.v), ctx);
    case K::Quantifier: return eval::quantifier_holds(*std::get_if<IRExpr::Quantifier>(&expr.v), ctx);
    case K::Ref: return truthy(eval::ref_operand(*std::get_if<IRExpr::Ref>(&expr.v), ctx).get());
    default: break;
  }
  return truthy(eval_expr(expr, ctx));
}

}  // namespace zelvo
