// Every message of the diagnostics table, with its exact text, code,
// position and hint. Sources start with a one-line header, so the cases'
// own text starts on line 2.
#include <gtest/gtest.h>

#include <string>

#include "compiler.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;
using testing::kHeader;

struct Case {
  const char* name;
  std::string body;      // after the header line
  const char* expected;  // brief() of all diagnostics
};

class Diagnostics : public ::testing::TestWithParam<Case> {};

TEST_P(Diagnostics, ExactTextAndPosition) {
  const Case& c = GetParam();
  const CompileResult r = compile(std::string(kHeader) + c.body, "t.zelvo");
  EXPECT_EQ(brief(r.diagnostics), c.expected) << c.body;
  EXPECT_FALSE(r.policy.has_value());
}

const Case kCases[] = {
    // The text itself.
    {"NulByte", std::string("rule 1 {\0}", 10), "2:9 nul-byte: NUL byte in the source"},
    {"InvalidUtf8", "rule 1 { \xff }", "2:10 invalid-utf8: invalid UTF-8 byte 0xFF"},
    {"Surrogate", "rule 1 { \xed\xa0\x80 }", "2:10 invalid-utf8: invalid UTF-8 byte 0xED"},
    {"UnexpectedCharacter", "rule 1 { when event.a @ 1 }",
     "2:23 unexpected-character: unexpected character \"@\"\n"
     "2:25 expected: expected \"severity\", \"when\", a verdict or an action, found number 1"},
    {"UnexpectedNonAscii", "rule 1 { deny é }", "2:15 unexpected-character: unexpected character \"é\""},
    {"UnterminatedStringAtEof", "rule 1 { deny \"abc",
     "2:15 unterminated-string: unterminated string [close it before the end of the line]\n"
     "2:19 expected: expected \"}\", found end of file"},
    {"UnterminatedStringAtLineEnd", "rule 1 { deny \"abc\n}",
     "2:15 unterminated-string: unterminated string [close it before the end of the line]"},
    {"UnterminatedRawName", "rule 1 { deny `f\n}",
     "2:15 unterminated-name: unterminated raw name [close it before the end of the line]"},
    {"UnterminatedComment", "/* open", "2:1 unterminated-comment: unterminated block comment"},
    {"ControlCharacter", "rule 1 { deny \"a\tb\" }",
     "2:17 control-character: control character U+0009 in a string [write it as an escape, e.g. \\n or \\u{1}]"},
    {"InvalidEscape", "rule 1 { deny \"a\\qb\" }",
     "2:17 invalid-escape: invalid escape \"\\q\" [escapes are \\\" \\\\ \\` \\n \\r \\t and \\u{...}]"},
    {"InvalidUnicodeEscape", "rule 1 { deny \"\\u{d800}\" }",
     "2:16 invalid-escape: invalid escape \"\\u{d800}\" [escapes are \\\" \\\\ \\` \\n \\r \\t and \\u{...}]"},
    {"InvalidNumber", "rule 1 { deny 5abc }", "2:15 invalid-number: invalid number \"5abc\""},
    {"InvalidDurationUnit", "rule 1 { deny 5min }", "2:15 invalid-number: invalid number \"5min\""},
    // Values the model cannot hold.
    {"IntTooLarge", "rule 1 { deny 9223372036854775808 }",
     "2:15 int-out-of-range: integer 9223372036854775808 does not fit in 64 bits "
     "[Ints range from -9223372036854775808 to 9223372036854775807]"},
    {"IntTooSmall", "rule 1 { deny -9223372036854775809 }",
     "2:15 int-out-of-range: integer -9223372036854775809 does not fit in 64 bits "
     "[Ints range from -9223372036854775808 to 9223372036854775807]"},
    {"IntBeyondU64", "rule 1 { deny 99999999999999999999 }",
     "2:15 int-out-of-range: integer 99999999999999999999 does not fit in 64 bits "
     "[Ints range from -9223372036854775808 to 9223372036854775807]"},
    {"RuleIdBeyondU32", "rule 4294967296 { }",
     "2:6 value-out-of-range: rule id 4294967296 is out of range (at most 4294967295)"},
    {"LimitBeyondU64", "rate_limit t 18446744073709551616 per 1s",
     "2:14 value-out-of-range: limit 18446744073709551616 is out of range (at most 18446744073709551615)"},
    {"StatePositionBeyondU32", "machine 1 m invariant i always { initial 4294967296 }",
     "2:42 value-out-of-range: state position 4294967296 is out of range (at most 4294967295)"},
    {"LocalSlotBeyondU32", "rule 1 { when local(4294967296) }",
     "2:21 value-out-of-range: slot 4294967296 is out of range (at most 4294967295)"},
    {"DurationLiteralBeyondU64", "rule 1 { when 18446744073709551616s }",
     "2:15 value-out-of-range: duration 18446744073709551616s is out of range (at most 18446744073709551615)"},
    {"WindowBeyondU64Millis", "quota t 1 per 18446744073709551615s",
     "2:15 duration-out-of-range: duration 18446744073709551615s is more milliseconds than fit in 64 bits"},
    {"DurationLiteralBeyondU64Millis", "rule 1 { when event.t == 213503982335d }",
     "2:26 duration-out-of-range: duration 213503982335d is more milliseconds than fit in 64 bits"},
    {"CaseDurationBeyondU64Millis", "rule 1 { when match event.t { case 18446744073709551615s => 1 } }",
     "2:36 duration-out-of-range: duration 18446744073709551615s is more milliseconds than fit in 64 bits"},
    {"MisreadPatternAnchor", "rule 1 { when event.p.matches(pattern\"^/tmp/.*\") }",
     "2:31 misread-pattern: pattern \"^/tmp/.*\" is not a regular expression: \"^\" anchors only together with a "
     "final \"$\"; the engine applies its prefix rule and matches text beginning with \"^/tmp/\" "
     "[write .starts_with(\"^/tmp/\") for what the engine does, or verbatim\"^/tmp/.*\" to keep the pattern as it is]"},
    {"MisreadPatternInCase", "rule 1 { when match event.p { case re\"a|b\" => 1 } }",
     "2:36 misread-pattern: pattern \"a|b\" is not a regular expression: \"|\" is an ordinary character here; the "
     "engine applies its substring rule and matches text containing \"a|b\" "
     "[write .contains(\"a|b\") for what the engine does, or verbatim\"a|b\" to keep the pattern as it is]"},
    {"AfterFormThenStates", "machine 1 m invariant i never { after true deny every later event state s }",
     "2:67 expected: expected \"}\" (an \"after\" form is the whole machine), found keyword \"state\""},
    {"AfterFormMisspelt", "machine 1 m invariant i never { after true deny each later event }",
     "2:49 expected: expected \"every\", found identifier \"each\""},
    {"FloatTooLarge", "rule 1 { deny 1e999 }", "2:15 float-out-of-range: number 1e999 is too large for a Float"},
    // Syntax.
    {"ExpectedBrace", "rule 1 when x { }", "2:8 expected: expected \"{\", found keyword \"when\""},
    {"TopLevelTypo", "rul 1 { }",
     "2:1 expected: expected \"rule\", \"rate_limit\", \"quota\" or \"machine\", found identifier \"rul\" "
     "[did you mean \"rule\"?]"},
    {"RuleStatementTypo", "rule 1 { dney }",
     "2:10 expected: expected \"severity\", \"when\", a verdict or an action, found identifier \"dney\" "
     "[did you mean \"deny\"?]"},
    {"SeverityTypo", "rule 1 { severity hihg }",
     "2:19 expected: expected a severity (critical, high, medium, low or info), found identifier \"hihg\" "
     "[did you mean \"high\"?]"},
    {"ExpressionMissing", "rule 1 { when }", "2:15 expected: expected an expression, found \"}\""},
    {"NestingTooDeep", "rule 1 { when " + std::string(256, '(') + "1" + std::string(256, ')') + " }",
     "2:271 nesting-too-deep: expression nested deeper than 256 levels"},
    {"ChainedComparison", "rule 1 { when event.a < event.b < event.c }",
     "2:33 chained-comparison: comparisons do not chain [add parentheses, e.g. (a < b) == c]"},
    {"DuplicateWhen", "rule 1 { when true when false }", "2:20 duplicate-clause: \"when\" given twice"},
    {"WhenAfterVerdict", "rule 1 { deny when true }",
     "2:15 misplaced-clause: \"when\" after a verdict or action [put severity and when before the verdicts and "
     "actions]"},
    {"MetadataAfterRule", "rule 1 { }\nscopes \"a\"",
     "3:1 misplaced-metadata: \"scopes\" after the first rule, constraint or machine"},
    {"DuplicateSourceHash", "source_hash 1\nsource_hash 2", "3:1 duplicate-clause: \"source_hash\" given twice"},
    {"UnderscoreOutsideCount", "rule 1 { when event.a.all(_, true) }",
     "2:27 misplaced-underscore: \"_\" is only the missing parameter of count"},
    // Names.
    {"UnknownNameNearRoot", "rule 1 { when evnt.a }", "2:15 unknown-name: unknown name \"evnt\" [did you mean \"event\"?]"},
    {"UnknownNameFar", "rule 1 { when tool == 1 }",
     "2:15 unknown-name: unknown name \"tool\" [did you mean \"event.tool\"?]"},
    {"UnknownFunction", "rule 1 { when lenght(event.a) }",
     "2:15 unknown-function: unknown function \"lenght\" [did you mean \"length\"?]"},
    {"UnknownFunctionFar", "rule 1 { when frobnicate(1) }",
     "2:15 unknown-function: unknown function \"frobnicate\" [write `frobnicate`(...) to call it by its exact name "
     "anyway]"},
    {"UnknownMethod", "rule 1 { when event.cmd.startswith(\"rm\") }",
     "2:25 unknown-method: unknown method \"startswith\" [did you mean \"starts_with\"?]"},
    {"WrongArityFunction", "rule 1 { when min(1) }", "2:15 wrong-arity: \"min\" takes 2 arguments, given 1"},
    {"WrongArityMethod", "rule 1 { when event.s.split(1, 2) }",
     "2:23 wrong-arity: \"split\" takes 0 to 1 arguments, given 2"},
    {"WrongArityPredicate", "rule 1 { when event.s.contains() }",
     "2:23 wrong-arity: \"contains\" takes 1 argument, given 0"},
    {"WrongArityQuantifier", "rule 1 { when event.s.all() }", "2:23 wrong-arity: \"all\" takes 2 arguments, given 0"},
    {"OuterBinding", "rule 1 { when event.a.all(x, event.b.any(y, x == y)) }",
     "2:45 outer-binding: \"x\" is the element of an enclosing quantifier, hidden here [only the innermost element "
     "can be read; use local(0) for it]"},
    {"OuterBindingUnderUnnamedCount", "rule 1 { when event.a.all(x, event.b.count(_, x) > 0) }",
     "2:47 outer-binding: \"x\" is the element of an enclosing quantifier, hidden here [only the innermost element "
     "can be read; use local(0) for it]"},
    {"UnknownState", "machine 1 m invariant i always { state idle\n transition idel -> idle }",
     "3:13 unknown-state: no state is labelled \"idel\" [did you mean \"idle\"?]"},
    {"AmbiguousState", "machine 1 m invariant i always { state a state a initial a }",
     "2:58 ambiguous-state: 2 states are labelled \"a\" [refer to the state by its position, e.g. 0]"},
    {"TemporalKindTypo", "machine 1 m invariant i allways { }",
     "2:25 expected: expected a temporal kind (always, eventually, never, until or next), found identifier "
     "\"allways\" [did you mean \"always\"?]"},
};

