// Each construct of the language and the model records it compiles to,
// compared as exact dumps (model_dump.h).
#include <gtest/gtest.h>

#include <string>

#include "compiler.h"
#include "model_dump.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;
using testing::dump;
using testing::kHeader;

// The condition of a one-rule policy `rule 1 { when EXPR }`.
std::string condition_of(const std::string& expr) {
  const CompileResult r = compile(std::string(kHeader) + "rule 1 { when " + expr + " }", "t.zelvo");
  if (!r.policy) return "ERROR " + brief(r.diagnostics);
  return dump(*r.policy->rules.at(0).condition);
}

struct ExprCase {
  const char* source;
  const char* expected;
};

class Expressions : public ::testing::TestWithParam<ExprCase> {};

TEST_P(Expressions, CompileTo) { EXPECT_EQ(condition_of(GetParam().source), GetParam().expected) << GetParam().source; }

const ExprCase kExpressions[] = {
    // Literals.
    {"\"a\\\"b\\\\c\\n\\r\\t\\u{1F600}\\`\"", "\"a\"b\\c\n\r\t\xF0\x9F\x98\x80`\""},
    {"42", "i42"},
    {"-7", "i-7"},
    {"-9223372036854775808", "i-9223372036854775808"},
    {"9223372036854775807", "i9223372036854775807"},
    {"1.5", "f1.5"},
    {"-0.0", "f-0"},
    {"2e-3", "f0.002"},
    {"1E+2", "f100"},
    {"true", "true"},
    {"false", "false"},
    {"250ms", "dur(250 Milliseconds)"},
    {"30s", "dur(30 Seconds)"},
    {"5m", "dur(5 Minutes)"},
    {"2h", "dur(2 Hours)"},
    {"7d", "dur(7 Days)"},
    {"wrapping(18446744073709551615d)", "dur(18446744073709551615 Days)"},
    {"213503982334d", "dur(213503982334 Days)"},
    {"verbatim\"^/etc/.*\"", "re\"^/etc/.*\""},
    {"pattern\"/etc/.*\"", "re\"/etc/.*\""},
    {"pattern\"^a\\\"b$\"", "re\"^a\"b$\""},
    // References.
    {"event", "event"},
    {"event.args.url", "event.args.url"},
    {"event[\"x-y\"].v", "event.x-y.v"},
    {"event.match.in.when", "event.match.in.when"},
    {"context.user", "context.user"},
    {"config", "config"},
    {"local(3)", "local3"},
    {"local(0).a.b", "local0.a.b"},
    {"(event.a).b", "event.a.b"},
    // Operators and precedence.
    {"event.a + 1 * 2", "Add(event.a, Mul(i1, i2))"},
    {"(event.a + 1) * 2", "Mul(Add(event.a, i1), i2)"},
    {"1 - 2 - 3", "Sub(Sub(i1, i2), i3)"},
    {"1 - (2 - 3)", "Sub(i1, Sub(i2, i3))"},
    {"7 / 2 % 3", "Mod(Div(i7, i2), i3)"},
    {"1 - -5", "Sub(i1, i-5)"},
    {"-(5)", "Neg(i5)"},
    {"--5", "Neg(i-5)"},
    {"-event.a", "Neg(event.a)"},
    {"-5m", "Neg(dur(5 Minutes))"},
    {"-5.len()", "Method(i-5).\"len\"()"},
    {"not event.a == 1", "Not(Eq(event.a, i1))"},
    {"not not event.a", "Not(Not(event.a))"},
    {"event.a != 1 and event.b < 2 or event.c <= 3",
     "Or(And(Neq(event.a, i1), Lt(event.b, i2)), Le(event.c, i3))"},
    {"event.a > 1 or event.b >= 2 and event.c in [1, 2]",
     "Or(Gt(event.a, i1), And(Ge(event.b, i2), In(event.c, [i1, i2])))"},
    {"event.a implies event.b implies event.c", "Implies(event.a, Implies(event.b, event.c))"},
    {"(event.a implies event.b) implies event.c", "Implies(Implies(event.a, event.b), event.c)"},
    {"event.a or event.b implies event.c", "Implies(Or(event.a, event.b), event.c)"},
    {"event.a or event.b or (event.c or event.d)", "Or(Or(event.a, event.b), Or(event.c, event.d))"},
    {"(event.a == 1) == true", "Eq(Eq(event.a, i1), true)"},
    // Predicates, quantifiers, counts.
    {"event.s.contains(\"x\")", "Contains(event.s, \"x\")"},
    {"event.s.matches(pattern\"^a$\")", "Matches(event.s, re\"^a$\")"},
    {"event.s.starts_with(\"a\")", "StartsWith(event.s, \"a\")"},
    {"event.s.ends_with(event.t)", "EndsWith(event.s, event.t)"},
    {"event.xs.all(x, x > 0)", "All(event.xs, \"x\", Gt(local0, i0))"},
    {"event.xs.any(x, x.name == \"a\")", "Any(event.xs, \"x\", Eq(Method(local0).\"name\"(), \"a\"))"},
    {"event.xs.none(x, x[\"k-1\"])", "None(event.xs, \"x\", Method(local0).\"k-1\"())"},
    {"event.xs.exists(\"p q\", local(0))", "Exists(event.xs, \"p q\", local0)"},
    {"event.xs.count()", "Count(event.xs, -, -)"},
    {"event.xs.count(x)", "Count(event.xs, \"x\", -)"},
    {"event.xs.count(\"\")", "Count(event.xs, \"\", -)"},
    {"event.xs.count(x, x > 1)", "Count(event.xs, \"x\", Gt(local0, i1))"},
    {"event.xs.count(_, local(0) > 1)", "Count(event.xs, -, Gt(local0, i1))"},
    {"event.xs.all(x, x.ys.any(y, y == 1))", "All(event.xs, \"x\", Any(Method(local0).\"ys\"(), \"y\", Eq(local0, i1)))"},
    {"event.xs.all(x, event.ys.any(x, x))", "All(event.xs, \"x\", Any(event.ys, \"x\", local0))"},
    // Calls.
    {"len(event.a) + length(event.b)", "Add(Call \"len\"(event.a), Call \"length\"(event.b))"},
    {"str(1) + to_string(2)", "Add(Call \"str\"(i1), Call \"to_string\"(i2))"},
    {"abs(-1) < min(1, 2) + max(3, 4)", "Lt(Call \"abs\"(i-1), Add(Call \"min\"(i1, i2), Call \"max\"(i3, i4)))"},
    {"`upper`(1, 2, 3)", "Call \"upper\"(i1, i2, i3)"},
    {"`min`()", "Call \"min\"()"},
    {"event.s.trim().to_upper().split(\",\").first()",
     "Method(Method(Method(Method(event.s).\"trim\"()).\"to_upper\"()).\"split\"(\",\")).\"first\"()"},
    {"event.s.split()", "Method(event.s).\"split\"()"},
    {"event.m.has_key(\"k\") and event.m.contains_key(\"k\")",
     "And(Method(event.m).\"has_key\"(\"k\"), Method(event.m).\"contains_key\"(\"k\"))"},
    {"event.s.`contains`(1)", "Method(event.s).\"contains\"(i1)"},
    {"event.m.`get`()", "Method(event.m).\"get\"()"},
    {"event.xs.first().name", "Method(Method(event.xs).\"first\"()).\"name\"()"},
    {"[1, 2].len", "Method([i1, i2]).\"len\"()"},
    // Lists and decision trees.
    {"[]", "[]"},
    {"[1, \"a\", [true]]", "[i1, \"a\", [true]]"},
    {"match event.t { }", "tree(switch(event.t))"},
    {"match event.t { case \"a\" => 1 case -2 => deny case 5m => allow \"m\" case re\"x\" => 2 case true => 3 "
     "case 1.5 => 4 case is tool_call => 5 case is \"x y\" => 6 case if event.b => match event.c { else => 7 } "
     "else => (match event.d { }) }",
     "tree(switch(event.t; lit \"a\" => leaf(i1); lit i-2 => verdict(Deny); lit dur(5 Minutes) => "
     "verdict(Allow[\"m\"]); lit re\"x\" => leaf(i2); lit true => leaf(i3); lit f1.5 => leaf(i4); is \"tool_call\" "
     "=> leaf(i5); is \"x y\" => leaf(i6); if event.b => switch(event.c; else => leaf(i7)); else => "
     "leaf(tree(switch(event.d)))))"},
    {"decide { deny \"x\" }", "tree(verdict(Deny[\"x\"]))"},
    {"decide { redact }", "tree(verdict(Redact))"},
    {"decide { event.a }", "tree(leaf(event.a))"},
    {"decide { match event.a { } }", "tree(switch(event.a))"},
    {"// c\n/* d */ event.a", "event.a"},
};

