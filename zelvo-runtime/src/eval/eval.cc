#include "eval/eval.h"

#include "eval/kinds.h"

namespace zelvo {

Value eval_expr(const IRExpr& expr, const EvalContext& ctx) {
  using K = IRExpr::Kind;
  switch (expr.kind()) {
    case K::Literal: return eval::eval_literal(*std::get_if<IRExpr::Literal>(&expr.v), ctx);
    case K::Ref: return eval::eval_ref(*std::get_if<IRExpr::Ref>(&expr.v), ctx);
    case K::Binary: return eval::eval_binary(*std::get_if<IRExpr::Binary>(&expr.v), ctx);
    case K::Unary: return eval::eval_unary(*std::get_if<IRExpr::Unary>(&expr.v), ctx);
    case K::Predicate: return eval::eval_predicate(*std::get_if<IRExpr::Predicate>(&expr.v), ctx);
    case K::Quantifier: return eval::eval_quantifier(*std::get_if<IRExpr::Quantifier>(&expr.v), ctx);
    case K::Count: return eval::eval_count(*std::get_if<IRExpr::Count>(&expr.v), ctx);
    case K::Call: return eval::eval_call(*std::get_if<IRExpr::Call>(&expr.v), ctx);
    case K::MethodCall: return eval::eval_method_call(*std::get_if<IRExpr::MethodCall>(&expr.v), ctx);
    case K::DecisionTree: return eval_decision(*std::get_if<IRExpr::DecisionTree>(&expr.v)->node, ctx);
    case K::List: return eval::eval_list(*std::get_if<IRExpr::List>(&expr.v), ctx);
  }
  return Value();
}

}  // namespace zelvo
