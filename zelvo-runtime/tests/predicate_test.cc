// Predicates: Contains, StartsWith, EndsWith and the four pattern rules of
// Matches. Operands are stored as event fields "s" and "a" so that every
// kind of Value can be a subject or argument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval_test_util.h"

namespace zelvo {
namespace {

using test::list_value;
using test::map_value;
using test::str_value;

struct PredicateCase {
  std::string name;
  PredicateKind kind;
  Value subject;
  Value argument;
  bool expected;
};

class PredicateTest : public ::testing::TestWithParam<PredicateCase> {};

TEST_P(PredicateTest, GivesBool) {
  const PredicateCase& c = GetParam();
  test::Scope scope;
  scope.event = test::make_event("t", {{"s", c.subject}, {"a", c.argument}});
  const IRExpr e = test::predicate(c.kind, test::event_ref({"s"}), test::event_ref({"a"}));
  EXPECT_TRUE(test::same_value(test::eval_in(scope, e), Value::boolean(c.expected)));
}

std::string case_name(const ::testing::TestParamInfo<PredicateCase>& info) { return info.param.name; }

PredicateCase contains(std::string name, Value s, Value a, bool expected) {
  return {std::move(name), PredicateKind::Contains, std::move(s), std::move(a), expected};
}
PredicateCase starts(std::string name, Value s, Value a, bool expected) {
  return {std::move(name), PredicateKind::StartsWith, std::move(s), std::move(a), expected};
}
PredicateCase ends(std::string name, Value s, Value a, bool expected) {
  return {std::move(name), PredicateKind::EndsWith, std::move(s), std::move(a), expected};
}
PredicateCase matches(std::string name, std::string subject, std::string pattern, bool expected) {
  return {std::move(name), PredicateKind::Matches, str_value(subject), str_value(pattern), expected};
}

INSTANTIATE_TEST_SUITE_P(
    Contains, PredicateTest,
    ::testing::Values(
        contains("ListHoldsInt", list_value({Value::integer(1), Value::integer(2)}), Value::integer(2), true),
        contains("ListIntIsNotFloat", list_value({Value::integer(1)}), Value::floating(1.0), false),
        contains("ListFloatIsNotInt", list_value({Value::floating(1.0)}), Value::integer(1), false),
        contains("ListHoldsString", list_value({str_value("a"), str_value("b")}), str_value("b"), true),
        contains("ListHoldsEqualList", list_value({list_value({Value::integer(1)})}),
                 list_value({Value::integer(1)}), true),
        contains("ListHoldsEqualMap", list_value({map_value({{"k", Value::integer(1)}})}),
                 map_value({{"k", Value::integer(1)}}), true),
        contains("ListHoldsNull", list_value({Value()}), Value(), true),
        contains("EmptyList", list_value({}), Value(), false),
        contains("SubstringInMiddle", str_value("abcdef"), str_value("cde"), true),
        contains("EmptyNeedle", str_value("abc"), str_value(""), true),
        contains("EmptyInEmpty", str_value(""), str_value(""), true),
        contains("CaseSensitive", str_value("abc"), str_value("B"), false),
        contains("NeedleLonger", str_value("ab"), str_value("abc"), false),
        contains("StringWithIntArgument", str_value("a1"), Value::integer(1), false),
        contains("NullSubject", Value(), str_value(""), false),
        contains("MapSubject", map_value({{"k", Value::integer(1)}}), str_value("k"), false)),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    StartsEnds, PredicateTest,
    ::testing::Values(starts("Prefix", str_value("foobar"), str_value("foo"), true),
                      starts("NotPrefix", str_value("foobar"), str_value("bar"), false),
                      starts("EmptyPrefix", str_value("x"), str_value(""), true),
                      starts("EmptyPrefixOfEmpty", str_value(""), str_value(""), true),
                      starts("NullSubject", Value(), str_value(""), false),
                      starts("IntArgument", str_value("1x"), Value::integer(1), false),
                      starts("ListSubject", list_value({str_value("a")}), str_value("a"), false),
                      starts("Bytes", str_value("\xc3\xa9t\xc3\xa9"), str_value("\xc3"), true),
                      ends("Suffix", str_value("foobar"), str_value("bar"), true),
                      ends("NotSuffix", str_value("foobar"), str_value("foo"), false),
                      ends("EmptySuffix", str_value("x"), str_value(""), true),
                      ends("LongerThanSubject", str_value("ar"), str_value("bar"), false),
                      ends("NullArgument", str_value("x"), Value(), false),
                      ends("CaseSensitive", str_value("FOO"), str_value("oo"), false)),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Matches, PredicateTest,
    ::testing::Values(matches("AnchoredExact", "abc", "^abc$", true),
                      matches("AnchoredLonger", "abcd", "^abc$", false),
                      matches("AnchoredInside", "xabcx", "^abc$", false),
                      matches("AnchoredEmptyOnlyEmpty", "", "^$", true),
                      matches("AnchoredEmptyRejects", "a", "^$", false),
                      matches("AnchoredKeepsDotStar", "a.*b", "^a.*b$", true),
                      matches("AnchoredDotStarIsLiteral", "axxb", "^a.*b$", false),
                      matches("TrailingDotStarPrefix", "abcdef", "abc.*", true),
                      matches("TrailingDotStarNotPrefix", "xabc", "abc.*", false),
                      matches("DotStarAlone", "anything", ".*", true),
                      matches("DotStarAloneEmpty", "", ".*", true),
                      matches("LeadingDotStarSuffix", "a.txt", ".*.txt", true),
                      matches("LeadingDotStarDotIsLiteral", "atxt", ".*.txt", false),
                      matches("BothDotStarsIsPrefixRule", ".*abcdef", ".*abc.*", true),
                      matches("BothDotStarsNotSubstring", "xabcx", ".*abc.*", false),
                      matches("Substring", "xfooy", "foo", true),
                      matches("SubstringMissing", "xfoy", "foo", false),
                      matches("CaretOnlyIsLiteral", "x^abcx", "^abc", true),
                      matches("CaretOnlyNotAnchor", "abc", "^abc", false),
                      matches("DollarOnlyIsLiteral", "abc$", "abc$", true),
                      matches("DollarOnlyNotAnchor", "abc", "abc$", false),
                      matches("AlternationIsLiteral", "xa|by", "a|b", true),
                      matches("AlternationNotRegex", "a", "a|b", false),
                      matches("ClassIsLiteral", "a", "[a]", false),
                      matches("SingleCaret", "^", "^", true),
                      matches("SingleDollarSubstring", "a$b", "$", true),
                      matches("CaretDollarReversed", "$^", "$^", true),
                      matches("EmptyPattern", "abc", "", true),
                      matches("CaseSensitive", "ABC", "abc", false)),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    MatchesOperands, PredicateTest,
    ::testing::Values(PredicateCase{"IntPatternIsEmpty", PredicateKind::Matches, str_value("abc"), Value::integer(5), true},
                      PredicateCase{"NullPatternIsEmpty", PredicateKind::Matches, str_value(""), Value(), true},
                      PredicateCase{"IntSubject", PredicateKind::Matches, Value::integer(5), str_value(""), false},
                      PredicateCase{"NullSubjectNullPattern", PredicateKind::Matches, Value(), Value(), false},
                      PredicateCase{"ListSubject", PredicateKind::Matches, list_value({str_value("a")}),
                                    str_value("a"), false}),
    case_name);

// Operands that are not references (literals, computed lists) give the same
// answers as stored ones.
TEST(PredicateTest, ComputedOperands) {
  test::Scope scope;
  using test::lit_int;
  using test::lit_str;
  EXPECT_TRUE(test::same_value(
      test::eval_in(scope, test::predicate(PredicateKind::Contains, test::list({lit_int(1), lit_str("x")}), lit_str("x"))),
      Value::boolean(true)));
  EXPECT_TRUE(test::same_value(
      test::eval_in(scope, test::predicate(PredicateKind::Matches, lit_str("report.pdf"), test::lit_regex(".*.pdf"))),
      Value::boolean(true)));
  EXPECT_TRUE(test::same_value(
      test::eval_in(scope, test::predicate(PredicateKind::EndsWith, test::event_ref({"missing"}), lit_str(""))),
      Value::boolean(false)));
}

}  // namespace
}  // namespace zelvo