INSTANTIATE_TEST_SUITE_P(All, Expressions, ::testing::ValuesIn(kExpressions));

TEST(Literals, NulEscapeGivesANulCharacter) {
  EXPECT_EQ(condition_of("\"a\\u{0}b\""), std::string("\"a\0b\"", 5));
}

TEST(Declarations, EveryFieldOfThePolicy) {
  const std::string src = R"(policy "agent-guard" severity high
scopes "agent", "tools"
scopes "data"
annotation "owner" = "security"
annotation "owner" = "again"
compiler_version "1.0"
source_hash 18446744073709551615

rule 4294967295 on tool_call, "file.read" {
  severity critical
  when event.a
  deny "no" + event.b
  audit
  log(level: "warn", "x-y": 1, level: 2)
  block()
  allow
}

rule 0 { }

rate_limit tool_call 10 per 1m
quota "data.read" 18446744073709551615 per 0ms

machine 3 "no-exfil" invariant secrets until {
  state idle
  state armed active
  state done satisfied id 10
  state bad violated
  initial armed
  accepting done, 9
  violating bad
  violating 3
  deadline 18446744073709551615ms
  transition idle -> armed when event.t == "read"
  transition armed -> 0 unless event.ok
  transition armed -> bad on timeout
  transition 4294967295 -> done
}

machine 0 m invariant i next { }
)";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  EXPECT_EQ(dump(*r.policy), R"(policy "agent-guard" High
scopes "agent" "tools" "data"
annotation "owner"="security"
annotation "owner"="again"
meta 18446744073709551615 "1.0"
rule 4294967295 on "tool_call" "file.read" sev Critical
  when event.a
  verdict Deny[Add("no", event.b)]
  verdict Audit
  verdict Allow
  action Log "level"="warn" "x-y"=i1 "level"=i2
  action Block
rule 0 on sev -
  when -
RateLimit "tool_call" 10 60000
Quota "data.read" 18446744073709551615 0
machine 3 "no-exfil" "secrets" Until initial 1 deadline 18446744073709551615
  state 0 "idle" Active
  state 1 "armed" Active
  state 10 "done" Satisfied
  state 3 "bad" Violated
  accepting 2 9
  violating 3 3
  0 -> 1 when Eq(event.t, "read")
  1 -> 0 unless event.ok
  1 -> 3 timeout
  4294967295 -> 2 always
machine 0 "m" "i" Next initial 0 deadline -
  accepting
  violating
)");
}

