// State machine monitors: transition choice, deadlines, violation reports
// and their interplay with the rules' verdicts.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_builders.h"

namespace zelvo::test {
namespace {

constexpr std::uint64_t T = 10'000;  // the clock's time at construction

const IRExpr flag = event_ref({"flag"});
Event ev(std::uint64_t ts, bool flag_value = false, std::string_view type = "e") {
  return make_event(type, {{"flag", Value::boolean(flag_value)}}, ts);
}

std::uint32_t state_of(const PolicyEngine& engine) { return engine.monitors().at(0).current_state; }

TEST(Monitor, FirstPassingTransitionInListOrder) {
  // 0 -> 1 when flag, 0 -> 2 otherwise (Always), 0 -> 3 when flag (never reached).
  const StateMachine m = machine({kActive, kActive, kActive, kActive},
                                 {transition(0, 1, when(flag)), transition(1, 0, always()), transition(0, 2, always()),
                                  transition(0, 3, when(flag))});
  ManualClock clock(T);
  PolicyEngine engine(policy({}, {}, {m}), clock);
  engine.evaluate(ev(T, true));
  EXPECT_EQ(state_of(engine), 1u);
  engine.evaluate(ev(T, true));  // back to 0 by Always; one transition per event
  EXPECT_EQ(state_of(engine), 0u);
  engine.evaluate(ev(T, false));
  EXPECT_EQ(state_of(engine), 2u);
  engine.evaluate(ev(T, true));  // an Active state without transitions stays put
  EXPECT_EQ(state_of(engine), 2u);
}

TEST(Monitor, NegatedPredicatePassesOnFalsyAndMissingValues) {
  const StateMachine m = machine({kActive, kActive}, {transition(0, 1, unless(flag))});
  PolicyEngine on(policy({}, {}, {m}));
  on.evaluate(ev(0, true));
  EXPECT_EQ(state_of(on), 0u);
  PolicyEngine missing(policy({}, {}, {m}));
  missing.evaluate(make_event("e"));
  EXPECT_EQ(state_of(missing), 1u);
}

// Deadline 1000 from T; transitions out of 0: a passing Predicate to 1,
// then Timeout to 2; out of 2: Timeout to 3.
struct DeadlineCase { const char* name; std::vector<std::uint64_t> times; std::uint32_t expected; };

TEST(Monitor, DeadlineCountsFromStartOfMonitoring) {
  const StateMachine m = machine({kActive, kActive, kActive, kActive},
                                 {transition(0, 1, always()), transition(0, 2, timeout()), transition(2, 3, timeout())},
                                 {}, {}, 1000);
  const std::vector<DeadlineCase> cases = {
      {"one short of the deadline", {T + 999}, 1},
      {"exactly at the deadline", {T + 1000}, 2},
      {"timeout again from the new state", {T + 1000, T + 1001}, 3},
      {"earlier than the start is zero elapsed", {T - 5000}, 1},
      {"far past the deadline", {~0ull}, 2},
  };
  for (const DeadlineCase& c : cases) {
    ManualClock clock(T);
    PolicyEngine engine(policy({}, {}, {m}), clock);
    for (std::uint64_t ts : c.times) engine.evaluate(ev(ts));
    EXPECT_EQ(state_of(engine), c.expected) << c.name;
  }
}

TEST(Monitor, TimeoutNeedsADeadlineAndFallsBackToGuards) {
  ManualClock clock(T);
  // No deadline: a Timeout transition is never taken, not even by step 3.
  PolicyEngine none(policy({}, {}, {machine({kActive, kActive}, {transition(0, 1, timeout())})}), clock);
  none.evaluate(ev(~0ull));
  EXPECT_EQ(state_of(none), 0u);
  // Deadline passed but no Timeout out of the current state: guards decide.
  PolicyEngine guards(policy({}, {}, {machine({kActive, kActive}, {transition(0, 1, when(flag))}, {}, {}, 0)}), clock);
  guards.evaluate(ev(T, true));
  EXPECT_EQ(state_of(guards), 1u);
}

TEST(Monitor, ResetRestartsTheDeadlineClock) {
  ManualClock clock(T);
  PolicyEngine engine(policy({}, {}, {machine({kActive, kActive}, {transition(0, 1, timeout())}, {}, {}, 1000)}), clock);
  engine.evaluate(ev(T + 1000));
  EXPECT_EQ(state_of(engine), 1u);
  clock.set(T + 5000);
  engine.reset();
  EXPECT_EQ(state_of(engine), 0u);
  EXPECT_EQ(engine.monitors()[0].started_at_ms, T + 5000);
  engine.evaluate(ev(T + 5999));
  EXPECT_EQ(state_of(engine), 0u);
  engine.evaluate(ev(T + 6000));
  EXPECT_EQ(state_of(engine), 1u);
}

TEST(Monitor, EnteringAndRestingInATerminalViolatingState) {
  StateMachine m = machine({kActive, kViolated}, {transition(0, 1, when(flag))}, {1});
  m.kind = TemporalKind::Until;
  PolicyEngine engine(policy({}, {}, {m}));
  EvalResult r = engine.evaluate(ev(0, false));
  EXPECT_EQ(r.verdict, Verdict::Allow);
  EXPECT_TRUE(r.violations.empty());

  r = engine.evaluate(ev(0, true, "tool_call"));
  EXPECT_EQ(r.verdict, Verdict::Deny);
  EXPECT_EQ(r.reason, "Invariant violation: inv (proof)");
  ASSERT_EQ(r.violations.size(), 1u);
  EXPECT_EQ(r.violations[0].proof, "proof");
  EXPECT_EQ(r.violations[0].invariant, "inv");
  EXPECT_EQ(r.violations[0].kind, TemporalKind::Until);
  EXPECT_EQ(r.violations[0].message, "Invariant `inv` in proof `proof` violated by event `tool_call`");

  for (int i = 0; i < 2; ++i) {
    r = engine.evaluate(ev(0, true));
    EXPECT_EQ(r.verdict, Verdict::Allow);
    EXPECT_FALSE(r.reason.has_value());
    ASSERT_EQ(r.violations.size(), 1u);
    EXPECT_EQ(r.violations[0].message, "Invariant `inv` in proof `proof` is violated");
  }
  EXPECT_EQ(engine.status().substr(engine.status().find("State")),
            "State machines: 1 total (0 active, 0 satisfied, 1 violated)\nConstraints: 0\nEvents processed: 4\n");
  engine.reset();
  EXPECT_NE(engine.status().find("(1 active, 0 satisfied, 0 violated)"), std::string::npos);
}

TEST(Monitor, ActiveViolatingStateReportsOnlyOnEntry) {
  // 0 -> 1 (violating, Active) when flag; 1 -> 0 when not flag.
  PolicyEngine engine(policy({}, {}, {machine({kActive, kActive}, {transition(0, 1, when(flag)), transition(1, 0, unless(flag))}, {1})}));
  const std::vector<std::pair<bool, std::size_t>> steps = {{true, 1}, {true, 0}, {false, 0}, {true, 1}};
  for (const auto& [flag_value, reports] : steps) {
    EXPECT_EQ(engine.evaluate(ev(0, flag_value)).violations.size(), reports);
  }
}

TEST(Monitor, ReasonPrecedenceWithRulesAndConstraints) {
  const StateMachine m = machine({kActive, kViolated}, {transition(0, 1, always())}, {1});
  const struct { const char* name; std::vector<CompiledRule> rules; std::vector<CompiledConstraint> limits; const char* reason; } cases[] = {
      {"rule deny keeps its message", {rule(1, {}, std::nullopt, {verdict(Verdict::Deny, lit_str("rule"))})}, {}, "rule"},
      {"rule audit yields to the invariant", {rule(1, {}, std::nullopt, {verdict(Verdict::Audit, lit_str("rule"))})}, {},
       "Invariant violation: inv (proof)"},
      {"constraint deny keeps its message", {}, {constraint(ConstraintKind::Quota, "e", 0, 5)},
       "Quota exceeded: 1 events in 5ms window (limit: 0)"},
  };
  for (const auto& c : cases) {
    PolicyEngine engine(policy(c.rules, c.limits, {m, m}));
    const EvalResult r = engine.evaluate(ev(0));
    EXPECT_EQ(r.verdict, Verdict::Deny) << c.name;
    EXPECT_EQ(r.reason, c.reason) << c.name;
    EXPECT_EQ(r.violations.size(), 2u) << c.name;
  }
}

TEST(Monitor, OutOfRangeStatesAreInert) {
  // Initial state 7 of 2: nothing is evaluated or reported; status counts it
  // only through the lists that name 7.
  PolicyEngine bad_initial(policy({}, {}, {machine({kActive, kViolated}, {transition(7, 1, always())}, {7}, {7}, {}, 7)}));
  const EvalResult r = bad_initial.evaluate(ev(0));
  EXPECT_EQ(state_of(bad_initial), 7u);
  EXPECT_TRUE(r.violations.empty());
  EXPECT_NE(bad_initial.status().find("(0 active, 1 satisfied, 1 violated)"), std::string::npos);

  // A taken transition to 9 reports entry when 9 is listed, then goes quiet.
  PolicyEngine bad_target(policy({}, {}, {machine({kActive}, {transition(0, 9, always()), transition(9, 0, always())}, {9})}));
  EXPECT_EQ(bad_target.evaluate(ev(0)).violations.size(), 1u);
  EXPECT_EQ(state_of(bad_target), 9u);
  const EvalResult later = bad_target.evaluate(ev(0));
  EXPECT_TRUE(later.violations.empty());
  EXPECT_EQ(later.verdict, Verdict::Allow);
  EXPECT_EQ(state_of(bad_target), 9u);
  EXPECT_NE(bad_target.status().find("(0 active, 0 satisfied, 1 violated)"), std::string::npos);
}

}  // namespace
}  // namespace zelvo::test
