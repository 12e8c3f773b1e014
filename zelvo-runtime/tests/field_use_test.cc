// FieldUse: the event fields a policy's expressions can read, wherever the
// reference sits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders.h"
#include "engine/field_positions.h"

namespace zelvo::test {
namespace {

CompiledRule rule_with_condition(IRExpr condition) {
  CompiledRule rule;
  rule.id = 1;
  rule.condition = std::move(condition);
  return rule;
}

CompiledPolicy policy_of(std::vector<CompiledRule> rules) {
  CompiledPolicy policy;
  policy.rules = std::move(rules);
  return policy;
}

IRExpr decision_reading(std::string_view subject, std::string_view guard, std::string_view leaf) {
  DecisionNode::Switch sw;
  sw.subject = event_ref({subject});
  DecisionCase guarded;
  guarded.test = CaseTest::Guard{event_ref({guard})};
  guarded.body = DecisionNode::Leaf{event_ref({leaf})};
  sw.cases.push_back(std::move(guarded));
  IRVerdict verdict;
  verdict.message = Box<IRExpr>(event_ref({"in_default"}));
  sw.default_ = Box<DecisionNode>(DecisionNode::VerdictLeaf{std::move(verdict)});
  return IRExpr::DecisionTree{DecisionNode(std::move(sw))};
}

struct Case {
  const char* name;
  IRExpr condition;
  std::vector<std::string> read;
  std::vector<std::string> unread;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  out.push_back({"first key of a path", event_ref({"args", "url"}), {"args"}, {"url", "type"}});
  out.push_back({"context and config are not fields",
                 binary(BinaryOp::Eq, context_ref({"user"}), config_ref({"tool"})), {}, {"user", "tool"}});
  out.push_back({"quantifier collection and body",
                 quantifier(QuantifierKind::Any, event_ref({"tags"}),
                            binary(BinaryOp::Eq, local_ref(0), event_ref({"wanted"}))),
                 {"tags", "wanted"}, {"x"}});
  out.push_back({"count filter", count(event_ref({"items"}), predicate(PredicateKind::Contains, local_ref(0),
                                                                          event_ref({"needle"}))),
                 {"items", "needle"}, {}});
  out.push_back({"call, method and list arguments",
                 call("len", {list({event_ref({"a"}), method(event_ref({"b"}), "contains", {event_ref({"c"})})})}),
                 {"a", "b", "c"}, {"d"}});
  out.push_back({"unary", unary(UnaryOp::Not, event_ref({"flag"})), {"flag"}, {}});
  out.push_back({"decision tree", decision_reading("s", "g", "l"), {"s", "g", "l", "in_default"}, {"other"}});
  return out;
}

TEST(FieldUse, FindsEveryReferenceInACondition) {
  for (Case& c : cases()) {
    std::vector<CompiledRule> rules;
    rules.push_back(rule_with_condition(std::move(c.condition)));
    CompiledPolicy policy = policy_of(std::move(rules));
    const FieldUse use = FieldUse::of(policy);
    EXPECT_FALSE(use.reads_all()) << c.name;
    for (const std::string& f : c.read) EXPECT_TRUE(use.reads(f)) << c.name << ": " << f;
    for (const std::string& f : c.unread) EXPECT_FALSE(use.reads(f)) << c.name << ": " << f;
    EXPECT_EQ(use.names().size(), c.read.size()) << c.name;
  }
}

TEST(FieldUse, FindsMessagesActionsAndGuards) {
  CompiledRule rule;
  IRVerdict verdict;
  verdict.message = Box<IRExpr>(event_ref({"why"}));
  rule.verdicts.push_back(std::move(verdict));
  IRAction action;
  action.args.emplace_back(Str("who"), Box<IRExpr>(event_ref({"user"})));
  rule.actions.push_back(std::move(action));
  CompiledPolicy policy = policy_of({});
  policy.rules.push_back(std::move(rule));
  StateMachine machine;
  Transition t;
  t.guard.kind = TransitionGuard::Kind::NegatedPredicate;
  t.guard.expr = Box<IRExpr>(event_ref({"tool"}));
  machine.transitions.push_back(std::move(t));
  policy.state_machines.push_back(std::move(machine));

  const FieldUse use = FieldUse::of(policy);
  for (const char* f : {"why", "user", "tool"}) EXPECT_TRUE(use.reads(f)) << f;
  EXPECT_FALSE(use.reads("session"));
  EXPECT_EQ(use.kept_of(10), 3u);
  EXPECT_EQ(use.kept_of(2), 2u);
}

TEST(FieldUse, TheWholeEventReadsEveryField) {
  std::vector<CompiledRule> rules;
  rules.push_back(rule_with_condition(event_ref({"tool"})));
  rules.push_back(rule_with_condition(method(event_ref({}), "contains_key", {lit_str("x")})));
  CompiledPolicy policy = policy_of(std::move(rules));
  const FieldUse use = FieldUse::of(policy);
  EXPECT_TRUE(use.reads_all());
  EXPECT_TRUE(use.reads("anything"));
  EXPECT_EQ(use.kept_of(7), 7u);
}

TEST(FieldUse, EmptyPolicyReadsNothing) {
  CompiledPolicy policy;
  const FieldUse use = FieldUse::of(policy);
  EXPECT_FALSE(use.reads_all());
  EXPECT_FALSE(use.reads(""));
  EXPECT_FALSE(use.reads("tool"));
  EXPECT_EQ(use.kept_of(6), 0u);
}

}  // namespace
}  // namespace zelvo::test
