// Test helpers for the engine: terse rules, machines and constraints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "builders.h"
#include "engine/engine.h"

namespace zelvo::test {

inline IRVerdict verdict(Verdict v) { return IRVerdict{v, std::nullopt}; }
inline IRVerdict verdict(Verdict v, IRExpr message) { return IRVerdict{v, Box<IRExpr>(std::move(message))}; }

inline IRAction action(ActionVerb verb, std::vector<std::pair<std::string_view, IRExpr>> args = {}) {
  IRAction a;
  a.verb = verb;
  for (auto& [name, expr] : args) a.args.emplace_back(Str(name), Box<IRExpr>(std::move(expr)));
  return a;
}

inline CompiledRule rule(std::uint32_t id, std::vector<std::string_view> on_events, std::optional<IRExpr> condition,
                         std::vector<IRVerdict> verdicts = {}, std::vector<IRAction> actions = {}) {
  CompiledRule r;
  r.id = id;
  for (auto e : on_events) r.on_events.emplace_back(e);
  r.condition = std::move(condition);
  r.verdicts = std::move(verdicts);
  r.actions = std::move(actions);
  return r;
}

inline CompiledConstraint constraint(ConstraintKind kind, std::string_view target, std::uint64_t limit,
                                     std::uint64_t window_millis) {
  return CompiledConstraint{kind, Str(target), limit, window_millis};
}

inline TransitionGuard when(IRExpr e) { return {TransitionGuard::Kind::Predicate, Box<IRExpr>(std::move(e))}; }
inline TransitionGuard unless(IRExpr e) {
  return {TransitionGuard::Kind::NegatedPredicate, Box<IRExpr>(std::move(e))};
}
inline TransitionGuard timeout() { return {TransitionGuard::Kind::Timeout, std::nullopt}; }
inline TransitionGuard always() { return {TransitionGuard::Kind::Always, std::nullopt}; }

inline Transition transition(std::uint32_t from, std::uint32_t to, TransitionGuard guard) {
  return Transition{from, to, std::move(guard)};
}

// A machine named "proof" proving "inv", one state per entry of `kinds`
// (state i has id i).
inline StateMachine machine(std::vector<StateKind> kinds, std::vector<Transition> transitions,
                            std::vector<std::uint32_t> violating = {}, std::vector<std::uint32_t> accepting = {},
                            std::optional<std::uint64_t> deadline = std::nullopt, std::uint32_t initial = 0) {
  StateMachine m;
  m.name = Str("proof");
  m.invariant_name = Str("inv");
  m.kind = TemporalKind::Never;
  for (std::uint32_t i = 0; i < kinds.size(); ++i) m.states.push_back(State{i, Str("s"), kinds[i]});
  m.transitions = std::move(transitions);
  m.initial_state = initial;
  m.accepting_states = std::move(accepting);
  m.violating_states = std::move(violating);
  m.deadline_millis = deadline;
  return m;
}

inline CompiledPolicy policy(std::vector<CompiledRule> rules, std::vector<CompiledConstraint> constraints = {},
                             std::vector<StateMachine> machines = {}) {
  CompiledPolicy p;
  p.name = Str("p");
  p.severity = Severity::High;
  p.rules = std::move(rules);
  p.constraints = std::move(constraints);
  p.state_machines = std::move(machines);
  return p;
}

// Two results agree in everything but the time taken.
inline void expect_same_result(const EvalResult& a, const EvalResult& b, const std::string& what) {
  EXPECT_EQ(a.verdict, b.verdict) << what;
  EXPECT_EQ(a.reason.has_value(), b.reason.has_value()) << what;
  if (a.reason && b.reason) {
    EXPECT_EQ(a.reason->view(), b.reason->view()) << what;
  }
  EXPECT_EQ(a.triggered_rules, b.triggered_rules) << what;
  ASSERT_EQ(a.actions.size(), b.actions.size()) << what;
  for (std::size_t i = 0; i < a.actions.size(); ++i) {
    EXPECT_EQ(a.actions[i].verb, b.actions[i].verb) << what << " action " << i;
    EXPECT_TRUE(deep_equals(Value::map(a.actions[i].args), Value::map(b.actions[i].args))) << what << " action " << i;
  }
  EXPECT_EQ(a.violations.size(), b.violations.size()) << what;
  EXPECT_EQ(a.constraint_violations.size(), b.constraint_violations.size()) << what;
}

constexpr auto kActive = StateKind::Active;
constexpr auto kSatisfied = StateKind::Satisfied;
constexpr auto kViolated = StateKind::Violated;

}  // namespace zelvo::test
