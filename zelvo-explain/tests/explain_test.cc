// explain(): the trace of rules, windows and monitors for one event; that it
// agrees with evaluate over random policies and event sequences; and that
// it never changes the engine.
#include "explain/explain.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "compiler.h"
#include "engine/clock.h"
#include "engine/engine.h"

namespace zelvo::explain {
namespace {

struct Compiled {
  CompiledPolicy policy;
  lang::SourceMap map;
};

Compiled compile_or_die(const std::string& source) {
  lang::CompileResult r = lang::compile(source, "t.zelvo");
  if (!r.policy) {
    ADD_FAILURE() << "does not compile: " << (r.diagnostics.empty() ? "" : r.diagnostics[0].message) << "\n" << source;
    return {};
  }
  return {std::move(*r.policy), std::move(r.source_map)};
}

Event event(std::string type, std::uint64_t ts, std::vector<std::pair<std::string, Value>> fields = {}) {
  Event e;
  e.event_type = Str(type);
  e.timestamp = ts;
  for (auto& [k, v] : fields) e.fields.insert_or_assign(Str(k), std::move(v));
  return e;
}

const char* kGuard = R"(policy "g" severity high
rule 1 on tool_call {
  when event.tool == "shell" and event.cmd.contains("rm")
  deny "destructive: " + event.cmd
  block(tool: event.tool)
}
rule 2 on data_access {
  when event.path.starts_with("/etc/") or event.size > 10
  audit "sensitive"
}
rule 3 {
  allow
  log(level: "info")
}
rate_limit tool_call 2 per 1s
machine 1 exfil invariant secrets never {
  state watching
  state read_secret
  state leaked violated
  violating leaked
  transition watching -> read_secret when event.path.contains("secret")
  transition read_secret -> leaked when event.tool == "http"
}
)";

TEST(Explain, RulesSelectionConditionsAndDecisiveNodes) {
  Compiled c = compile_or_die(kGuard);
  ManualClock clock(0);
  PolicyEngine engine(c.policy, clock);
  const Event e = event("tool_call", 5, {{"tool", Value::string("shell")}, {"cmd", Value::string("ls")}});
  const Explanation x = explain(engine, e, &c.map);

  ASSERT_EQ(x.rules.size(), 3u);
  const RuleTrace& r1 = x.rules[0];
  EXPECT_TRUE(r1.selected);
  EXPECT_EQ(r1.condition, std::optional<bool>(false));
  EXPECT_FALSE(r1.fired);
  // Pre-order: and, ==, event.tool, "shell", contains, event.cmd, "rm".
  std::vector<std::string> texts;
  std::vector<bool> decisive;
  for (const ExprStep& s : r1.steps) {
    texts.push_back(s.text);
    decisive.push_back(s.decisive);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{R"(event.tool == "shell" and event.cmd.contains("rm"))",
                                              R"(event.tool == "shell")", "event.tool", R"("shell")",
                                              R"(event.cmd.contains("rm"))", "event.cmd", R"("rm")"}));
  // The left operand is true, so the right one decided the `and`.
  EXPECT_EQ(decisive, (std::vector<bool>{true, true, true, true, true, true, true}));
  ASSERT_TRUE(r1.steps[5].value && r1.steps[5].value->is_string());
  EXPECT_EQ(r1.steps[5].value->as_string().view(), "ls");
  // Spans come from the source map and cover each node's text.
  const std::string source = kGuard;
  for (const ExprStep& s : r1.steps) {
    ASSERT_TRUE(s.span) << s.text;
    EXPECT_EQ(source.substr(s.span->offset, s.span->length), s.text);
  }
  EXPECT_FALSE(x.rules[1].selected);
  EXPECT_TRUE(x.rules[2].fired);
  EXPECT_FALSE(x.rules[2].has_condition);
  EXPECT_EQ(x.result.verdict, Verdict::Allow);
  EXPECT_EQ(x.result.triggered_rules, (std::vector<std::uint32_t>{3}));
}

TEST(Explain, ShortCircuitMarksOnlyTheDecidingOperand) {
  Compiled c = compile_or_die(kGuard);
  PolicyEngine engine(c.policy);
  struct Case {
    const char* path;
    std::int64_t size;
    bool truth;
    std::vector<bool> decisive;  // or, starts_with, path, "/etc/", >, size, 10
  };
  const std::vector<Case> cases = {
      {"/etc/passwd", 0, true, {true, true, true, true, false, false, false}},
      {"/srv/x", 20, true, {true, true, true, true, true, true, true}},
      {"/srv/x", 3, false, {true, true, true, true, true, true, true}},
  };
  for (const Case& k : cases) {
    const Event e = event("data_access", 1, {{"path", Value::string(k.path)}, {"size", Value::integer(k.size)}});
    const auto x = explain(engine, e);
    const RuleTrace& r = x.rules[1];
    EXPECT_EQ(r.condition, std::optional<bool>(k.truth)) << k.path;
    std::vector<bool> decisive;
    for (const ExprStep& s : r.steps) decisive.push_back(s.decisive);
    EXPECT_EQ(decisive, k.decisive) << k.path << " " << k.size;
  }
}

