// Hostile sources: each ends in diagnostics (or a policy), never a crash,
// a stack overflow or a hang; the parser's nesting bound holds for every
// construct that nests.
#include <gtest/gtest.h>

#include <string>

#include "compiler.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;
using testing::kHeader;

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

const Diagnostic& first_error(const CompileResult& r) {
  static const Diagnostic none;
  for (const Diagnostic& d : r.diagnostics) {
    if (d.level == Level::Error) return d;
  }
  return none;
}

struct DeepCase {
  const char* name;
  std::string open;   // repeated 100,000 times before `event.a`
  std::string close;  // repeated after it
  const char* code;   // of the first error
  bool recovers = true;  // false when the brackets never close: the rest of the file is inside them
};

class DeepNesting : public ::testing::TestWithParam<DeepCase> {};

TEST_P(DeepNesting, IsAnErrorNotACrash) {
  const DeepCase& c = GetParam();
  const std::string src = std::string(kHeader) + "rule 1 { when " + repeat(c.open, 100000) + "event.a" +
                          repeat(c.close, 100000) + " }\nrule 2 { when nope }";
  const CompileResult r = compile(src, "t.zelvo");
  EXPECT_FALSE(r.policy);
  EXPECT_EQ(first_error(r).code, c.code) << brief(r.diagnostics).substr(0, 500);
  // Recovery reaches the next rule.
  if (c.recovers) {
    EXPECT_NE(brief(r.diagnostics).find("3:15 unknown-name"), std::string::npos) << brief(r.diagnostics).substr(0, 500);
  }
}

const DeepCase kDeep[] = {
    {"Parentheses", "(", ")", "nesting-too-deep"},
    {"UnclosedParentheses", "(", "", "nesting-too-deep", false},
    {"Lists", "[", "]", "nesting-too-deep"},
    {"Not", "not ", "", "nesting-too-deep"},
    {"Neg", "-", "", "nesting-too-deep"},
    {"Calls", "len(", ")", "nesting-too-deep"},
    {"RawCalls", "`f`(", ")", "nesting-too-deep"},
    {"Decide", "decide { ", " }", "nesting-too-deep"},
    {"Match", "match event.a { case 1 => ", " }", "nesting-too-deep"},
    {"Quantifiers", "event.xs.all(x, ", ")", "nesting-too-deep"},
};

INSTANTIATE_TEST_SUITE_P(All, DeepNesting, ::testing::ValuesIn(kDeep),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Hostile, LongPostfixChainIsBounded) {
  const std::string src = std::string(kHeader) + "rule 1 { when event.a" + repeat(".trim()", 100000) + " }";
  EXPECT_EQ(first_error(compile(src, "t.zelvo")).code, "nesting-too-deep");
  const std::string fields = std::string(kHeader) + "rule 1 { when event.xs.first()" + repeat(".a", 100000) + " }";
  EXPECT_EQ(first_error(compile(fields, "t.zelvo")).code, "nesting-too-deep");
}

TEST(Hostile, LongReferencePathIsOneReference) {
  const std::string src = std::string(kHeader) + "rule 1 { when event" + repeat(".a", 100000) + " }";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  EXPECT_EQ(std::get<IRExpr::Ref>(r.policy->rules[0].condition->v).path.fields.size(), 100000u);
}

TEST(Hostile, TenMegabyteLineOfOrIsBalanced) {
  std::string src = std::string(kHeader) + "rule 1 { when event.a";
  const std::string term = " or event.a";
  while (src.size() < 10'000'000) src += term;
  src += " }";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics).substr(0, 500);
  ASSERT_EQ(r.source_map.rules.size(), 1u);
  EXPECT_EQ(r.source_map.rules[0].span.end_column, src.size() - std::string(kHeader).size() + 1);
}

