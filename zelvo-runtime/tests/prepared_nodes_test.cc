// PreparedNodes and NodeSlots: literals prepared once must read exactly like
// literals built on every evaluation, whatever their kind and wherever they
// sit; the table keyed by node address finds exactly what was put in it.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "engine/expr_walk.h"
#include "engine/prepared_nodes.h"
#include "eval/node_slots.h"
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
  const CompiledPolicy p = policy_reading(expressions());
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

// Tables of another policy (an equal copy, whose nodes live elsewhere) find
// none of this policy's nodes: its literals are built when read.
TEST(PreparedNodes, TablesOfAnotherCopyFindNothing) {
  const CompiledPolicy p = policy_reading(expressions());
  const CompiledPolicy copy = p;
  const PreparedNodes prepared = PreparedNodes::of(copy, FieldUse::of(copy));
  std::size_t literals = 0;
  walk_exprs(p, [&](const IRExpr& e) {
    if (const auto* lit = std::get_if<IRExpr::Literal>(&e.v)) {
      EXPECT_EQ(prepared.slots().find(lit), kNoSlot);
      ++literals;
    }
  });
  EXPECT_EQ(literals, prepared.literals().size());
}

TEST(PreparedNodes, NumbersEveryLiteralInOrder) {
  const CompiledPolicy p = policy_reading(expressions());
  const PreparedNodes prepared = PreparedNodes::of(p, FieldUse::of(p));
  std::uint32_t expected = 0;
  walk_exprs(p, [&](const IRExpr& e) {
    const auto* lit = std::get_if<IRExpr::Literal>(&e.v);
    if (lit == nullptr) return;
    EXPECT_EQ(prepared.slots().find(lit), expected);
    EXPECT_TRUE(same_value(prepared.literals()[expected], literal_value(lit->value)));
    ++expected;
  });
  EXPECT_EQ(expected, prepared.literals().size());
  EXPECT_EQ(expected, 15u);
  // The literals and the nine references to event fields.
  EXPECT_EQ(prepared.slots().size(), 15u + 9u);
}

// Every size around the table's powers of two: each added node is found
// with its slot, neighbours and strangers are not, and a move hands the
// table over whole.
class NodeSlotsSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NodeSlotsSizes, FindsExactlyWhatWasAdded) {
  const std::size_t n = GetParam();
  // Nodes 16 bytes apart, as heap records are; the odd ones are left out.
  std::vector<std::array<std::uint64_t, 2>> nodes(2 * n + 1);
  std::vector<NodeSlots::Entry> entries;
  for (std::size_t i = 0; i < n; ++i) entries.push_back({&nodes[2 * i], static_cast<std::uint32_t>(i * 7)});
  NodeSlots built(entries);
  const NodeSlots slots = std::move(built);
  EXPECT_EQ(slots.size(), n);
  EXPECT_EQ(built.size(), 0u);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(slots.find(&nodes[2 * i]), i * 7) << "node " << i;
    EXPECT_EQ(slots.find(&nodes[2 * i + 1]), kNoSlot) << "between " << i;
    EXPECT_EQ(built.find(&nodes[2 * i]), kNoSlot) << "moved-from " << i;
  }
  EXPECT_EQ(slots.find(nullptr), kNoSlot);
  EXPECT_EQ(slots.find(&nodes[2 * n]), kNoSlot);
}

INSTANTIATE_TEST_SUITE_P(Sizes, NodeSlotsSizes, ::testing::Values(0, 1, 2, 3, 4, 5, 8, 9, 100, 4097));

}  // namespace
}  // namespace zelvo::test