TEST(Explain, VerdictsAdoptionsWindowsAndMachines) {
  Compiled c = compile_or_die(kGuard);
  ManualClock clock(0);
  PolicyEngine engine(c.policy, clock);
  const auto shell = [](std::uint64_t ts) {
    return event("tool_call", ts, {{"tool", Value::string("shell")}, {"cmd", Value::string("rm -rf /")}});
  };
  engine.evaluate(shell(10));
  engine.evaluate(shell(20));
  const Explanation x = explain(engine, shell(30), &c.map);
  ASSERT_EQ(x.windows.size(), 1u);
  EXPECT_TRUE(x.windows[0].counts_event);
  EXPECT_EQ(x.windows[0].count, 3u);
  EXPECT_TRUE(x.windows[0].exceeded);
  ASSERT_EQ(x.adoptions.size(), 2u);
  EXPECT_EQ(x.adoptions[0].source, Adoption::Source::Constraint);
  EXPECT_EQ(x.adoptions[1].source, Adoption::Source::Rule);
  EXPECT_EQ(x.adoptions[1].reason, std::optional<std::string>("destructive: rm -rf /"));
  ASSERT_EQ(x.rules[0].verdicts.size(), 1u);
  EXPECT_TRUE(x.rules[0].verdicts[0].adopted);
  EXPECT_EQ(x.rules[0].actions, (std::vector<ActionVerb>{ActionVerb::Block}));
  EXPECT_EQ(x.rules[2].verdicts.size(), 1u);
  EXPECT_FALSE(x.rules[2].verdicts[0].adopted);  // allow after deny changes nothing

  engine.evaluate(event("data_access", 40, {{"path", Value::string("/secret/k")}}));
  const Explanation m = explain(engine, event("tool_call", 50, {{"tool", Value::string("http")}}), &c.map);
  ASSERT_EQ(m.machines.size(), 1u);
  EXPECT_EQ(m.machines[0].state_label, std::optional<std::string>("read_secret"));
  EXPECT_EQ(m.machines[0].taken, std::optional<std::uint32_t>(1));
  EXPECT_EQ(m.machines[0].to_label, std::optional<std::string>("leaked"));
  EXPECT_TRUE(m.machines[0].enters_violating);
  ASSERT_TRUE(m.machines[0].taken_span);
  EXPECT_EQ(m.machines[0].taken_span->line, 22u);  // the second transition line
  EXPECT_EQ(m.result.verdict, Verdict::Deny);
  EXPECT_EQ(m.result.violations.size(), 1u);
}

// --- agreement with evaluate, over random policies and event sequences ---

class Gen {
 public:
  explicit Gen(unsigned seed) : rng_(seed) {}
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string atom() {
    switch (pick(6)) {
      case 0: return "event.x == " + std::to_string(pick(3));
      case 1: return "event.x > " + std::to_string(pick(3));
      case 2: return "event.s.contains(\"k\")";
      case 3: return "context.on";
      case 4: return "event.items.any(i, i > 1)";
      default: return "event.s.starts_with(\"z\")";
    }
  }
  std::string cond(int depth) {
    if (depth == 0 || pick(3) == 0) return atom();
    switch (pick(4)) {
      case 0: return "(" + cond(depth - 1) + " and " + cond(depth - 1) + ")";
      case 1: return "(" + cond(depth - 1) + " or " + cond(depth - 1) + ")";
      case 2: return "(" + cond(depth - 1) + " implies " + cond(depth - 1) + ")";
      default: return "not (" + cond(depth - 1) + ")";
    }
  }
  std::string policy() {
    static const char* kVerdicts[] = {"allow", "deny", "audit", "redact"};
    static const char* kTypes[] = {"a", "b"};
    std::string s = "policy \"r\" severity low\n";
    const int rules = 1 + pick(5);
    for (int i = 0; i < rules; ++i) {
      s += "rule " + std::to_string(i + 1);
      if (pick(2) == 0) s += std::string(" on ") + kTypes[pick(2)];
      s += " {\n";
      if (pick(4) != 0) s += "  when " + cond(3) + "\n";
      const int verdicts = pick(3);
      for (int v = 0; v < verdicts; ++v) {
        s += std::string("  ") + kVerdicts[pick(4)];
        if (pick(2) == 0) s += " \"m" + std::to_string(i) + "_" + std::to_string(v) + "\"";
        s += "\n";
      }
      if (pick(2) == 0) s += "  log(x: event.x)\n";
      s += "}\n";
    }
    if (pick(2) == 0) s += "rate_limit a " + std::to_string(1 + pick(3)) + " per 10ms\n";
    if (pick(2) == 0) {
      s += "machine 1 m invariant inv never {\n  state s0\n  state s1\n  state bad violated\n  violating bad\n"
           "  deadline 25ms\n  transition s0 -> s1 when " + cond(1) + "\n  transition s1 -> bad when " + cond(1) +
           "\n  transition s1 -> s0 on timeout\n}\n";
    }
    return s;
  }
  Event next_event(std::uint64_t ts) {
    static const char* kTypes[] = {"a", "b", "c"};
    static const char* kTexts[] = {"k", "zk", "q"};
    Event e = event(kTypes[pick(3)], ts);
    if (pick(4) != 0) e.fields.insert_or_assign(Str("x"), Value::integer(pick(4)));
    if (pick(4) != 0) e.fields.insert_or_assign(Str("s"), Value::string(kTexts[pick(3)]));
    if (pick(2) == 0) {
      ValueList items;
      for (int i = pick(3); i > 0; --i) items.push_back(Value::integer(pick(3)));
      e.fields.insert_or_assign(Str("items"), Value::list(std::move(items)));
    }
    return e;
  }

