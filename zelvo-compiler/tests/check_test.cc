// The checker's findings, each with its exact text, level and position,
// against one schema; and the schema reader's errors.
#include <gtest/gtest.h>

#include <string>

#include "check/check.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;
using testing::kHeader;

const char* kSchemaJson = R"({"events": {
  "tool_call": {"type": "object", "properties": {
    "tool": {"type": "string"},
    "command": {"type": "string"},
    "count": {"type": "integer"},
    "ratio": {"type": ["number", "null"]},
    "args": {"type": "object", "properties": {"url": {"type": "string"}}},
    "meta": {"type": "object", "additionalProperties": true},
    "tags": {"type": "array"},
    "free": {}
  }},
  "data_access": {"properties": {"path": {"type": "string"}, "count": {"type": "string"}}}
}})";

const Schema& schema() {
  static const Schema s = parse_schema(kSchemaJson).value();
  return s;
}

struct Case {
  const char* name;
  std::string body;      // after the header line
  const char* expected;  // brief() of every finding, with "warning " before warnings' codes
};

std::string with_levels(const std::vector<Diagnostic>& ds) {
  std::string out;
  for (const Diagnostic& d : ds) {
    if (!out.empty()) out += "\n";
    out += (d.level == Level::Warning ? "W " : "E ") + brief({d});
  }
  return out;
}

class Check : public ::testing::TestWithParam<Case> {};

TEST_P(Check, Findings) {
  const Case& c = GetParam();
  EXPECT_EQ(with_levels(check(std::string(kHeader) + c.body, "t.zelvo", &schema())), c.expected) << c.body;
}

const Case kCases[] = {
    {"Clean",
     "rule 1 on tool_call { when event.tool == \"shell\" and event.args.url.contains(\"x\") and event.meta.any.thing "
     "and event.free.x and event.ratio > 1 deny }",
     ""},
    {"CompileErrorsOnly", "rule 1 on nowhere { when nope }",
     "E 2:26 unknown-name: unknown name \"nope\" [did you mean \"event.nope\"?]"},
    {"UnknownField", "rule 1 on tool_call { when event.tol == \"x\" deny }",
     "E 2:28 unknown-field: event type \"tool_call\" has no field \"tol\" [did you mean \"event.tool\"?]"},
    {"UnknownNestedField", "rule 1 on tool_call { when event.args.urll deny }",
     "E 2:28 unknown-field: event type \"tool_call\" has no field \"args.urll\" [did you mean \"event.args.url\"?]"},
    {"FieldOfAString", "rule 1 on tool_call { when event.tool.name deny }",
     "E 2:28 unknown-field: event type \"tool_call\" has no field \"tool.name\""},
    {"FieldKnownInOneOfTwoTypes", "rule 1 on tool_call, data_access { when event.path deny }", ""},
    {"FieldInNoTypeOfAnAllTypesRule", "rule 1 { when event.nothere deny }",
     "E 2:15 unknown-field: event types \"data_access\" and \"tool_call\" have no field \"nothere\""},
    {"FieldInMessageAndArgument", "rule 1 on data_access { deny event.pth log(p: [event.paht]) }",
     "E 2:30 unknown-field: event type \"data_access\" has no field \"pth\" [did you mean \"event.path\"?]\n"
     "E 2:48 unknown-field: event type \"data_access\" has no field \"paht\" [did you mean \"event.path\"?]"},
    {"NeverHoldsIntAndString", "rule 1 on tool_call { when event.count == \"5\" deny }",
     "W 2:28 never-holds: comparison can never hold: event.count is a number, \"5\" is a string"},
    {"HoldsAcrossTypesOfTwoEvents", "rule 1 on tool_call, data_access { when event.count == \"5\" deny }", ""},
    {"NeverHoldsOrderingOfLists", "rule 1 on tool_call { when event.tags < [1] deny }",
     "W 2:28 never-holds: comparison can never hold: event.tags is a list, [1] is a list"},
    {"NeverHoldsDuration", "rule 1 on tool_call { when 5m <= event.count deny }",
     "W 2:28 never-holds: comparison can never hold: 5m is a duration, event.count is a number"},
    {"NullableNumberHolds", "rule 1 on tool_call { when event.ratio == 1.5 deny }", ""},
    {"RuleNoTypeReaches", "rule 1 on toolcall, other { deny }",
     "W 2:1 unreachable-rule: rule 1 can never fire: the schema has no event type \"toolcall\" or \"other\""},
    {"RulePartlyReachable", "rule 1 on tool_call, other { deny }",
     "W 2:1 unknown-event-type: the schema has no event type \"other\" [nothing in the schema produces events of "
     "type \"other\"]"},
    {"DuplicateRuleId", "rule 1 { deny }\nrule 2 { deny }\nrule 1 { deny }",
     "E 4:1 duplicate-rule-id: rule id 1 is already used by the rule at line 2"},
    {"RuleWithoutEffect", "rule 1 on tool_call { when event.tool == \"x\" }",
     "W 2:1 rule-without-effect: rule 1 has no verdict and no action"},
    {"ConstraintOnUnknownType", "rate_limit tool_call 1 per 1s\nquota tool_cal 1 per 1s",
     "W 3:1 unknown-event-type: the schema has no event type \"tool_cal\" [nothing in the schema produces events of "
     "type \"tool_cal\"]"},
    {"MachineChecks",
     "machine 1 m invariant i always {\n"
     "  state a\n"
     "  state b\n"
     "  state c violated\n"
     "  state d id 0\n"
     "  initial a\n"
     "  violating c, 7\n"
     "  transition a -> c when event.cmd\n"
     "  transition c -> b\n"
     "  transition a -> 9\n"
     "}",
     "E 2:1 state-out-of-range: state position 7 is outside the machine (4 states)\n"
     "W 4:3 unreachable-state: state \"b\" cannot be reached from the initial state\n"
     "W 6:3 duplicate-state-id: state id 0 is already used by state \"a\"\n"
     "W 6:3 unreachable-state: state \"d\" cannot be reached from the initial state\n"
     "E 9:26 unknown-field: event types \"data_access\" and \"tool_call\" have no field \"cmd\"\n"
     "E 11:3 state-out-of-range: state position 9 is outside the machine (4 states)"},
    {"InitialOutOfRange", "machine 1 m invariant i always { state a initial 3 }",
     "E 2:1 state-out-of-range: state position 3 is outside the machine (1 states)"},
};

