// Placeholder results for the expression kinds not built yet.
#include "eval/kinds.h"

namespace zelvo {
namespace eval {
Value eval_predicate(const IRExpr::Predicate&, const EvalContext&) { return Value(); }
Value eval_quantifier(const IRExpr::Quantifier&, const EvalContext&) { return Value(); }
Value eval_count(const IRExpr::Count&, const EvalContext&) { return Value(); }
Value eval_call(const IRExpr::Call&, const EvalContext&) { return Value(); }
Value eval_method_call(const IRExpr::MethodCall&, const EvalContext&) { return Value(); }
Value eval_list(const IRExpr::List&, const EvalContext&) { return Value(); }
}  // namespace eval
Value eval_decision(const DecisionNode&, const EvalContext&) { return Value(); }
}  // namespace zelvo
