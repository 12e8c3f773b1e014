// PreparedNodes: literals prepared once must read exactly like literals
// built on every evaluation, whatever their kind and wherever they sit;
// every node is numbered by the engine that prepares it, whatever a copy
// carried.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/expr_walk.h"
#include "engine/prepared_nodes.h"
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

TEST(PreparedNodes, PreparedLiteralsReadLikeBuiltOnes) {
  CompiledPolicy p = policy_reading(expressions());
  const PreparedNodes prepared = PreparedNodes::of(p, FieldUse::of(p));

  Scope scope;
  scope.event = make_event("t", {{"s", str_value("shell")}, {"n", Value::integer(3)},
                                 {"l", list_value({Value::integer(1), Value::integer(7)})}});
  EvalContext with_tables = scope.ctx();
  prepared.attach(with_tables);
  for (const CompiledRule& r : p.rules) {
    const IRExpr& e = *r.condition;
    EXPECT_TRUE(same_value(eval_expr(e, with_tables), eval_expr(e, scope.ctx()))) << "rule " << r.id;
    EXPECT_EQ(eval_truth(e, with_tables), eval_truth(e, scope.ctx())) << "rule " << r.id;
  }
}

// A policy built from nodes another engine has already numbered (here
// the same rules in reverse order, plus one in front) is numbered afresh:
// no number carried over from the copy is left, and it reads like the
// unprepared policy.
TEST(PreparedNodes, CopiesOfNumberedNodesAreNumberedAfresh) {
  CompiledPolicy first = policy_reading(expressions());
  const PreparedNodes first_tables = PreparedNodes::of(first, FieldUse::of(first));
  std::vector<IRExpr> reversed;
  reversed.push_back(binary(BinaryOp::Eq, context_ref({"s"}), lit_int(1)));
  for (auto it = first.rules.rbegin(); it != first.rules.rend(); ++it) reversed.push_back(*it->condition);
  CompiledPolicy p = policy_reading(std::move(reversed));
  const PreparedNodes prepared = PreparedNodes::of(p, FieldUse::of(p));

  std::uint32_t expected = 0;
  walk_exprs(p, [&](const IRExpr& e) {
    if (const auto* lit = std::get_if<IRExpr::Literal>(&e.v)) {
      EXPECT_EQ(lit->slot, expected++);
    }
    if (const auto* ref = std::get_if<IRExpr::Ref>(&e.v); ref != nullptr && ref->path.root.kind != RefRoot::Kind::Event) {
      EXPECT_EQ(ref->slot, kUnnumbered);
    }
  });
  EXPECT_EQ(expected, prepared.literals().size());

  Scope scope;
  scope.event = make_event("t", {{"s", str_value("shell")}, {"n", Value::integer(3)},
                                 {"l", list_value({Value::integer(1), Value::integer(7)})}});
  EvalContext with_tables = scope.ctx();
  prepared.attach(with_tables);
  for (const CompiledRule& r : p.rules) {
    EXPECT_TRUE(same_value(eval_expr(*r.condition, with_tables), eval_expr(*r.condition, scope.ctx()))) << "rule " << r.id;
  }
}

TEST(PreparedNodes, NumbersEveryLiteralInOrder) {
  CompiledPolicy p = policy_reading(expressions());
  const PreparedNodes prepared = PreparedNodes::of(p, FieldUse::of(p));
  std::uint32_t expected = 0;
  std::size_t numbered_refs = 0;
  walk_exprs(p, [&](const IRExpr& e) {
    if (const auto* ref = std::get_if<IRExpr::Ref>(&e.v)) numbered_refs += ref->slot != kUnnumbered;
    const auto* lit = std::get_if<IRExpr::Literal>(&e.v);
    if (lit == nullptr) return;
    EXPECT_EQ(lit->slot, expected);
    EXPECT_TRUE(same_value(prepared.literals()[expected], literal_value(lit->value)));
    ++expected;
  });
  EXPECT_EQ(expected, prepared.literals().size());
  EXPECT_EQ(expected, 15u);
  // The nine references to event fields.
  EXPECT_EQ(numbered_refs, 9u);
}

}  // namespace
}  // namespace zelvo::test