 private:
  std::mt19937 rng_;
};

void expect_same(const EvalResult& want, const EvalResult& got, const std::string& where) {
  EXPECT_EQ(want.verdict, got.verdict) << where;
  EXPECT_EQ(want.reason.has_value(), got.reason.has_value()) << where;
  if (want.reason && got.reason) {
    EXPECT_EQ(want.reason->view(), got.reason->view()) << where;
  }
  EXPECT_EQ(want.triggered_rules, got.triggered_rules) << where;
  ASSERT_EQ(want.actions.size(), got.actions.size()) << where;
  for (std::size_t i = 0; i < want.actions.size(); ++i) EXPECT_EQ(want.actions[i].verb, got.actions[i].verb) << where;
  ASSERT_EQ(want.violations.size(), got.violations.size()) << where;
  for (std::size_t i = 0; i < want.violations.size(); ++i) {
    EXPECT_EQ(want.violations[i].message, got.violations[i].message) << where;
  }
  ASSERT_EQ(want.constraint_violations.size(), got.constraint_violations.size()) << where;
  for (std::size_t i = 0; i < want.constraint_violations.size(); ++i) {
    EXPECT_EQ(want.constraint_violations[i].current, got.constraint_violations[i].current) << where;
  }
}

TEST(Explain, AgreesWithEvaluateOnRandomPoliciesAndEvents) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    Gen gen(seed);
    const std::string source = gen.policy();
    Compiled c = compile_or_die(source);
    if (::testing::Test::HasFailure()) return;
    ManualClock clock(0);
    PolicyEngine engine(c.policy, clock);
    if (gen.pick(2) == 0) engine.set_context(Str("on"), Value::boolean(true));
    std::uint64_t ts = 0;
    for (int i = 0; i < 12; ++i) {
      ts += static_cast<std::uint64_t>(gen.pick(12));
      const Event e = gen.next_event(ts);
      const Explanation x = explain(engine, e, &c.map);
      const EvalResult r = engine.evaluate(e);
      expect_same(r, x.result, "seed " + std::to_string(seed) + " event " + std::to_string(i) + "\n" + source);
      // Every fired rule's condition was true, every selected unfired one false.
      for (const RuleTrace& rt : x.rules) {
        if (rt.selected && rt.has_condition) {
          EXPECT_EQ(*rt.condition, rt.fired);
        }
        if (!rt.steps.empty()) {
          EXPECT_TRUE(rt.steps[0].value.has_value());
        }
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(Explain, NeverChangesTheEngine) {
  for (unsigned seed = 1; seed <= 100; ++seed) {
    Gen gen(seed);
    const std::string source = gen.policy();
    Compiled c = compile_or_die(source);
    ManualClock clock(0);
    PolicyEngine explained(c.policy, clock);
    PolicyEngine plain(c.policy, clock);
    std::uint64_t ts = 0;
    for (int i = 0; i < 10; ++i) {
      ts += static_cast<std::uint64_t>(gen.pick(12));
      const Event e = gen.next_event(ts);
      for (int k = 0; k < 3; ++k) (void)explain(explained, e, &c.map);
      expect_same(plain.evaluate(e), explained.evaluate(e), "seed " + std::to_string(seed));
      EXPECT_EQ(plain.event_count(), explained.event_count());
      for (std::size_t m = 0; m < plain.monitors().size(); ++m) {
        EXPECT_EQ(plain.monitors()[m].current_state, explained.monitors()[m].current_state);
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(Explain, SourceMapThatDoesNotFitIsIgnored) {
  Compiled c = compile_or_die(kGuard);
  Compiled other = compile_or_die("policy \"o\" severity low\nrule 1 { when event.a deny }\n");
  PolicyEngine engine(c.policy);
  const Explanation x = explain(engine, event("tool_call", 1, {{"tool", Value::string("x")}}), &other.map);
  EXPECT_FALSE(x.rules[0].steps.empty());
  for (const ExprStep& s : x.rules[0].steps) EXPECT_FALSE(s.span);  // 7 nodes against a map of 2
  EXPECT_FALSE(x.rules[1].span);
  EXPECT_FALSE(x.windows[0].span);
}

}  // namespace
}  // namespace zelvo::explain