INSTANTIATE_TEST_SUITE_P(All, Diagnostics, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DiagnosticsHeader, MissingHeaderIsReportedAtTheFirstToken) {
  const CompileResult r = compile("rule 1 { }", "t.zelvo");
  EXPECT_EQ(brief(r.diagnostics),
            "1:1 expected: expected \"policy\" and the policy's name, found keyword \"rule\"");
}

TEST(DiagnosticsHeader, EmptySource) {
  const CompileResult r = compile("", "t.zelvo");
  EXPECT_EQ(brief(r.diagnostics), "1:1 expected: expected \"policy\" and the policy's name, found end of file");
}

TEST(DiagnosticsLimit, StopsAfterMaxErrorsWithOneMore) {
  CompileOptions options;
  options.max_errors = 2;
  const CompileResult r =
      compile(std::string(kHeader) + "rule 1 { when a }\nrule 2 { when b }\nrule 3 { when c }", "t.zelvo", options);
  EXPECT_EQ(brief(r.diagnostics),
            "2:15 unknown-name: unknown name \"a\" [did you mean \"event.a\"?]\n"
            "3:15 unknown-name: unknown name \"b\" [did you mean \"event.b\"?]\n"
            "3:15 too-many-errors: too many errors; stopped after 2");
}

TEST(DiagnosticsRecovery, ReportsEveryErrorOfAFile) {
  const std::string src = std::string(kHeader) +
                          "rule 1 { when event.a.startswith(\"x\") deny }\n"
                          "rule 2 { when min(1) }\n"
                          "rule 3 { dney }\n"
                          "rate_limit t 1 per 5\n"
                          "machine 1 m invariant i always { transition a -> b }\n";
  const CompileResult r = compile(src, "t.zelvo");
  EXPECT_EQ(brief(r.diagnostics),
            "2:23 unknown-method: unknown method \"startswith\" [did you mean \"starts_with\"?]\n"
            "3:15 wrong-arity: \"min\" takes 2 arguments, given 1\n"
            "4:10 expected: expected \"severity\", \"when\", a verdict or an action, found identifier \"dney\" "
            "[did you mean \"deny\"?]\n"
            "5:20 expected: expected a duration (e.g. 30s, 5m), found number 5\n"
            "6:45 unknown-state: no state is labelled \"a\"\n"
            "6:50 unknown-state: no state is labelled \"b\"");
}