INSTANTIATE_TEST_SUITE_P(All, Check, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckWithoutSchema, OnlyTheChecksThatNeedNoSchema) {
  const std::string src = std::string(kHeader) + "rule 1 on nowhere { when event.x == \"5\" }\nrule 1 { deny }";
  EXPECT_EQ(with_levels(check(src, "t.zelvo", nullptr)),
            "W 2:1 rule-without-effect: rule 1 has no verdict and no action\n"
            "E 3:1 duplicate-rule-id: rule id 1 is already used by the rule at line 2");
}

// A field that no event type has, and that no sibling is spelt like, is
// suggested inside the object beside it whose fields the schema does not
// describe (a tool's arguments); an object with additionalProperties
// stated is not such a place.
TEST(CheckUndescribedObject, SuggestsTheFieldInsideIt) {
  const auto s = parse_schema(R"({"events": {"tool_call": {"properties": {
    "tool": {"type": "string"},
    "meta": {"type": "object", "additionalProperties": true},
    "arguments": {"type": "object"}}}}})");
  ASSERT_TRUE(s);
  const std::string src = std::string(kHeader) +
                          "rule 1 on tool_call { when event.command.contains(\"rm\") deny }\n"
                          "rule 2 on tool_call { when event.tol.x == \"shell\" deny }";
  EXPECT_EQ(with_levels(check(src, "t.zelvo", &s.value())),
            "E 2:28 unknown-field: event type \"tool_call\" has no field \"command\" "
            "[did you mean \"event.arguments.command\"?]\n"
            "E 3:28 unknown-field: event type \"tool_call\" has no field \"tol.x\" [did you mean \"event.tool\"?]");
}

struct SchemaCase {
  const char* json;
  const char* error;
};

class SchemaErrors : public ::testing::TestWithParam<SchemaCase> {};

TEST_P(SchemaErrors, Message) {
  const auto s = parse_schema(GetParam().json);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), GetParam().error);
}

const SchemaCase kSchemaCases[] = {
    {"", "schema: EOF while parsing a value at line 1 column 0"},
    {"{\"events\": {} ", "schema: EOF while parsing an object at line 1 column 14"},
    {"[]", "schema: expected an object at the top"},
    {"{}", "schema: expected an object \"events\" mapping event types to their fields"},
    {R"({"events": {"a": 1}})", "schema: events.a: expected an object"},
    {R"({"events": {"a": {"properties": {"x": {"type": "text"}}}}})",
     "schema: events.a.properties.x.type: unknown type \"text\""},
    {R"({"events": {"a": {"properties": {"x": {"type": 5}}}}})", "schema: events.a.properties.x.type: a type must be a string"},
    {R"({"events": {"a": {"additionalProperties": 1}}})",
     "schema: events.a.additionalProperties: expected true, false or an object"},
};

INSTANTIATE_TEST_SUITE_P(All, SchemaErrors, ::testing::ValuesIn(kSchemaCases));

TEST(SchemaErrors, DeepNestingIsAnError) {
  std::string json = R"({"events": {"a": )";
  for (int i = 0; i < 200; ++i) json += R"({"properties": {"x": )";
  const auto s = parse_schema(json);
  ASSERT_FALSE(s);
  EXPECT_NE(s.error().find("recursion limit exceeded"), std::string::npos) << s.error();
}

}  // namespace
}  // namespace zelvo::lang
