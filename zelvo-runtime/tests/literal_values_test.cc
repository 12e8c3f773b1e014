// LiteralValues: literals prepared once must read exactly like literals
// built on every evaluation, whatever their kind and wherever they sit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/expr_walk.h"
#include "engine/literal_values.h"
#include "engine_builders.h"
#include "eval_test_util.h"

namespace zelvo::test {
namespace {

// Expressions whose operands are literals of every kind, read by
// comparisons, predicates, arithmetic, methods, lists and quantifiers.
std::vector<IRExpr> expressions() {
  std::vector<IRExpr> out;
  out.push_back(binary(BinaryOp::Eq, event_ref({"s"}), lit_str("shell")));
  out.push_back(binary(BinaryOp::Neq, event_ref({"s"}), lit_str("a text longer than any inline text")));
  out.push_back(binary(BinaryOp::Gt, event_ref({"n"}), lit_int(2)));
  out.push_back(binary(BinaryOp::Le, lit_float(2.5), event_ref({"n"})));
  out.push_back(binary(BinaryOp::Add, event_ref({"n"}), lit_duration(3, DurationUnit::Seconds)));
  out.push_back(binary(BinaryOp::Or, lit_bool(false), binary(BinaryOp::Eq, lit_bool(true), lit_bool(true))));
  out.push_back(predicate(PredicateKind::Matches, event_ref({"s"}), lit_regex("^sh.*")));
  out.push_back(predicate(PredicateKind::StartsWith, lit_str("shell script"), event_ref({"s"})));
  out.push_back(binary(BinaryOp::In, event_ref({"s"}), list({lit_str("bash"), lit_str("shell")})));
  out.push_back(method(lit_str("MiXeD"), "to_lower"));
  out.push_back(quantifier(QuantifierKind::Any, event_ref({"l"}), binary(BinaryOp::Eq, local_ref(0), lit_int(7))));
  out.push_back(lit_str("a literal on its own"));
  return out;
}

CompiledPolicy policy_reading(std::vector<IRExpr> exprs) {
  std::vector<CompiledRule> rules;
  std::uint32_t id = 1;
  for (IRExpr& e : exprs) rules.push_back(rule(id++, {}, std::move(e)));
  return policy(std::move(rules));
}

TEST(LiteralValues, PreparedLiteralsReadLikeBuiltOnes) {
  CompiledPolicy p = policy_reading(expressions());
  const LiteralValues literals = LiteralValues::of(p);

  Scope scope;
  scope.event = make_event("t", {{"s", str_value("shell")}, {"n", Value::integer(3)},
                                 {"l", list_value({Value::integer(1), Value::integer(7)})}});
  EvalContext prepared = scope.ctx();
  prepared.literals = literals.values();
  for (const CompiledRule& r : p.rules) {
    const IRExpr& e = *r.condition;
    EXPECT_TRUE(same_value(eval_expr(e, prepared), eval_expr(e, scope.ctx()))) << "rule " << r.id;
    EXPECT_EQ(eval_truth(e, prepared), eval_truth(e, scope.ctx())) << "rule " << r.id;
  }
}

TEST(LiteralValues, NumbersEveryLiteralInOrder) {
  CompiledPolicy p = policy_reading(expressions());
  const LiteralValues literals = LiteralValues::of(p);
  std::uint32_t expected = 0;
  walk_exprs(p, [&](IRExpr& e) {
    const auto* lit = std::get_if<IRExpr::Literal>(&e.v);
    if (lit == nullptr) return;
    EXPECT_EQ(lit->value_slot, expected);
    EXPECT_TRUE(same_value(literals.values()[expected], literal_value(lit->value)));
    ++expected;
  });
  EXPECT_EQ(expected, literals.values().size());
  EXPECT_EQ(expected, 15u);
}

}  // namespace
}  // namespace zelvo::test
