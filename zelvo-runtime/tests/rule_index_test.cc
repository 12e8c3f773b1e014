// The event-type index yields exactly the rules of the in-order scan:
// the fired rules, and with them the verdicts, reasons and actions, are
// those of comparing every rule's on_events with the event's type.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/rule_step.h"
#include "engine_builders.h"

namespace zelvo::test {
namespace {

// What the in-order scan fires when every rule has no condition.
std::vector<std::uint32_t> scanned(const CompiledPolicy& p, std::string_view type) {
  std::vector<std::uint32_t> out;
  for (const CompiledRule& r : p.rules) {
    if (rule_selected(r, type)) out.push_back(r.id);
  }
  return out;
}

TEST(RuleIndex, InterleavedUntypedRulesKeepTheirPlaces) {
  PolicyEngine engine(policy({
      rule(1, {"a"}, std::nullopt, {verdict(Verdict::Audit, lit_str("one"))}),
      rule(2, {}, std::nullopt, {verdict(Verdict::Redact, lit_str("two"))}),
      rule(3, {"b", "a", "a"}, std::nullopt, {}, {action(ActionVerb::Tag)}),
      rule(4, {}, std::nullopt, {}, {action(ActionVerb::Log)}),
      rule(5, {"A"}, std::nullopt, {verdict(Verdict::Deny, lit_str("five"))}),
  }));
  const EvalResult a = engine.evaluate(make_event("a"));
  EXPECT_EQ(a.triggered_rules, (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(a.verdict, Verdict::Audit);
  EXPECT_EQ(a.reason, "one");
  ASSERT_EQ(a.actions.size(), 2u);
  EXPECT_EQ(a.actions[0].verb, ActionVerb::Tag);
  EXPECT_EQ(a.actions[1].verb, ActionVerb::Log);
  EXPECT_EQ(engine.evaluate(make_event("A")).triggered_rules, (std::vector<std::uint32_t>{2, 4, 5}));
  EXPECT_EQ(engine.evaluate(make_event("unnamed")).triggered_rules, (std::vector<std::uint32_t>{2, 4}));
  EXPECT_EQ(engine.evaluate(make_event("")).triggered_rules, (std::vector<std::uint32_t>{2, 4}));
}

// A window on a type that no rule names is still counted, and the untyped
// rules still run for it.
TEST(RuleIndex, WindowOnUnnamedType) {
  PolicyEngine engine(policy({rule(1, {}, std::nullopt), rule(2, {"other"}, std::nullopt)},
                             {constraint(ConstraintKind::RateLimit, "w", 0, 1000)}));
  const EvalResult r = engine.evaluate(make_event("w"));
  EXPECT_EQ(r.triggered_rules, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(r.constraint_violations.size(), 1u);
  EXPECT_EQ(engine.window("w")->size(), 1u);
}

// Random policies: every type, named or not, fires what the scan selects.
TEST(RuleIndex, MatchesTheScanOnRandomPolicies) {
  std::mt19937 rng(7);
  const std::vector<std::string> types = {"a", "b", "c", "tool_call", "Tool_call", "a "};
  for (int round = 0; round < 200; ++round) {
    std::vector<CompiledRule> rules;
    const int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      std::vector<std::string_view> on;
      const int k = static_cast<int>(rng() % 4);  // 0: every type
      for (int j = 0; j < k; ++j) on.push_back(types[rng() % 4]);
      rules.push_back(rule(static_cast<std::uint32_t>(100 + i), on, std::nullopt));
    }
    const CompiledPolicy copy = policy(rules);
    // Half the rounds count one type in a window, whose route may be made
    // after the rules were indexed (a type no rule names).
    std::vector<CompiledConstraint> windows;
    if (round % 2 == 1) windows.push_back(constraint(ConstraintKind::RateLimit, types[rng() % types.size()], 1000, 1000));
    PolicyEngine engine(policy(std::move(rules), std::move(windows)));
    for (const std::string& t : types) {
      EXPECT_EQ(engine.evaluate(make_event(t)).triggered_rules, scanned(copy, t)) << "round " << round << " type " << t;
    }
  }
}

}  // namespace
}  // namespace zelvo::test