TEST(Hostile, TenMegabyteLineOfGarbageStopsAtTheErrorLimit) {
  const std::string src = std::string(kHeader) + std::string(10'000'000, '@');
  const CompileResult r = compile(src, "t.zelvo");
  EXPECT_FALSE(r.policy);
  ASSERT_EQ(r.diagnostics.size(), 21u);
  EXPECT_EQ(r.diagnostics[0].code, "unexpected-character");
  EXPECT_EQ(r.diagnostics[20].code, "too-many-errors");
  EXPECT_LE(r.diagnostics[0].line_text.size(), kMaxExcerptBytes);
}

TEST(Hostile, TenMegabyteStringLiteral) {
  const std::string src = std::string(kHeader) + "rule 1 { deny \"" + std::string(10'000'000, 'x') + "\" }";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
}

TEST(Hostile, TenMegabyteNumberIsOneError) {
  const std::string src = std::string(kHeader) + "rule 1 { when " + std::string(10'000'000, '9') + " }";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_EQ(r.diagnostics.size(), 1u);
  EXPECT_EQ(r.diagnostics[0].code, "int-out-of-range");
  EXPECT_LT(r.diagnostics[0].message.size(), 100u);
}

TEST(Hostile, InvalidUtf8Everywhere) {
  for (const char* bad : {"\x80", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff", "\xe2\x82"}) {
    for (const std::string& src : {std::string(kHeader) + bad, std::string(kHeader) + "rule 1 { deny \"" + bad + "\" }",
                                   std::string(kHeader) + "// " + bad + "\n", std::string(bad) + kHeader}) {
      const CompileResult r = compile(src, "t.zelvo");
      EXPECT_FALSE(r.policy);
      ASSERT_FALSE(r.diagnostics.empty());
      EXPECT_EQ(r.diagnostics[0].code, "invalid-utf8") << brief(r.diagnostics);
    }
  }
}

TEST(Hostile, NulBytesAnywhere) {
  const std::string nul(1, '\0');
  for (const std::string& src :
       {std::string(kHeader) + nul, std::string(kHeader) + "rule 1 { deny \"a" + nul + "b\" }",
        std::string(kHeader) + "/* " + nul + " */", nul + kHeader}) {
    const CompileResult r = compile(src, "t.zelvo");
    EXPECT_FALSE(r.policy);
    ASSERT_FALSE(r.diagnostics.empty());
    EXPECT_EQ(r.diagnostics[0].code, "nul-byte") << brief(r.diagnostics);
  }
}

TEST(Hostile, UnterminatedAtTheEnd) {
  for (const char* tail : {"rule 1 { deny \"abc", "rule 1 { deny \"abc\\", "rule 1 { deny `f", "/* x", "rule 1 {",
                           "rule 1 { when (", "rule 1 { deny \"\\u{", "rule 1 { when match event.a {", "re\""}) {
    const CompileResult r = compile(std::string(kHeader) + tail, "t.zelvo");
    EXPECT_FALSE(r.policy) << tail;
    ASSERT_FALSE(r.diagnostics.empty()) << tail;
    EXPECT_EQ(r.diagnostics[0].line, 2u) << tail;
  }
}

TEST(Hostile, EveryPrefixOfAPolicyCompilesOrReportsAPosition) {
  const std::string src = std::string(kHeader) +
                          "rule 1 on tool_call { severity high when event.a.all(x, x > 1) and match event.t { case "
                          "\"a\" => deny \"m\" else => decide { allow } } deny \"x\" + `f`(1) log(a: [1, -2.5, 5m]) }\n"
                          "machine 1 m invariant i never { state a state b violated transition a -> b when "
                          "event.y.count(_, local(0)) > 2 }\n";
  for (std::size_t n = 0; n <= src.size(); ++n) {
    const CompileResult r = compile(src.substr(0, n), "t.zelvo");
    if (r.policy) continue;
    ASSERT_FALSE(r.diagnostics.empty()) << n;
    EXPECT_GE(r.diagnostics[0].line, 1u);
    EXPECT_GE(r.diagnostics[0].column, 1u);
  }
}

}  // namespace
}  // namespace zelvo::lang
