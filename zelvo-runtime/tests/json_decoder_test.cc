// The policy decoder: exact messages and positions, accepted forms, limits.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "model/json_decoder.h"

namespace zelvo {
namespace {

std::string read_data(const std::string& name) {
  std::ifstream in(std::string(ZELVO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// "OK" or the full error text, over bytes (the stricter of the two entries).
std::string outcome(std::string_view json) {
  auto r = parse_policy_json_bytes(json);
  return r ? std::string("OK") : r.error().message();
}

// A complete policy whose first rule is `rule`.
std::string with_rule(std::string_view rule) {
  return std::string(R"({"name":"p","severity":"Low","scopes":[],"rules":[)") + std::string(rule) +
         R"(],"constraints":[],"state_machines":[],"metadata":[[],0,""]})";
}

constexpr std::string_view kMinimal =
    R"({"name":"p","severity":"High","scopes":[],"rules":[],"constraints":[],"state_machines":[],)"
    R"("metadata":{"annotations":[],"source_hash":0,"compiler_version":"1"}})";

struct ErrorCase {
  const char* input;
  const char* message;
};

class DecodeErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeErrorTest, ExactMessageAndPosition) {
  EXPECT_EQ(outcome(GetParam().input), GetParam().message) << "input: " << GetParam().input;
}

// Messages about the JSON text itself.
INSTANTIATE_TEST_SUITE_P(Syntax, DecodeErrorTest, ::testing::Values(
    ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
    ErrorCase{"  \n  ", "EOF while parsing a value at line 2 column 2"},
    ErrorCase{R"({"name":)", "EOF while parsing a value at line 1 column 8"},
    ErrorCase{R"({"name":"p")", "EOF while parsing an object at line 1 column 11"},
    ErrorCase{R"({"scopes":[)", "EOF while parsing a list at line 1 column 11"},
    ErrorCase{R"({"name":"p)", "EOF while parsing a string at line 1 column 10"},
    ErrorCase{R"({"name":"\ud800)", "EOF while parsing a string at line 1 column 15"},
    ErrorCase{R"({"name":})", "expected value at line 1 column 9"},
    ErrorCase{R"({"severity":1})", "expected value at line 1 column 13"},
    ErrorCase{R"({"name":nul})", "expected ident at line 1 column 12"},
    ErrorCase{R"({"name" "p"})", "expected `:` at line 1 column 9"},
    ErrorCase{R"({"scopes":["a" "b"]})", "expected `,` or `]` at line 1 column 16"},
    ErrorCase{R"({"name":"p" "x":1})", "expected `,` or `}` at line 1 column 13"},
    ErrorCase{R"({1:2})", "key must be a string at line 1 column 2"},
    ErrorCase{R"({"name":"p",})", "trailing comma at line 1 column 13"},
    ErrorCase{R"({"scopes":["a",]})", "trailing comma at line 1 column 16"},
    ErrorCase{R"({"name":01})", "invalid number at line 1 column 10"},
    ErrorCase{R"({"name":1.})", "invalid number at line 1 column 11"},
    ErrorCase{R"({"name":-x})", "invalid number at line 1 column 10"},
    ErrorCase{R"({"name":1e999})", "number out of range at line 1 column 13"},
    ErrorCase{R"({"name":"\q"})", "invalid escape at line 1 column 11"},
    ErrorCase{R"({"name":"\u12G4"})", "invalid escape at line 1 column 14"},
    ErrorCase{R"({"name":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 15"},
    ErrorCase{R"({"name":"\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 21"},
    ErrorCase{R"({"name":"\ud800x"})", "unexpected end of hex escape at line 1 column 16"},
    ErrorCase{"{\"name\":\"a\tb\"}",
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11"},
    ErrorCase{"{\"name\":\"\xff\"}", "invalid unicode code point at line 1 column 11"},
    ErrorCase{"{\"\xc0\x80\":1}", "invalid unicode code point at line 1 column 5"}));

// Messages about the shape of the policy.
INSTANTIATE_TEST_SUITE_P(Shape, DecodeErrorTest, ::testing::Values(
    ErrorCase{"{}", "missing field `name` at line 1 column 2"},
    ErrorCase{"{\n  \"severity\": \"Low\"\n}", "missing field `name` at line 3 column 1"},
    ErrorCase{R"({"name":"p","name":"p","severity":"High"})", "duplicate field `name` at line 1 column 18"},
    ErrorCase{R"({"name" :"p","name"  :"p"})", "duplicate field `name` at line 1 column 21"},
    ErrorCase{R"({"name":"p","severity":"deny"})",
              "unknown variant `deny`, expected one of `Critical`, `High`, `Medium`, `Low`, `Info` at line 1 column 29"},
    ErrorCase{R"({"rules":[{"verdicts":[{"verdict":"deny"}]}]})",
              "unknown variant `deny`, expected one of `Allow`, `Deny`, `Audit`, `Redact` at line 1 column 40"},
    ErrorCase{R"({"rules":[{"condition":{"Unary":{"op":"X"}}}]})",
              "unknown variant `X`, expected `Not` or `Neg` at line 1 column 41"},
    ErrorCase{R"({"rules":[{"condition":{"Literal":{"Int":1.0}}}]})",
              "invalid type: floating point `1.0`, expected i64 at line 1 column 44"},
    ErrorCase{R"({"rules":[{"condition":{"Literal":{"Int":-0}}}]})",
              "invalid type: floating point `-0.0`, expected i64 at line 1 column 43"},
    ErrorCase{R"({"rules":[{"condition":{"Literal":{"Int":9223372036854775808}}}]})",
              "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 60"},
    ErrorCase{R"({"rules":[{"id":-1}]})", "invalid value: integer `-1`, expected u32 at line 1 column 18"},
    ErrorCase{R"({"rules":[{"id":4294967296}]})",
              "invalid value: integer `4294967296`, expected u32 at line 1 column 26"},
    ErrorCase{R"({"rules":[{"id":18446744073709551616}]})",
              "invalid type: floating point `18446744073709552000.0`, expected u32 at line 1 column 36"},
    ErrorCase{R"({"rules":[{"id":"a\"b\\"}]})",
              R"(invalid type: string "a\"b\\", expected u32 at line 1 column 24)"},
    ErrorCase{R"({"metadata":{"source_hash":-1}})",
              "invalid value: integer `-1`, expected u64 at line 1 column 29"},
    ErrorCase{R"({"rules":[{"condition":{"Literal":{"Bool":"yes"}}}]})",
              R"(invalid type: string "yes", expected a boolean at line 1 column 47)"},
    ErrorCase{R"({"name":true})", "invalid type: boolean `true`, expected a string at line 1 column 12"},
    ErrorCase{R"({"name":[]})", "invalid type: sequence, expected a string at line 1 column 8"},
    ErrorCase{R"({"scopes":null})", "invalid type: unit value, expected a sequence at line 1 column 14"},
    ErrorCase{R"({"rules":[{"condition":{"List":{}}}]})",
              "invalid type: map, expected a sequence at line 1 column 31"},
    ErrorCase{R"({"severity":{"High":1}})", "invalid type: integer `1`, expected unit at line 1 column 21"},
    ErrorCase{R"({"severity":{"High":null,"x":1}})", "expected value at line 1 column 24"},
    ErrorCase{R"({"rules":[{"condition":"Binary"}]})",
              "invalid type: unit variant, expected struct variant at line 1 column 32"},
    ErrorCase{R"({"rules":[{"condition":"Binary" ,"id":1}]})",
              "invalid type: unit variant, expected struct variant at line 1 column 32"},
    ErrorCase{R"({"rules":[{"condition":{"Literal":"Int"}}]})",
              "invalid type: unit variant, expected newtype variant at line 1 column 40"},
    ErrorCase{R"({"state_machines":[{"transitions":[{"guard":"Predicate"}]}]})",
              "invalid type: unit variant, expected newtype variant at line 1 column 56"},
    ErrorCase{R"({"rules":[{"condition":{"Ref":{"root":"Event","fields":[]},"Literal":{"Int":1}}}]})",
              "expected value at line 1 column 58"},
    ErrorCase{R"({"rules":[{"condition":{1:2}}]})",
              "invalid type: integer `1`, expected variant identifier at line 1 column 25"},
    ErrorCase{R"({"rules":[[1,[],null,[],[]]]})",
              "invalid length 5, expected struct CompiledRule with 6 elements at line 1 column 27"},
    ErrorCase{R"({"rules":[[1,[],null,[],[],null,"x"]]})", "trailing characters at line 1 column 33"},
    ErrorCase{R"({"rules":[[1,[],null,[],[],null,]]})", "trailing comma at line 1 column 33"},
    ErrorCase{R"({"rules":[{"condition":{"Count":[]}}]})",
              "invalid length 0, expected struct variant IRExpr::Count with 3 elements at line 1 column 34"},
    ErrorCase{"[]", "invalid length 0, expected struct CompiledPolicy with 7 elements at line 1 column 2"},
    ErrorCase{"1", "invalid type: integer `1`, expected struct CompiledPolicy at line 1 column 1"},
    ErrorCase{R"({"metadata":{"annotations":[["k"]]}})",
              "invalid length 1, expected a tuple of size 2 at line 1 column 33"},
    ErrorCase{R"({"metadata":{"annotations":[{"k":"v"}]}})",
              "invalid type: map, expected a tuple of size 2 at line 1 column 28"},
    ErrorCase{R"({"metadata":{"annotations":[["k","v","w"]]}})", "trailing characters at line 1 column 38"}));

TEST(DecodeError, MissingFieldIsTheFirstDeclaredOne) {
  std::string no_metadata(kMinimal);
  no_metadata.erase(no_metadata.find(R"(,"metadata")"));
  no_metadata += "}";
  EXPECT_EQ(outcome(no_metadata), "missing field `metadata` at line 1 column 90");
  EXPECT_EQ(outcome(R"({"metadata":{},"rules":[]})"), "missing field `annotations` at line 1 column 14");
  EXPECT_EQ(outcome(R"({"rules":[],"name":"p"})"), "missing field `severity` at line 1 column 23");
}

TEST(DecodeError, TrailingInput) {
  EXPECT_EQ(outcome(std::string(kMinimal) + " \n\t\r\n"), "OK");
  EXPECT_EQ(outcome(std::string(kMinimal) + "\n x"), "trailing characters at line 2 column 2");
}

TEST(DecodeError, NumbersPastTheirRange) {
  // Columns count up to the end of the number, which starts at column 77.
  EXPECT_EQ(outcome(with_rule(R"([1,[],{"Literal":{"Float":1e-400}},[],[],null])")), "OK");
  EXPECT_EQ(outcome(with_rule(R"([1,[],{"Literal":{"Float":0e99999999999}},[],[],null])")), "OK");
  EXPECT_EQ(outcome(with_rule(R"([1,[],{"Literal":{"Float":2e308}},[],[],null])")),
            "number out of range at line 1 column 81");
  EXPECT_EQ(outcome(with_rule(R"([1,[],{"Literal":{"Float":1e99999999999}},[],[],null])")),
            "number out of range at line 1 column 88");
  EXPECT_EQ(outcome(with_rule(R"([1,[],{"Literal":{"Float":1.5e}},[],[],null])")),
            "invalid number at line 1 column 81");
}

// Nested lists inside a rule's condition: the root object, the rules array
// and the rule object hold 3 levels; each List level adds 2.
std::string nested_condition(int list_levels, std::string_view innermost) {
  std::string expr(innermost);
  for (int i = 0; i < list_levels; ++i) expr = R"({"List":[)" + expr + "]}";
  return with_rule(R"({"id":1,"on_events":[],"verdicts":[],"actions":[],"condition":)" + expr + "}");
}

TEST(DecodeLimits, At127OpenBracketsDecodesAt128Fails) {
  const std::string list = R"({"List":[]})";                       // 2 levels
  const std::string ref = R"({"Ref":{"root":"Event","fields":[]}})";  // 3 levels
  EXPECT_EQ(outcome(nested_condition(61, list)), "OK");  // 3 + 122 + 2 = 127
  const std::string deep = nested_condition(61, ref);    // 3 + 122 + 3 = 128
  const auto r = parse_policy_json(deep);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().what, "recursion limit exceeded");
  EXPECT_EQ(deep[r.error().column - 1], '[');
}

TEST(DecodeLimits, HostileDepthFailsWithoutExhaustingTheStack) {
  std::string lists;
  for (int i = 0; i < 200'000; ++i) lists += R"({"List":[)";
  EXPECT_EQ(parse_policy_json(with_rule(R"({"condition":)" + lists + "}")).error().what, "recursion limit exceeded");
  std::string unary;
  for (int i = 0; i < 200'000; ++i) unary += R"({"Unary":{"op":"Not","operand":)";
  EXPECT_EQ(parse_policy_json(with_rule(R"({"condition":)" + unary + "}")).error().what, "recursion limit exceeded");
}

TEST(DecodeLimits, UnknownKeysAreSkippedWhateverTheirDepth) {
  std::string policy(kMinimal);
  const std::string skipped = std::string(10'000, '[') + R"({"a":[1,-2.5e3,true,null,"\ud800"]})" +
                              std::string(10'000, ']');
  policy.insert(1, R"("version":)" + skipped + ",");
  EXPECT_EQ(outcome(policy), "OK");
  policy.insert(1, R"("x":[1,],)");
  EXPECT_EQ(outcome(policy), "expected value at line 1 column 9");
}

TEST(DecodeStrings, EscapesAndUtf8) {
  auto r = parse_policy_json_bytes(std::string(kMinimal).replace(9, 1, R"(\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00)"));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r.value().name.str(), "\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
  // Raw multi-byte text passes; text already known to be UTF-8 is not re-checked.
  EXPECT_EQ(outcome(std::string(kMinimal).replace(9, 1, "\xe2\x82\xac")), "OK");
  EXPECT_TRUE(parse_policy_json(std::string(kMinimal).replace(9, 1, "\xff")));
  // Surrogates encoded in UTF-8 are not UTF-8.
  EXPECT_EQ(outcome(std::string(kMinimal).replace(9, 1, "\xed\xa0\x80")),
            "invalid unicode code point at line 1 column 13");
}

TEST(DecodeForms, ExamplePolicy) {
  const std::string text = read_data("example_policy.json");
  auto r = parse_policy_json(text);
  ASSERT_TRUE(r) << r.error().message();
  const CompiledPolicy& p = r.value();
  EXPECT_EQ(p.name, "example");
  EXPECT_EQ(p.severity, Severity::High);
  ASSERT_EQ(p.scopes.size(), 1u);
  EXPECT_EQ(p.scopes[0], "agent");
  ASSERT_EQ(p.rules.size(), 1u);
  const CompiledRule& rule = p.rules[0];
  EXPECT_EQ(rule.id, 1u);
  EXPECT_EQ(rule.on_events.at(0), "data_access");
  ASSERT_TRUE(rule.condition);
  const auto& pred = std::get<IRExpr::Predicate>(rule.condition->v);
  EXPECT_EQ(pred.kind, PredicateKind::Contains);
  const auto& ref = std::get<IRExpr::Ref>(pred.subject->v).path;
  EXPECT_EQ(ref.root.kind, RefRoot::Kind::Event);
  EXPECT_EQ(ref.fields.at(0), "path");
  const auto& arg = std::get<IRExpr::Literal>(pred.argument->v).value;
  EXPECT_EQ(std::get<LiteralValue::String>(arg.v).value, "key");
  ASSERT_EQ(rule.verdicts.size(), 1u);
  EXPECT_EQ(rule.verdicts[0].verdict, Verdict::Deny);
  ASSERT_TRUE(rule.verdicts[0].message);
  ASSERT_EQ(rule.actions.size(), 1u);
  EXPECT_EQ(rule.actions[0].verb, ActionVerb::Log);
  EXPECT_EQ(rule.actions[0].args.at(0).first, "level");
  EXPECT_EQ(rule.severity, Severity::Critical);
  EXPECT_TRUE(p.constraints.empty());
  EXPECT_TRUE(p.state_machines.empty());
  ASSERT_EQ(p.metadata.annotations.size(), 1u);
  EXPECT_EQ(p.metadata.annotations[0].first, "agent");
  EXPECT_EQ(p.metadata.annotations[0].second, "test");
  EXPECT_EQ(p.metadata.source_hash, 0u);
  EXPECT_EQ(p.metadata.compiler_version, "1.0");
  // Bytes and text agree on valid input.
  EXPECT_TRUE(parse_policy_json_bytes(text));
}

TEST(DecodeForms, EveryRecordInArrayForm) {
  auto r = parse_policy_json(read_data("array_forms.json"));
  ASSERT_TRUE(r) << r.error().message();
  const CompiledPolicy& p = r.value();
  const CompiledRule& rule = p.rules.at(0);
  EXPECT_EQ(rule.id, 7u);
  EXPECT_FALSE(rule.severity);
  const auto& bin = std::get<IRExpr::Binary>(rule.condition->v);
  EXPECT_EQ(bin.op, BinaryOp::And);
  EXPECT_EQ(std::get<IRExpr::Unary>(bin.left->v).op, UnaryOp::Not);
  const auto& pred = std::get<IRExpr::Predicate>(bin.right->v);
  const auto& path = std::get<IRExpr::Ref>(pred.subject->v).path;
  EXPECT_EQ(path.root.kind, RefRoot::Kind::Local);
  EXPECT_EQ(path.root.slot, 2u);
  EXPECT_EQ(path.fields.size(), 2u);

  const IRVerdict& verdict = rule.verdicts.at(0);
  EXPECT_EQ(verdict.verdict, Verdict::Deny);
  const auto& quant = std::get<IRExpr::Quantifier>((*verdict.message)->v);
  EXPECT_EQ(quant.kind, QuantifierKind::Any);
  EXPECT_EQ(quant.param, "x");
  const auto& items = std::get<IRExpr::List>(quant.collection->v).items;
  EXPECT_EQ(std::get<LiteralValue::Int>(std::get<IRExpr::Literal>(items.at(0).v).value.v).value, -5);
  const auto& count = std::get<IRExpr::Count>(quant.body->v);
  EXPECT_FALSE(count.param);
  EXPECT_FALSE(count.filter);
  EXPECT_EQ(std::get<IRExpr::Call>(count.collection->v).function, "len");

  const auto& action = rule.actions.at(0);
  EXPECT_EQ(action.verb, ActionVerb::Tag);
  const auto& call = std::get<IRExpr::MethodCall>(action.args.at(0).second->v);
  EXPECT_EQ(call.method, "upper");
  const auto& dur = std::get<LiteralValue::Duration>(std::get<IRExpr::Literal>(call.args.at(0).v).value.v).value;
  EXPECT_EQ(dur.value, 3u);
  EXPECT_EQ(dur.unit, DurationUnit::Minutes);

  const CompiledConstraint& c = p.constraints.at(0);
  EXPECT_EQ(c.kind, ConstraintKind::Quota);
  EXPECT_EQ(c.limit, 10u);
  EXPECT_EQ(c.window_millis, 60000u);

  const StateMachine& m = p.state_machines.at(0);
  EXPECT_EQ(m.kind, TemporalKind::Never);
  EXPECT_EQ(m.states.at(1).kind, StateKind::Violated);
  EXPECT_EQ(m.deadline_millis, 5000u);
  EXPECT_EQ(m.violating_states, std::vector<std::uint32_t>{1});
  const Transition& t0 = m.transitions.at(0);
  EXPECT_EQ(t0.guard.kind, TransitionGuard::Kind::Predicate);
  const auto& sw = std::get<DecisionNode::Switch>(std::get<IRExpr::DecisionTree>((*t0.guard.expr)->v).node->v);
  const DecisionCase& dc = sw.cases.at(0);
  EXPECT_EQ(std::get<CaseTest::Constructor>(dc.test.v).name, "T");
  EXPECT_EQ(std::get<DecisionNode::VerdictLeaf>(dc.body.v).verdict.verdict, Verdict::Audit);
  ASSERT_TRUE(sw.default_);
  const auto& leaf = std::get<DecisionNode::Leaf>((*sw.default_)->v);
  EXPECT_EQ(std::get<LiteralValue::Float>(std::get<IRExpr::Literal>(leaf.expr->v).value.v).value, 2.5);
  EXPECT_EQ(m.transitions.at(1).guard.kind, TransitionGuard::Kind::Timeout);
  EXPECT_FALSE(m.transitions.at(1).guard.expr);

  EXPECT_EQ(p.metadata.annotations.at(0).second, "v");
  EXPECT_EQ(p.metadata.source_hash, 42u);
}

TEST(DecodeForms, OptionalFieldsAndEnumerationForms) {
  // Object-form unit variants, null optionals, a Float literal written as an
  // integer, and an unknown key are all accepted.
  auto r = parse_policy_json(with_rule(
      R"({"id":4294967295,"on_events":[],"verdicts":[{"verdict":{"Redact":null},"message":null}],)"
      R"("actions":[],"condition":{"Literal":{"Float":1}},"severity":null,"extra":{"deep":[{}]}})"));
  ASSERT_TRUE(r) << r.error().message();
  const CompiledRule& rule = r.value().rules.at(0);
  EXPECT_EQ(rule.id, 4294967295u);
  EXPECT_EQ(rule.verdicts.at(0).verdict, Verdict::Redact);
  EXPECT_FALSE(rule.verdicts.at(0).message);
  EXPECT_FALSE(rule.severity);
  EXPECT_EQ(std::get<LiteralValue::Float>(std::get<IRExpr::Literal>(rule.condition->v).value.v).value, 1.0);
}

}  // namespace
}  // namespace zelvo