TEST(Render, ExcerptCaretAndHint) {
  const CompileResult r = compile(std::string(kHeader) + "rule 1 {\n  when event.cmd.startswith(\"rm\")\n}", "g.zelvo");
  ASSERT_EQ(r.diagnostics.size(), 1u);
  EXPECT_EQ(render(r.diagnostics[0]),
            "g.zelvo:3:18: error: unknown method \"startswith\"\n"
            "    3 |   when event.cmd.startswith(\"rm\")\n"
            "      |                  ^\n"
            "  hint: did you mean \"starts_with\"?\n");
}

TEST(Render, ColumnsCountCharactersNotBytes) {
  const CompileResult r = compile(std::string(kHeader) + "rule 1 { deny \"ééé\" + nope }", "u.zelvo");
  ASSERT_EQ(r.diagnostics.size(), 1u);
  EXPECT_EQ(r.diagnostics[0].column, 23u);
  EXPECT_EQ(render(r.diagnostics[0]),
            "u.zelvo:2:23: error: unknown name \"nope\"\n"
            "    2 | rule 1 { deny \"ééé\" + nope }\n"
            "      |                       ^\n"
            "  hint: did you mean \"event.nope\"?\n");
}

TEST(Render, LongLineIsCutAroundTheColumn) {
  const std::string pad(1000, ' ');
  const CompileResult r = compile(std::string(kHeader) + "rule 1 {" + pad + "nope }", "l.zelvo");
  ASSERT_EQ(r.diagnostics.size(), 1u);
  const Diagnostic& d = r.diagnostics[0];
  EXPECT_EQ(d.column, 1009u);
  EXPECT_LE(d.line_text.size(), kMaxExcerptBytes);
  EXPECT_EQ(d.line_text.substr(100, 4), "nope");
  EXPECT_EQ(d.line_text_column, 909u);
  const std::string text = render(d);
  EXPECT_NE(text.find("| " + std::string(100, ' ') + "^\n"), std::string::npos) << text;
}

TEST(Render, WarningAndNoExcerpt) {
  Diagnostic d;
  d.level = Level::Warning;
  d.file = "f";
  d.line = 2;
  d.column = 1;
  d.message = "m";
  EXPECT_EQ(render(d), "f:2:1: warning: m\n");
}

}  // namespace
}  // namespace zelvo::lang