TEST(Declarations, DefaultsOfTheMetadata) {
  const CompileResult r = compile("policy \"x\" severity info", "t.zelvo");
  ASSERT_TRUE(r.policy);
  EXPECT_EQ(r.policy->metadata.compiler_version.view(), kCompilerVersion);
  EXPECT_EQ(r.policy->metadata.source_hash, 0u);
  EXPECT_TRUE(r.policy->scopes.empty());
}

TEST(Declarations, NamesMayBeKeywordsOnlyWhereUnambiguous) {
  const CompileResult r = compile(std::string(kHeader) + "rule 1 on \"match\" { log(in: 1, rule: 2, \"a b\": 3) }",
                                  "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  EXPECT_EQ(r.policy->rules[0].on_events[0].view(), "match");
  const CompileResult bad = compile(std::string(kHeader) + "rule 1 on match { }", "t.zelvo");
  EXPECT_EQ(brief(bad.diagnostics),
            "2:11 expected: expected an event type (an identifier or a string), found keyword \"match\"");
}

TEST(SourceMap, RulesConditionsInPreOrderAndTransitions) {
  const std::string src = std::string(kHeader) +
                          "rule 1 {\n"
                          "  when event.a == 1 and not event.b\n"
                          "}\n"
                          "machine 1 m invariant i always {\n"
                          "  state s\n"
                          "  transition s -> s when event.x\n"
                          "}\n";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  ASSERT_EQ(r.source_map.rules.size(), 1u);
  const auto& rule = r.source_map.rules[0];
  EXPECT_EQ(rule.span.line, 2u);
  EXPECT_EQ(rule.span.column, 1u);
  EXPECT_EQ(rule.span.end_line, 4u);
  EXPECT_EQ(rule.span.end_column, 2u);
  // And(Eq(event.a, 1), Not(event.b)): And, Eq, event.a, 1, Not, event.b.
  std::vector<std::string> texts;
  for (const Span& s : rule.condition) {
    texts.push_back(src.substr(s.offset, s.length) + "@" + std::to_string(s.line) + ":" + std::to_string(s.column));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"event.a == 1 and not event.b@3:8", "event.a == 1@3:8", "event.a@3:8",
                                               "1@3:19", "not event.b@3:25", "event.b@3:29"}));
  ASSERT_EQ(r.source_map.machines.size(), 1u);
  ASSERT_EQ(r.source_map.machines[0].transitions.size(), 1u);
  const Span& t = r.source_map.machines[0].transitions[0];
  EXPECT_EQ(src.substr(t.offset, t.length), "transition s -> s when event.x");
  EXPECT_EQ(t.line, 7u);
  EXPECT_EQ(t.column, 3u);
}

TEST(Comments, ReportedWithPositions) {
  const std::string src = std::string(kHeader) + "// one\nrule 1 { } /* two\n */\n";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  ASSERT_EQ(r.comments.size(), 2u);
  EXPECT_EQ(r.comments[0].text, "// one");
  EXPECT_TRUE(r.comments[0].own_line);
  EXPECT_EQ(r.comments[0].span.line, 2u);
  EXPECT_EQ(r.comments[1].text, "/* two\n */");
  EXPECT_FALSE(r.comments[1].own_line);
  EXPECT_EQ(r.comments[1].span.line, 3u);
  EXPECT_EQ(r.comments[1].span.column, 12u);
  EXPECT_EQ(r.comments[1].span.end_line, 4u);
}

}  // namespace
}  // namespace zelvo::lang
