// The event-line reader: what each line becomes, and the exact message of
// every way a line can be bad.
#include "replay/event_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "event/value.h"
#include "replay/json_scan.h"
#include "model/json_decoder.h"

namespace zelvo::replay {
namespace {

struct BadCase {
  const char* line;
  const char* message;
};

class BadLines : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadLines, AreRefusedWithTheirMessage) {
  EventLineReader reader("session", /*borrow_strings=*/false);
  EventLine out;
  ASSERT_FALSE(reader.read(GetParam().line, out)) << GetParam().line;
  EXPECT_EQ(describe(reader.error()), GetParam().message) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadLines,
    ::testing::Values(
        BadCase{"", "not valid JSON: the line ends inside a value (column 1)"},
        BadCase{"nope", "not valid JSON: expected true, false or null (column 1)"},
        BadCase{"{\"type\": \"a\"", "not valid JSON: the line ends inside a value (column 13)"},
        BadCase{"{\"type\" \"a\"}", "not valid JSON: expected ':' (column 9)"},
        BadCase{"{\"type\": \"a\" \"fields\": {}}", "not valid JSON: expected ',' or '}' (column 14)"},
        BadCase{"{\"type\": \"a\",}", "not valid JSON: a key must be a string (column 14)"},
        BadCase{"{type: 1}", "not valid JSON: a key must be a string (column 2)"},
        BadCase{"{\"type\": \"a\"} x", "not valid JSON: characters after the object (column 15)"},
        BadCase{"{\"type\": \"a\", \"fields\": {\"n\": 01}}", "not valid JSON: expected ',' or '}' (column 32)"},
        BadCase{"{\"type\": \"a\", \"fields\": {\"n\": 1.}}", "not valid JSON: invalid number (column 33)"},
        BadCase{"{\"type\": \"a\", \"fields\": {\"n\": -}}", "not valid JSON: invalid number (column 32)"},
        BadCase{"{\"type\": \"a\", \"fields\": {\"n\": NaN}}", "not valid JSON: expected a value (column 31)"},
        BadCase{"{\"type\": \"a\", \"fields\": {\"n\": [1,]}}", "not valid JSON: expected a value (column 34)"},
        BadCase{"{\"type\": \"a\", \"fields\": {\"n\": [1 2]}}",
                "not valid JSON: expected ',' or ']' (column 34)"},
        BadCase{"{\"type\": \"a\\x\"}", "not valid JSON: invalid escape (column 12)"},
        BadCase{"{\"type\": \"\\ud800\"}", "not valid JSON: invalid \\u escape (lone surrogate) (column 11)"},
        BadCase{"{\"type\": \"\\udc00\"}", "not valid JSON: invalid \\u escape (lone surrogate) (column 11)"},
        BadCase{"{\"type\": \"a\tb\"}", "not valid JSON: control character in a string (column 12)"},
        BadCase{"{\"type\": \"\xC0\xAF\"}", "not valid JSON: invalid UTF-8 (column 11)"},      // overlong
        BadCase{"{\"type\": \"\xED\xA0\x80\"}", "not valid JSON: invalid UTF-8 (column 11)"},  // surrogate
        BadCase{"{\"type\": \"\xF4\x90\x80\x80\"}", "not valid JSON: invalid UTF-8 (column 11)"},
        BadCase{"{\"type\": \"\xE2\x82\"}", "not valid JSON: invalid UTF-8 (column 11)"},
        BadCase{"[1]", "expected a JSON object, found an array"},
        BadCase{"\"x\"", "expected a JSON object, found a string"},
        BadCase{"{\"fields\": {}}", "\"type\" is missing"},
        BadCase{"{\"type\": 3}", "\"type\" is a number, not a string"},
        BadCase{"{\"type\": null}", "\"type\" is null, not a string"},
        BadCase{"{\"type\": \"a\", \"fields\": [1]}", "\"fields\" must be an object, found an array"},
        BadCase{"{\"type\": \"a\", \"when\": 1}",
                "unknown key \"when\" (allowed: type, fields, ts, expect, comment, session)"},
        BadCase{"{\"type\": \"a\", \"type\": \"b\"}", "repeated key \"type\""},
        BadCase{"{\"type\": \"a\", \"ts\": -1}",
                "\"ts\" -1 is not a whole number of milliseconds from 0 to 9223372036854775807"},
        BadCase{"{\"type\": \"a\", \"ts\": 1.5}",
                "\"ts\" 1.5 is not a whole number of milliseconds from 0 to 9223372036854775807"},
        BadCase{"{\"type\": \"a\", \"ts\": 9223372036854775808}",
                "\"ts\" 9223372036854775808 is not a whole number of milliseconds from 0 to 9223372036854775807"},
        BadCase{"{\"type\": \"a\", \"ts\": true}",
                "\"ts\" must be milliseconds since 1970 (an integer) or an RFC 3339 text, found a boolean"},
        BadCase{"{\"type\": \"a\", \"ts\": \"yesterday\"}",
                "\"ts\" \"yesterday\" is not an RFC 3339 time at or after 1970 (e.g. 2024-05-01T12:00:00Z)"},
        BadCase{"{\"type\": \"a\", \"expect\": \"block\"}",
                "\"expect\" must be one of allow, deny, audit, redact, found \"block\""},
        BadCase{"{\"type\": \"a\", \"expect\": [1, 2]}",
                "\"expect\" must be one of allow, deny, audit, redact, found [1, 2]"},
        BadCase{"{\"type\": \"a\", \"session\": 1.5}", "session key must be a string or an integer, found a number"},
        BadCase{"{\"type\": \"a\", \"session\": null}", "session key must be a string or an integer, found null"},
        BadCase{"{\"type\": \"a\", \"comment\": {\"x\": tru}}",
                "not valid JSON: expected true, false or null (column 32)"}));

TEST(EventLine, SessionKeyIsRequiredWithSessionsAndSkippedWithout) {
  EventLine out;
  EventLineReader with("session", false);
  ASSERT_FALSE(with.read(R"({"type": "a"})", out));
  EXPECT_EQ(describe(with.error()), "session key \"session\" is missing");
  EventLineReader without("", false);
  EXPECT_TRUE(without.read(R"({"type": "a"})", out));
  // Without sessions a recorded "session" key is skipped: the trace is one session.
  EXPECT_TRUE(without.read(R"({"type": "a", "session": "s"})", out));
  ASSERT_FALSE(without.read(R"({"type": "a", "session": 1, "session": 2})", out));
  EXPECT_EQ(describe(without.error()), "repeated key \"session\"");
  ASSERT_FALSE(without.read(R"({"type": "a", "sid": "s"})", out));
  EXPECT_EQ(describe(without.error()), "unknown key \"sid\" (allowed: type, fields, ts, expect, comment)");
}

TEST(EventLine, ReadsEveryPartOfAGoodLine) {
  EventLineReader reader("sid", /*borrow_strings=*/true);
  EventLine out;
  const std::string line =
      R"( {"comment": {"any": [1, {"thing": null}]}, "sid": "s\u0031", "expect": "DENY",)"
      R"( "ts": "2024-05-01T12:00:00.250Z", "type": "tool_call",)"
      R"( "fields": {"tool": "shell", "n": 3, "f": 2.5, "ok": true, "none": null,)"
      R"( "long": "a text longer than twenty-three bytes", "tags": ["a", "b"], "args": {"x": {"y": 1}}}} )";
  ASSERT_TRUE(reader.read(line, out)) << describe(reader.error());
  EXPECT_EQ(out.event.event_type, "tool_call");
  EXPECT_EQ(out.session, "s1");
  EXPECT_EQ(out.session_key, "s1");
  EXPECT_EQ(out.ts, std::optional<std::uint64_t>(1714564800250u));
  EXPECT_EQ(out.expect, std::optional<Verdict>(Verdict::Deny));
  const ValueMap& f = out.event.fields;
  EXPECT_EQ(f.size(), 8u);
  EXPECT_EQ(f.find("tool")->as_string(), "shell");
  EXPECT_EQ(f.find("n")->as_int(), 3);
  EXPECT_EQ(f.find("f")->as_float(), 2.5);
  EXPECT_TRUE(f.find("ok")->as_bool());
  EXPECT_TRUE(f.find("none")->is_null());
  EXPECT_TRUE(f.find("long")->as_string().is_borrowed());
  EXPECT_EQ(f.find("tags")->as_list().size(), 2u);
  EXPECT_EQ(f.find("args")->as_map().find("x")->as_map().find("y")->as_int(), 1);

  // The record is reused: nothing of the previous line survives.
  ASSERT_TRUE(reader.read(R"({"type": "b", "sid": 42, "fields": null, "ts": 7, "expect": null})", out));
  EXPECT_EQ(out.event.event_type, "b");
  EXPECT_EQ(out.session, "42");
  EXPECT_EQ(out.session_key, "\xFF" "42");  // not the key of the text "42"
  EXPECT_TRUE(out.event.fields.empty());
  EXPECT_EQ(out.ts, std::optional<std::uint64_t>(7u));
  EXPECT_FALSE(out.expect);
}

// Numbers become what a host reading the same text would store.
TEST(EventLine, NumbersBecomeTheHostsValues) {
  EventLineReader reader("", false);
  EventLine out;
  auto field = [&](const std::string& number) -> Value {
    EXPECT_TRUE(reader.read(R"({"type": "t", "fields": {"n": )" + number + "}}", out)) << number;
    return *out.event.fields.find("n");
  };
  EXPECT_EQ(field("0").as_int(), 0);
  EXPECT_EQ(field("-0").as_int(), 0);
  EXPECT_TRUE(field("-0").is_int());
  EXPECT_EQ(field("9223372036854775807").as_int(), INT64_MAX);
  EXPECT_EQ(field("-9223372036854775808").as_int(), INT64_MIN);
  EXPECT_EQ(field("9223372036854775808").as_float(), 9223372036854775808.0);
  EXPECT_EQ(field("123456789012345678901234567890").as_float(), 1.2345678901234568e29);
  EXPECT_EQ(field("1.0").as_float(), 1.0);
  EXPECT_EQ(field("-2.5e-3").as_float(), -0.0025);
  EXPECT_EQ(field("1E2").as_float(), 100.0);
  EXPECT_TRUE(std::isinf(field("1e400").as_float()));
  EXPECT_EQ(field("1e-400").as_float(), 0.0);
  const std::string huge(400, '9');
  EXPECT_EQ(field(huge).as_string(), huge);
}

TEST(EventLine, UnescapesStrings) {
  EventLineReader reader("", false);
  EventLine out;
  ASSERT_TRUE(reader.read(R"({"type": "\"q\" \\ \/ \b\f\n\r\t \u00e9 \ud83d\ude00 \u20AC"})", out));
  EXPECT_EQ(out.event.event_type, "\"q\" \\ / \b\f\n\r\t \xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC");
  ASSERT_TRUE(reader.read("{\"type\": \"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 plain multi-byte text\"}", out));
  EXPECT_EQ(out.event.event_type, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 plain multi-byte text");
}

TEST(EventLine, NestingIsBounded) {
  EventLineReader reader("", false);
  EventLine out;
  // The line's object, "fields" and its "n" hold 3 levels; 124 arrays more make 127.
  auto nested = [](int arrays) {
    return R"({"type": "t", "fields": {"n": {"m": )" + std::string(arrays, '[') + std::string(arrays, ']') + "}}}";
  };
  EXPECT_TRUE(reader.read(nested(124), out)) << describe(reader.error());
  EXPECT_FALSE(reader.read(nested(125), out));
  EXPECT_EQ(reader.error().code, LineErrc::TooDeep);
  // Far deeper input stops at the limit, not at the end of the stack.
  EXPECT_FALSE(reader.read(nested(100000), out));
  EXPECT_EQ(reader.error().code, LineErrc::TooDeep);
  EXPECT_FALSE(reader.read(R"({"type": "t", "comment": )" + std::string(100000, '[') + "}", out));
  EXPECT_EQ(reader.error().code, LineErrc::TooDeep);
}

TEST(EventLine, RepeatedFieldKeepsItsLastValue) {
  EventLineReader reader("", false);
  EventLine out;
  ASSERT_TRUE(reader.read(R"({"type": "t", "fields": {"a": 1, "b": 2, "a": 3}})", out));
  EXPECT_EQ(out.event.fields.size(), 2u);
  EXPECT_EQ(out.event.fields.find("a")->as_int(), 3);
}

TEST(EventLine, ExtraKeysComeBackForTheCallerToCheck) {
  EventLineReader reader("sid", false);
  reader.read_extra_keys({"context", "expect"});
  reader.allow_missing_type(true);
  EventLine out;
  // "expect" is the caller's: an object is no verdict, but is read.
  ASSERT_TRUE(reader.read(R"({"context": {"u": 1}, "sid": "s", "expect": {"verdict": "deny"}})", out));
  EXPECT_FALSE(out.has_type);
  EXPECT_FALSE(out.expect);
  ASSERT_EQ(out.extra.size(), 2u);
  EXPECT_EQ(out.extra[0].first, 0u);
  EXPECT_EQ(out.extra[0].second.as_map().find("u")->as_int(), 1);
  EXPECT_EQ(out.extra[1].first, 1u);
  ASSERT_TRUE(reader.read(R"({"type": "a", "sid": 1})", out));
  EXPECT_TRUE(out.has_type && out.extra.empty());
  ASSERT_FALSE(reader.read(R"({"sid": 1, "context": 1, "context": 2})", out));
  EXPECT_EQ(describe(reader.error()), "repeated key \"context\"");
  ASSERT_FALSE(reader.read(R"({"sid": 1, "when": 2})", out));
  EXPECT_EQ(describe(reader.error()),
            "unknown key \"when\" (allowed: type, fields, ts, expect, comment, sid, context)");
}

// small_natural reads eight digits at a time where it can: it takes
// exactly what a digit-by-digit reading takes, for every length of digit
// run around the eight-byte steps, whatever follows it or ends the text.
TEST(JsonScanner, SmallNaturalsAreReadAsDigitByDigit) {
  std::uint64_t x = 0x2545F4914F6CDD1Dull;
  for (std::size_t length = 1; length <= 21; ++length) {
    for (const std::string_view after : {"", ",", " ", "0", ".5", "e3", "E", "x", "/", ":"}) {
      for (int round = 0; round < 40; ++round) {
        std::string digits;
        for (std::size_t i = 0; i < length; ++i) {
          x ^= x << 13, x ^= x >> 7, x ^= x << 17;
          digits += static_cast<char>('0' + x % (round % 3 == 0 ? 2 : 10));
        }
        const std::string text = digits + std::string(after);
        // Exactly the text's bytes, so that a sanitizer sees any read past it.
        const std::unique_ptr<char[]> exact(new char[text.size()]);
        std::memcpy(exact.get(), text.data(), text.size());
        std::size_t run = 0;
        while (run < text.size() && text[run] >= '0' && text[run] <= '9') ++run;
        const char next = run < text.size() ? text[run] : ' ';
        const bool want = run <= 18 && !(text[0] == '0' && run > 1) && next != '.' && next != 'e' && next != 'E';
        JsonScanner s;
        s.reset(std::string_view(exact.get(), text.size()));
        std::uint64_t got = 0;
        ASSERT_EQ(s.small_natural(got), want) << text;
        if (!want) {
          EXPECT_EQ(s.offset(), 0u) << text;
          continue;
        }
        EXPECT_EQ(s.offset(), run) << text;
        EXPECT_EQ(got, std::stoull(text.substr(0, run))) << text;
      }
    }
  }
}

// A string is read the same wherever it stands: at any distance from the
// start and the end of a text (so that the sixteen bytes looked at ahead
// of it end early or late, or the text is shorter than sixteen), plain,
// escaped, beyond ASCII, sixteen bytes or longer, with a raw control
// character, or with no closing quote.
TEST(JsonScanner, StringsAreReadTheSameNearTheEndOfTheText) {
  struct Body {
    std::string written;
    std::string read;    // empty when refused
    std::size_t bad_at;  // of a refused one: the offset of the fault in `written`
  };
  const Body bodies[] = {{"", "", 0},
                         {"a", "a", 0},
                         {"finance", "finance", 0},
                         {"exactly 15 byte", "exactly 15 byte", 0},
                         {"https://docs.example.org/page", "https://docs.example.org/page", 0},
                         {"a\\nb", "a\nb", 0},
                         {"caf\xC3\xA9", "caf\xC3\xA9", 0},
                         {"ab\x01" "c", "", 2}};
  for (const Body& body : bodies) {
    for (std::size_t before = 0; before <= 20; ++before) {
      for (const std::string_view after : {"", "]", "}}", "]}}", "  , \"x\": 1}", "unclosed"}) {
        const bool closed = after != "unclosed";
        const std::string text =
            std::string(before, ' ') + "\"" + body.written + (closed ? "\"" + std::string(after) : "");
        const std::unique_ptr<char[]> exact(new char[text.size()]);
        std::memcpy(exact.get(), text.data(), text.size());
        JsonScanner s;
        s.reset(std::string_view(exact.get(), text.size()));
        ASSERT_EQ(s.skip_ws(), '"');
        std::string_view got;
        const bool ok = s.string_view(got);
        const bool good = !body.read.empty() || body.written.empty();
        if (good && closed) {
          ASSERT_TRUE(ok) << text;
          EXPECT_EQ(got, body.read) << text;
          EXPECT_EQ(s.offset(), before + body.written.size() + 2) << text;
          continue;
        }
        ASSERT_FALSE(ok) << text;
        EXPECT_EQ(s.error().column, good ? text.size() + 1 : before + 1 + body.bad_at + 1) << text;
        EXPECT_EQ(s.error().code, good ? LineErrc::UnexpectedEnd : LineErrc::ControlCharacter) << text;
      }
    }
  }
}

// A reader that builds only a policy's fields, reused from line to line
// as the replay reuses it, keeps exactly the fields a full reader reads
// that the policy names, each where its position says, whatever the
// previous line held.
TEST(EventLine, ReadFieldsAreTheFullReadersAndWhereTheirPositionsSay) {
  const char* policy_json = R"({"name": "p", "severity": "High", "scopes": [],
    "rules": [{"id": 1, "on_events": [], "verdicts": [{"verdict": "Deny"}],
               "actions": [{"verb": "Log", "args": [["a", {"Ref": {"root": "Event", "fields": ["a"]}}],
                                                    ["b", {"Ref": {"root": "Event", "fields": ["b", "x"]}}],
                                                    ["c", {"Ref": {"root": "Event", "fields": ["c"]}}]]}]}],
    "constraints": [], "state_machines": [],
    "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "t"}})";
  auto policy = parse_policy_json(policy_json);
  ASSERT_TRUE(policy) << policy.error().message();
  const FieldUse use = FieldUse::of(policy.value());
  ASSERT_EQ(use.count(), 3u);
  EventLineReader some("", false);
  some.build_only_read_fields(&use);
  EventLine kept;
  const char* lines[] = {
      R"({"type": "t", "fields": {"a": 1, "z": 0, "b": {"x": [1, 2]}, "c": "s"}})",
      R"({"type": "t", "fields": {"a": [3], "b": {"y": 1}}})",            // same keys, other values
      R"({"type": "t", "fields": {"c": 1, "a": 2}})",                     // other order
      R"({"type": "t", "fields": {"b": 1, "b": {"x": 2}, "q": 1}})",      // repeated: first place, last value
      R"({"type": "t", "fields": {"a": 1, "b": }})",                      // refused halfway
      R"({"type": "t"})",                                                 // no fields
      R"({"type": "t", "fields": {"a": [1, {"b": 2}], "b": [], "c": {}}})",
      R"({"type": "t", "fields": null})",
  };
  for (const char* line : lines) {
    EventLineReader all("", false);
    EventLine full;
    const bool ok = all.read(line, full);
    ASSERT_EQ(some.read(line, kept), ok) << line;
    if (!ok) {
      EXPECT_EQ(describe(some.error()), describe(all.error())) << line;
      continue;
    }
    ASSERT_EQ(kept.event.field_positions.size(), 3u);
    std::size_t found = 0;
    for (const MapEntry& name : use.names()) {
      const std::uint32_t at = kept.positions[static_cast<std::size_t>(name.value.as_int())];
      const Value* want = full.event.fields.find(name.key.view());
      if (want == nullptr) {
        EXPECT_EQ(at, kNoFieldPosition) << line;
        continue;
      }
      ASSERT_LT(at, kept.event.fields.size()) << line;
      EXPECT_EQ(kept.event.fields.begin()[at].key.view(), name.key.view()) << line;
      EXPECT_TRUE(deep_equals(kept.event.fields.begin()[at].value, *want)) << line;
      ++found;
    }
    EXPECT_EQ(kept.event.fields.size(), found) << line;
  }
}

}  // namespace
}  // namespace zelvo::replay
