// Decision trees: leaves, verdict leaves and Switch with literal,
// constructor and guard cases.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "eval_test_util.h"

namespace zelvo {
namespace {

using test::event_ref;
using test::lit_int;
using test::lit_str;
using test::map_value;
using test::str_value;

DecisionNode leaf(IRExpr e) { return DecisionNode::Leaf{std::move(e)}; }
DecisionNode verdict_leaf(Verdict v) { return DecisionNode::VerdictLeaf{IRVerdict{v, Box<IRExpr>(lit_str("msg"))}}; }
DecisionCase literal_case(LiteralValue lit, DecisionNode body) {
  return DecisionCase{CaseTest::Literal{std::move(lit)}, std::move(body)};
}
DecisionCase constructor_case(std::string_view name, DecisionNode body) {
  return DecisionCase{CaseTest::Constructor{Str(name)}, std::move(body)};
}
DecisionCase guard_case(IRExpr guard, DecisionNode body) {
  return DecisionCase{CaseTest::Guard{std::move(guard)}, std::move(body)};
}
DecisionNode switch_on(IRExpr subject, std::vector<DecisionCase> cases, std::optional<DecisionNode> dflt = std::nullopt) {
  DecisionNode::Switch s{std::move(subject), std::move(cases), std::nullopt};
  if (dflt) s.default_ = Box<DecisionNode>(std::move(*dflt));
  return s;
}

// Tags each branch with the text it yields.
DecisionNode tag(std::string_view t) { return leaf(lit_str(t)); }

struct DecisionCaseRow {
  std::string name;
  Value subject;  // stored as the event field "s"
  DecisionNode node;
  Value expected;
};

class DecisionTest : public ::testing::TestWithParam<DecisionCaseRow> {};

TEST_P(DecisionTest, Evaluates) {
  const DecisionCaseRow& c = GetParam();
  test::Scope scope;
  scope.event = test::make_event("tool_call", {{"s", c.subject}, {"flag", Value::boolean(true)}});
  EXPECT_TRUE(test::same_value(eval_decision(c.node, scope.ctx()), c.expected));
  // The same tree as an expression.
  EXPECT_TRUE(test::same_value(test::eval_in(scope, IRExpr::DecisionTree{c.node}), c.expected));
}

const IRExpr kS = event_ref({"s"});

INSTANTIATE_TEST_SUITE_P(
    Cases, DecisionTest,
    ::testing::Values(
        DecisionCaseRow{"Leaf", Value(), leaf(lit_int(7)), Value::integer(7)},
        DecisionCaseRow{"VerdictLeafDeny", Value(), verdict_leaf(Verdict::Deny), str_value("Deny")},
        DecisionCaseRow{"VerdictLeafRedact", Value(), verdict_leaf(Verdict::Redact), str_value("Redact")},
        DecisionCaseRow{"NoCaseNoDefault", Value::integer(1),
                        switch_on(kS, {literal_case(LiteralValue::Int{2}, tag("two"))}), Value()},
        DecisionCaseRow{"NoCasesAtAll", Value::integer(1), switch_on(kS, {}), Value()},
        DecisionCaseRow{"Default", Value::integer(1),
                        switch_on(kS, {literal_case(LiteralValue::Int{2}, tag("two"))}, tag("default")),
                        str_value("default")},
        DecisionCaseRow{"IntSubjectFloatLiteral", Value::integer(3),
                        switch_on(kS, {literal_case(LiteralValue::Float{3.0}, tag("three")),
                                       literal_case(LiteralValue::Int{3}, tag("int"))}),
                        str_value("three")},
        DecisionCaseRow{"FirstHoldingCaseWins", str_value("a"),
                        switch_on(kS, {literal_case(LiteralValue::String{Str("b")}, tag("b")),
                                       literal_case(LiteralValue::String{Str("a")}, tag("first")),
                                       literal_case(LiteralValue::String{Str("a")}, tag("second"))}),
                        str_value("first")},
        DecisionCaseRow{"DurationLiteralScaled", Value::duration(90000),
                        switch_on(kS, {literal_case(LiteralValue::Duration{DurationLit{90, DurationUnit::Seconds}},
                                                    tag("90s"))}),
                        str_value("90s")},
        DecisionCaseRow{"RegexLiteralIsText", str_value("a.*"),
                        switch_on(kS, {literal_case(LiteralValue::Regex{Str("a.*")}, tag("regex"))}),
                        str_value("regex")},
        DecisionCaseRow{"RegexLiteralDoesNotMatch", str_value("abc"),
                        switch_on(kS, {literal_case(LiteralValue::Regex{Str("a.*")}, tag("regex"))}), Value()},
        DecisionCaseRow{"ListSubjectNeverEqual", test::list_value({}),
                        switch_on(kS, {literal_case(LiteralValue::Bool{false}, tag("x"))}, tag("d")),
                        str_value("d")},
        DecisionCaseRow{"ConstructorString", str_value("tool_call"),
                        switch_on(kS, {constructor_case("tool_call", tag("tc"))}), str_value("tc")},
        DecisionCaseRow{"ConstructorMapType", map_value({{"type", str_value("tool_call")}}),
                        switch_on(kS, {constructor_case("tool_call", tag("tc"))}), str_value("tc")},
        DecisionCaseRow{"ConstructorMapIntType", map_value({{"type", Value::integer(1)}}),
                        switch_on(kS, {constructor_case("tool_call", tag("tc"))}), Value()},
        DecisionCaseRow{"ConstructorMapNoType", map_value({{"kind", str_value("tool_call")}}),
                        switch_on(kS, {constructor_case("tool_call", tag("tc"))}), Value()},
        DecisionCaseRow{"ConstructorCaseSensitive", str_value("Tool_call"),
                        switch_on(kS, {constructor_case("tool_call", tag("tc"))}), Value()},
        DecisionCaseRow{"ConstructorNull", Value(), switch_on(kS, {constructor_case("", tag("empty"))}), Value()},
        DecisionCaseRow{"ConstructorWholeEventByType", Value(),
                        switch_on(event_ref({}), {constructor_case("data_access", tag("da")),
                                                  constructor_case("tool_call", tag("tc"))}),
                        str_value("tc")},
        DecisionCaseRow{"GuardIgnoresSubject", Value::integer(0),
                        switch_on(kS, {guard_case(lit_int(0), tag("zero")), guard_case(event_ref({"flag"}), tag("flag"))}),
                        str_value("flag")},
        DecisionCaseRow{"GuardNullDoesNotHold", Value(),
                        switch_on(kS, {guard_case(event_ref({"missing"}), tag("m"))}, verdict_leaf(Verdict::Audit)),
                        str_value("Audit")},
        DecisionCaseRow{"NestedSwitch", Value::integer(2),
                        switch_on(kS, {literal_case(LiteralValue::Int{2},
                                                    switch_on(event_ref({"flag"}),
                                                              {literal_case(LiteralValue::Bool{false}, tag("no"))},
                                                              verdict_leaf(Verdict::Allow)))}),
                        str_value("Allow")},
        DecisionCaseRow{"LeafReadsEvent", str_value("v"), switch_on(kS, {guard_case(lit_int(1), leaf(kS))}),
                        str_value("v")}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zelvo
