// Internal: one evaluation function per expression kind, each in its own
// file; eval_expr (eval.cc) only dispatches to them.
#pragma once

#include "eval/eval.h"

namespace zelvo::eval {

Value eval_literal(const IRExpr::Literal& e, const EvalContext& ctx);        // literal.cc
Value eval_ref(const IRExpr::Ref& e, const EvalContext& ctx);                // ref.cc
Value eval_binary(const IRExpr::Binary& e, const EvalContext& ctx);          // binary.cc
Value eval_unary(const IRExpr::Unary& e, const EvalContext& ctx);            // unary.cc
Value eval_predicate(const IRExpr::Predicate& e, const EvalContext& ctx);    // predicate.cc
Value eval_quantifier(const IRExpr::Quantifier& e, const EvalContext& ctx);  // quantifier.cc
Value eval_count(const IRExpr::Count& e, const EvalContext& ctx);            // quantifier.cc
Value eval_call(const IRExpr::Call& e, const EvalContext& ctx);              // call.cc
Value eval_method_call(const IRExpr::MethodCall& e, const EvalContext& ctx); // method_call.cc
Value eval_list(const IRExpr::List& e, const EvalContext& ctx);              // list.cc

// The Bool results of the kinds that always give one, as plain bools
// (eval_truth in truth.cc uses them directly).
bool binary_yields_bool(BinaryOp op) noexcept;                              // binary.cc
bool binary_holds(const IRExpr::Binary& e, const EvalContext& ctx);         // binary.cc, op yields a Bool
bool predicate_holds(const IRExpr::Predicate& e, const EvalContext& ctx);   // predicate.cc
bool quantifier_holds(const IRExpr::Quantifier& e, const EvalContext& ctx); // quantifier.cc

}  // namespace zelvo::eval
