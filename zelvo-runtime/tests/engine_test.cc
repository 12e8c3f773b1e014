// The evaluation pipeline: rule selection, conditions, the verdict rule,
// reasons, actions, status, reset, and the context and config stores.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_builders.h"

namespace zelvo::test {
namespace {

constexpr Verdict A = Verdict::Allow, D = Verdict::Deny, Au = Verdict::Audit, R = Verdict::Redact;

std::vector<std::string> verbs(const EvalResult& r) {
  std::vector<std::string> out;
  for (const Action& a : r.actions) out.emplace_back(to_name(a.verb));
  return out;
}

TEST(Engine, EmptyPolicyAllowsAndStillCounts) {
  PolicyEngine engine(policy({}));
  const EvalResult r = engine.evaluate(make_event("x"));
  EXPECT_EQ(r.verdict, A);
  EXPECT_FALSE(r.reason.has_value());
  EXPECT_TRUE(r.triggered_rules.empty() && r.actions.empty() && r.violations.empty() &&
              r.constraint_violations.empty());
  EXPECT_EQ(engine.event_count(), 1u);
}

// Every cell of the verdict table: a first fired rule sets the running
// verdict, a second one applies its entry.
struct TableCell { Verdict before, entry, expected; };
class VerdictTable : public ::testing::TestWithParam<TableCell> {};

TEST_P(VerdictTable, CombinesTwoEntries) {
  const auto [before, entry, expected] = GetParam();
  PolicyEngine engine(policy({rule(1, {}, std::nullopt, {verdict(before)}), rule(2, {}, std::nullopt, {verdict(entry)})}));
  EXPECT_EQ(engine.evaluate(make_event("x")).verdict, expected);
}

INSTANTIATE_TEST_SUITE_P(AllCells, VerdictTable,
                         ::testing::Values(TableCell{A, A, A}, TableCell{A, D, D}, TableCell{A, Au, Au},
                                           TableCell{A, R, R}, TableCell{D, A, D}, TableCell{D, D, D},
                                           TableCell{D, Au, D}, TableCell{D, R, D}, TableCell{Au, A, Au},
                                           TableCell{Au, D, D}, TableCell{Au, Au, Au}, TableCell{Au, R, Au},
                                           TableCell{R, A, R}, TableCell{R, D, D}, TableCell{R, Au, R},
                                           TableCell{R, R, R}),
                         [](const auto& info) {
                           return std::string(to_name(info.param.before)) + "Then" +
                                  std::string(to_name(info.param.entry));
                         });

// Sequences of verdict entries (each in its own fired rule) and the
// verdict and reason they leave.
struct ReasonCase {
  const char* name;
  std::vector<std::pair<Verdict, std::optional<IRExpr>>> entries;
  Verdict verdict;
  std::optional<std::string> reason;
};

TEST(Engine, ReasonIsTheLastAdoptedMessage) {
  const std::vector<ReasonCase> cases = {
      {"audit then redact", {{Au, lit_str("A")}, {R, lit_str("B")}}, Au, "A"},
      {"audit then deny", {{Au, lit_str("A")}, {D, lit_str("B")}}, D, "B"},
      {"allow message then bare deny", {{A, lit_str("A")}, {D, std::nullopt}}, D, "A"},
      {"deny then allow message", {{D, lit_str("A")}, {A, lit_str("B")}}, D, "A"},
      {"int message is empty text", {{Au, lit_int(7)}}, Au, ""},
      {"no message leaves reason absent", {{D, std::nullopt}}, D, std::nullopt},
      {"message from the event", {{R, event_ref({"why"})}}, R, "because"},
      {"missing field message is empty text", {{R, event_ref({"nope"})}}, R, ""},
  };
  for (const ReasonCase& c : cases) {
    std::vector<CompiledRule> rules;
    std::uint32_t id = 0;
    for (const auto& [v, msg] : c.entries) rules.push_back(rule(++id, {}, std::nullopt, {msg ? verdict(v, *msg) : verdict(v)}));
    PolicyEngine engine(policy(std::move(rules)));
    const EvalResult r = engine.evaluate(make_event("x", {{"why", str_value("because")}}));
    EXPECT_EQ(r.verdict, c.verdict) << c.name;
    EXPECT_EQ(r.reason, c.reason) << c.name;
  }
}

TEST(Engine, SelectsRulesByExactEventType) {
  PolicyEngine engine(policy({rule(1, {"Tool"}, std::nullopt), rule(2, {}, std::nullopt),
                              rule(3, {"a", "tool"}, std::nullopt), rule(4, {"Tool "}, std::nullopt)}));
  EXPECT_EQ(engine.evaluate(make_event("Tool")).triggered_rules, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(engine.evaluate(make_event("tool")).triggered_rules, (std::vector<std::uint32_t>{2, 3}));
  EXPECT_EQ(engine.evaluate(make_event("TOOL")).triggered_rules, (std::vector<std::uint32_t>{2}));
}

TEST(Engine, ConditionFiresOnlyWhenTruthy) {
  const struct { const char* name; Value value; bool fires; } cases[] = {
      {"null", Value(), false},
      {"false", Value::boolean(false), false},
      {"zero", Value::integer(0), false},
      {"zero float", Value::floating(0.0), false},
      {"negative zero", Value::floating(-0.0), false},
      {"empty string", str_value(""), false},
      {"empty list", list_value({}), false},
      {"empty map", map_value({}), false},
      {"zero duration", Value::duration(0), false},
      {"NaN", Value::floating(std::numeric_limits<double>::quiet_NaN()), true},
      {"true", Value::boolean(true), true},
      {"minus one", Value::integer(-1), true},
      {"text", str_value("0"), true},
      {"list", list_value({Value()}), true},
  };
  PolicyEngine engine(policy({rule(9, {}, event_ref({"c"}), {verdict(D)})}));
  for (const auto& c : cases) {
    const EvalResult r = engine.evaluate(make_event("x", {{"c", c.value}}));
    EXPECT_EQ(r.triggered_rules.size(), c.fires ? 1u : 0u) << c.name;
    EXPECT_EQ(r.verdict, c.fires ? D : A) << c.name;
  }
  // A field that is not there reads as Null.
  EXPECT_TRUE(engine.evaluate(make_event("x")).triggered_rules.empty());
}

TEST(Engine, ActionsOfEveryFiredRuleInOrder) {
  PolicyEngine engine(policy({
      rule(1, {}, std::nullopt, {},
           {action(ActionVerb::Tag, {{"k", lit_int(1)}, {"other", event_ref({"nope"})}, {"k", lit_str("last")}}),
            action(ActionVerb::Block)}),
      rule(2, {}, lit_bool(false), {}, {action(ActionVerb::Escalate)}),
      rule(3, {}, std::nullopt, {verdict(Au)}, {action(ActionVerb::Notify, {{"who", event_ref({"user"})}})}),
  }));
  const EvalResult r = engine.evaluate(make_event("x", {{"user", str_value("ann")}}));
  EXPECT_EQ(r.verdict, Au);  // a Block action does not deny
  EXPECT_EQ(r.triggered_rules, (std::vector<std::uint32_t>{1, 3}));
  ASSERT_EQ(verbs(r), (std::vector<std::string>{"Tag", "Block", "Notify"}));
  const ValueMap& tag = r.actions[0].args;
  EXPECT_EQ(tag.size(), 2u);
  EXPECT_EQ(display(*tag.find("k")), "last");
  EXPECT_TRUE(tag.find("other")->is_null());
  EXPECT_TRUE(r.actions[1].args.empty());
  EXPECT_EQ(display(*r.actions[2].args.find("who")), "ann");
}

TEST(Engine, StatusBeforeAndAfterEventsAndReset) {
  CompiledPolicy p = policy({rule(1, {}, std::nullopt), rule(2, {}, std::nullopt)},
                            {constraint(ConstraintKind::RateLimit, "a", 1, 10),
                             constraint(ConstraintKind::Quota, "a", 1, 10),
                             constraint(ConstraintKind::Quota, "b", 1, 10)},
                            {machine({kActive}, {})});
  p.name = Str("guard rails");
  PolicyEngine engine(std::move(p));
  EXPECT_EQ(engine.status(),
            "Policy: guard rails (High)\nRules: 2\nState machines: 1 total (1 active, 0 satisfied, 0 violated)\n"
            "Constraints: 2\nEvents processed: 0\n");
  for (int i = 0; i < 3; ++i) engine.evaluate(make_event("x"));
  EXPECT_EQ(engine.event_count(), 3u);
  EXPECT_EQ(engine.status().substr(engine.status().rfind("Events")), "Events processed: 3\n");
  engine.reset();
  EXPECT_EQ(engine.event_count(), 0u);
  EXPECT_EQ(engine.status().substr(engine.status().rfind("Events")), "Events processed: 0\n");
}

TEST(Engine, EmptyPolicyStatus) {
  CompiledPolicy p = policy({});
  p.severity = Severity::Info;
  EXPECT_EQ(PolicyEngine(std::move(p)).status(),
            "Policy: p (Info)\nRules: 0\nState machines: 0 total (0 active, 0 satisfied, 0 violated)\n"
            "Constraints: 0\nEvents processed: 0\n");
}

TEST(Engine, ContextAndConfigAreSeparateAndSurviveReset) {
  // Rule 1 reads Context.k, rule 2 reads Policy.k.
  PolicyEngine engine(policy({rule(1, {}, binary(BinaryOp::Eq, context_ref({"k"}), lit_str("on"))),
                              rule(2, {}, binary(BinaryOp::Eq, config_ref({"k"}), lit_str("on")))}));
  auto fired = [&] { return engine.evaluate(make_event("x")).triggered_rules; };
  EXPECT_TRUE(fired().empty());
  engine.set_context(Str("k"), str_value("on"));
  EXPECT_EQ(fired(), (std::vector<std::uint32_t>{1}));
  engine.set_context(Str("k"), str_value("off"));  // replaces
  engine.set_config(Str("k"), str_value("on"));
  EXPECT_EQ(fired(), (std::vector<std::uint32_t>{2}));
  engine.set_context(Str("k"), str_value("on"));
  engine.reset();
  EXPECT_EQ(fired(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(engine.context().size(), 1u);
  EXPECT_EQ(engine.config().size(), 1u);
}

TEST(Engine, ConstraintReasonAgainstRuleVerdicts) {
  const CompiledConstraint limit0 = constraint(ConstraintKind::RateLimit, "x", 0, 1000);
  PolicyEngine allow(policy({rule(1, {}, std::nullopt, {verdict(A, lit_str("fine"))})}, {limit0}));
  EvalResult r = allow.evaluate(make_event("x", {}, 5));
  EXPECT_EQ(r.verdict, D);
  EXPECT_EQ(r.reason, "RateLimit exceeded: 1 events in 1000ms window (limit: 0)");
  PolicyEngine deny(policy({rule(1, {}, std::nullopt, {verdict(D, lit_str("rule says no"))})}, {limit0}));
  r = deny.evaluate(make_event("x", {}, 5));
  EXPECT_EQ(r.verdict, D);
  EXPECT_EQ(r.reason, "rule says no");
  EXPECT_EQ(r.constraint_violations.size(), 1u);
}

// A record evaluated into again holds the new result only, whatever the
// last one held: the same as a fresh record every time.
TEST(Engine, EvaluatingIntoAUsedRecordMatchesAFreshOne) {
  const CompiledConstraint limit1 = constraint(ConstraintKind::RateLimit, "x", 1, 1000);
  auto build = [&] {
    return PolicyEngine(policy({rule(1, {"x"}, event_ref({"bad"}), {verdict(D, lit_str("bad"))},
                                     {action(ActionVerb::Block, {{"who", event_ref({"user"})}})}),
                                rule(2, {}, std::nullopt, {}, {action(ActionVerb::Log)})},
                               {limit1}));
  };
  const std::vector<Event> events = {
      make_event("x", {{"bad", Value::boolean(true)}, {"user", str_value("ann")}}, 10),
      make_event("x", {{"user", str_value("bob")}}, 20),  // over the limit: a constraint violation
      make_event("y", {}, 5000),
      make_event("x", {{"bad", Value::boolean(true)}}, 9000),
  };
  PolicyEngine fresh = build(), reused = build();
  EvalResult record;
  for (std::size_t i = 0; i < events.size(); ++i) {
    reused.evaluate(events[i], record);
    expect_same_result(record, fresh.evaluate(events[i]), "event " + std::to_string(i));
  }
}

}  // namespace
}  // namespace zelvo::test
