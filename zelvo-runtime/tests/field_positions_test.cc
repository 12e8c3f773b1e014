// Field slots and field positions: an event that says where its read fields
// are stored must evaluate exactly like the same event found by key.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_builders.h"
#include "engine/field_positions.h"
#include "engine/prepared_nodes.h"

namespace zelvo::test {
namespace {

// The field number the engine's tables give the reference `e`.
std::uint32_t number_of_ref(const PreparedNodes&, const IRExpr& e) { return std::get<IRExpr::Ref>(e.v).slot; }

TEST(FieldNumbers, FirstKeysAreNumberedInOrderOfFirstUse) {
  std::vector<CompiledRule> rules;
  rules.push_back(rule(1, {}, binary(BinaryOp::Eq, event_ref({"tool"}), event_ref({"args", "url"}))));
  rules.push_back(rule(2, {}, event_ref({"tool"})));
  rules.push_back(rule(3, {}, context_ref({"tool"})));
  rules.push_back(rule(4, {}, event_ref({"args"})));
  CompiledPolicy p = policy(std::move(rules));
  const FieldUse use = FieldUse::of(p);
  const PreparedNodes prepared = PreparedNodes::of(p, use);

  ASSERT_EQ(use.count(), 2u);
  const auto& eq = std::get<IRExpr::Binary>(p.rules[0].condition->v);
  EXPECT_EQ(number_of_ref(prepared, *eq.left), 0u);
  EXPECT_EQ(number_of_ref(prepared, *eq.right), 1u);
  EXPECT_EQ(number_of_ref(prepared, *p.rules[1].condition), 0u);
  EXPECT_EQ(number_of_ref(prepared, *p.rules[2].condition), kUnnumbered);
  EXPECT_EQ(number_of_ref(prepared, *p.rules[3].condition), 1u);
  EXPECT_EQ(use.number_of("args"), 1u);
  EXPECT_FALSE(use.number_of("session"));
}

TEST(FieldNumbers, WholeEventReferencesStillNumberTheOthers) {
  std::vector<CompiledRule> rules;
  rules.push_back(rule(1, {}, method(event_ref({}), "contains_key", {lit_str("x")})));
  rules.push_back(rule(2, {}, event_ref({"later"})));
  CompiledPolicy p = policy(std::move(rules));
  const FieldUse use = FieldUse::of(p);
  const PreparedNodes prepared = PreparedNodes::of(p, use);
  EXPECT_TRUE(use.reads_all());
  const auto& whole = std::get<IRExpr::MethodCall>(p.rules[0].condition->v);
  EXPECT_EQ(number_of_ref(prepared, *whole.object), kUnnumbered);
  EXPECT_EQ(number_of_ref(prepared, *p.rules[1].condition), 0u);
}

// Rules reading top-level fields, nested keys, a field no event has, and
// fields in messages and actions.
PolicyEngine reading_engine() {
  std::vector<CompiledRule> rules;
  rules.push_back(rule(1, {"call"}, binary(BinaryOp::Eq, event_ref({"tool"}), lit_str("shell")),
                       {verdict(Verdict::Deny, binary(BinaryOp::Add, lit_str("by "), event_ref({"user"})))},
                       {action(ActionVerb::Log, {{"tool", event_ref({"tool"})}, {"url", event_ref({"args", "url"})}})}));
  rules.push_back(rule(2, {}, predicate(PredicateKind::StartsWith, event_ref({"args", "url"}), lit_str("http:"))));
  rules.push_back(rule(3, {}, binary(BinaryOp::Eq, event_ref({"never_sent"}), event_ref({"also_never_sent"}))));
  rules.push_back(rule(4, {}, predicate(PredicateKind::Contains, event_ref({"tags"}), lit_str("pii")),
                       {verdict(Verdict::Audit)}, {action(ActionVerb::Tag, {{"who", event_ref({"user"})}})}));
  // A monitor whose guard reads a field no rule reads, and one a rule reads.
  std::vector<Transition> steps;
  steps.push_back(transition(0, 1, when(binary(BinaryOp::Eq, event_ref({"phase"}), lit_str("deploy")))));
  steps.push_back(transition(1, 2, when(binary(BinaryOp::Eq, event_ref({"tool"}), lit_str("shell")))));
  std::vector<StateMachine> machines;
  machines.push_back(machine({StateKind::Active, StateKind::Active, StateKind::Violated}, std::move(steps), {2}));
  return PolicyEngine(policy(std::move(rules), {}, std::move(machines)));
}

TEST(FieldPositions, LocatedEventsEvaluateLikeEventsFoundByKey) {
  PolicyEngine by_key_engine = reading_engine();
  // Moved after it was built: its tables refer to nodes a move keeps.
  PolicyEngine built = reading_engine();
  PolicyEngine engine = std::move(built);
  const FieldUse& use = engine.field_use();
  ASSERT_EQ(use.number_of("phase"), 6u);
  const Value url = map_value({{"url", str_value("http://x")}, {"mode", str_value("r")}});
  const std::vector<Event> events = {
      make_event("call", {{"tool", str_value("shell")}, {"user", str_value("bob")}, {"args", url},
                          {"tags", list_value({str_value("pii")})}}),
      // Another order, with fields the policy never reads in between.
      make_event("call", {{"extra", Value::integer(1)}, {"args", url}, {"zzz", Value()},
                          {"user", str_value("eve")}, {"tool", str_value("shell")}}),
      // Some read fields missing; a nested key under a field of another kind.
      make_event("other", {{"args", str_value("not a map")}, {"tags", str_value("pii and more")}}),
      make_event("call"),
      // The monitor's guards, one event each: the second denies.
      make_event("call", {{"phase", str_value("deploy")}}),
      make_event("call", {{"tool", str_value("shell")}, {"phase", str_value("deploy")}}),
  };
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EvalResult by_key = by_key_engine.evaluate(events[i]);
    Event located = events[i];
    std::vector<std::uint32_t> positions(use.count());
    use.locate(located.fields, positions);
    located.field_positions = positions;
    expect_same_result(engine.evaluate(located), by_key, "event " + std::to_string(i));
  }
  EXPECT_EQ(engine.gather_status().violated_count, 1u);
}

TEST(FieldPositions, SpansOfAnotherLengthAreIgnoredAndStrayPositionsReadNull) {
  PolicyEngine engine = reading_engine();
  Event event = make_event("call", {{"tool", str_value("shell")}, {"user", str_value("bob")}});
  const EvalResult by_key = engine.evaluate(event);

  std::vector<std::uint32_t> short_span(engine.field_use().count() - 1, 0);
  event.field_positions = short_span;
  expect_same_result(engine.evaluate(event), by_key, "span one short");

  // Positions past the end of the fields read as absent fields, never as
  // memory past the map.
  std::vector<std::uint32_t> stray(engine.field_use().count(), 1000);
  event.field_positions = stray;
  const EvalResult r = engine.evaluate(event);
  EXPECT_TRUE(r.triggered_rules == std::vector<std::uint32_t>{3});
}

}  // namespace
}  // namespace zelvo::test
