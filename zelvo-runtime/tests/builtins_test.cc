// Built-in functions (Call) and methods (MethodCall) on strings, lists and
// maps. Lists and maps reach the expressions as event fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "eval/unicode_case.h"
#include "eval_test_util.h"

namespace zelvo {
namespace {

using test::call;
using test::event_ref;
using test::lit_float;
using test::lit_int;
using test::lit_str;
using test::list_value;
using test::map_value;
using test::method;
using test::str_value;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Value I(std::int64_t i) { return Value::integer(i); }
Value F(double d) { return Value::floating(d); }
Value S(std::string_view s) { return str_value(s); }
Value strings(std::initializer_list<std::string_view> xs) {
  ValueList out;
  for (auto x : xs) out.push_back(S(x));
  return Value::list(std::move(out));
}

test::Scope fields() {
  test::Scope scope;
  scope.event = test::make_event(
      "t", {{"l3", list_value({I(1), S("two"), F(3.5)})},
            {"empty_list", list_value({})},
            {"m2", map_value({{"a", I(1)}, {"b", I(2)}})},
            {"named", map_value({{"name", S("x")}, {"len", S("shadowed")}})},
            {"with_empty_key", map_value({{"", Value::boolean(false)}})},
            {"null", Value()},
            {"dur", Value::duration(1500)}});
  return scope;
}

struct BuiltinCase {
  std::string name;
  IRExpr expr;
  Value expected;
};

class BuiltinTest : public ::testing::TestWithParam<BuiltinCase> {};

TEST_P(BuiltinTest, Evaluates) {
  const test::Scope scope = fields();
  EXPECT_TRUE(test::same_value(test::eval_in(scope, GetParam().expr), GetParam().expected));
}

std::string case_name(const ::testing::TestParamInfo<BuiltinCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Len, BuiltinTest,
    ::testing::Values(BuiltinCase{"StringBytes", call("len", {lit_str("h\xc3\xa9llo")}), I(6)},
                      BuiltinCase{"LengthAlias", call("length", {lit_str("abc")}), I(3)},
                      BuiltinCase{"List", call("len", {event_ref({"l3"})}), I(3)},
                      BuiltinCase{"Map", call("len", {event_ref({"m2"})}), I(2)},
                      BuiltinCase{"Null", call("len", {event_ref({"null"})}), I(0)},
                      BuiltinCase{"Int", call("len", {lit_int(12345)}), I(0)},
                      BuiltinCase{"NoArgument", call("len", {}), I(0)},
                      BuiltinCase{"ExtraArgumentsIgnored", call("len", {lit_str("ab"), lit_int(1)}), I(2)},
                      BuiltinCase{"NameIsCaseSensitive", call("LEN", {lit_str("ab")}), Value()}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Str, BuiltinTest,
    ::testing::Values(BuiltinCase{"Float", call("str", {lit_float(2.0)}), S("2")},
                      BuiltinCase{"List", call("to_string", {event_ref({"l3"})}), S("[3 items]")},
                      BuiltinCase{"Map", call("str", {event_ref({"m2"})}), S("{2 fields}")},
                      BuiltinCase{"Null", call("str", {event_ref({"null"})}), S("null")},
                      BuiltinCase{"Duration", call("str", {event_ref({"dur"})}), S("1s")},
                      BuiltinCase{"String", call("str", {lit_str("s")}), S("s")},
                      BuiltinCase{"NoArgument", call("str", {}), S("")}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Abs, BuiltinTest,
    ::testing::Values(BuiltinCase{"Negative", call("abs", {lit_int(-5)}), I(5)},
                      BuiltinCase{"Positive", call("abs", {lit_int(5)}), I(5)},
                      BuiltinCase{"MinimumWraps", call("abs", {lit_int(kMin)}), I(kMin)},
                      BuiltinCase{"Float", call("abs", {lit_float(-2.5)}), F(2.5)},
                      BuiltinCase{"StringIsNull", call("abs", {lit_str("-1")}), Value()},
                      BuiltinCase{"DurationIsNull", call("abs", {event_ref({"dur"})}), Value()},
                      BuiltinCase{"NoArgument", call("abs", {}), Value()}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    MinMax, BuiltinTest,
    ::testing::Values(BuiltinCase{"MaxIntOverFloat", call("max", {lit_int(3), lit_float(2.5)}), I(3)},
                      BuiltinCase{"MaxFloatOverInt", call("max", {lit_int(1), lit_float(2.5)}), F(2.5)},
                      BuiltinCase{"MinTieKeepsFirst", call("min", {lit_int(2), lit_float(2.0)}), I(2)},
                      BuiltinCase{"MaxTieKeepsFirst", call("max", {lit_float(2.0), lit_int(2)}), F(2.0)},
                      BuiltinCase{"MinSecond", call("min", {lit_int(9), lit_int(-9)}), I(-9)},
                      BuiltinCase{"MaxStringsByBytes", call("max", {lit_str("apple"), lit_str("banana")}), S("banana")},
                      BuiltinCase{"MinStringsByBytes", call("min", {lit_str("b"), lit_str("B")}), S("B")},
                      BuiltinCase{"MaxDurations", call("max", {event_ref({"dur"}), test::lit_duration(2, DurationUnit::Seconds)}),
                                  Value::duration(2000)},
                      BuiltinCase{"MaxNullIsNull", call("max", {event_ref({"null"}), lit_int(1)}), Value()},
                      BuiltinCase{"MinMixedKindsIsNull", call("min", {lit_str("1"), lit_int(1)}), Value()},
                      BuiltinCase{"MaxNaNIsNull", call("max", {lit_float(std::nan("")), lit_int(1)}), Value()},
                      BuiltinCase{"MaxThreeArguments", call("max", {lit_int(1), lit_int(2), lit_int(3)}), Value()},
                      BuiltinCase{"MinOneArgument", call("min", {lit_int(1)}), Value()},
                      BuiltinCase{"MaxListsIncomparable", call("max", {event_ref({"l3"}), event_ref({"l3"})}), Value()},
                      BuiltinCase{"UnknownFunction", call("upper", {lit_str("a")}), Value()}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    StringMethods, BuiltinTest,
    ::testing::Values(
        BuiltinCase{"LenBytes", method(lit_str("h\xc3\xa9llo"), "len"), I(6)},
        BuiltinCase{"Length", method(lit_str(""), "length"), I(0)},
        BuiltinCase{"IsEmpty", method(lit_str(""), "is_empty"), Value::boolean(true)},
        BuiltinCase{"IsNotEmpty", method(lit_str(" "), "is_empty"), Value::boolean(false)},
        BuiltinCase{"TrimTabAndNoBreakSpace", method(lit_str("\t inner text\xc2\xa0"), "trim"), S("inner text")},
        BuiltinCase{"TrimEveryListedSpace",
                    method(lit_str("\t\n\v\f\r \xc2\x85\xc2\xa0\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a"
                                   "x y"
                                   "\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80"),
                           "trim"),
                    S("x y")},
        BuiltinCase{"TrimKeepsZeroWidthSpace", method(lit_str("\xe2\x80\x8bx\xe2\x80\x8b"), "trim"),
                    S("\xe2\x80\x8bx\xe2\x80\x8b")},
        BuiltinCase{"TrimKeepsNextLineLookalike", method(lit_str("\xc2\x86x"), "trim"), S("\xc2\x86x")},
        BuiltinCase{"TrimAllSpace", method(lit_str(" \t "), "trim"), S("")},
        BuiltinCase{"TrimNothing", method(lit_str("a b"), "trim"), S("a b")},
        BuiltinCase{"UpperFull", method(lit_str("stra\xc3\x9f" "e"), "to_uppercase"), S("STRASSE")},
        BuiltinCase{"UpperShort", method(lit_str("abc-\xc3\xa9"), "to_upper"), S("ABC-\xc3\x89")},
        BuiltinCase{"LowerFinalSigma", method(lit_str("\xce\x9f\xce\x94\xce\x9f\xce\xa3"), "to_lowercase"),
                    S("\xce\xbf\xce\xb4\xce\xbf\xcf\x82")},
        BuiltinCase{"LowerShort", method(lit_str("ABC \xc3\x89"), "to_lower"), S("abc \xc3\xa9")},
        BuiltinCase{"SplitDefaultComma", method(lit_str("a,,b"), "split"), strings({"a", "", "b"})},
        BuiltinCase{"SplitEmptyObject", method(lit_str(""), "split"), strings({""})},
        BuiltinCase{"SplitGiven", method(lit_str("a-b"), "split", {lit_str("-")}), strings({"a", "b"})},
        BuiltinCase{"SplitEdges", method(lit_str("-a-"), "split", {lit_str("-")}), strings({"", "a", ""})},
        BuiltinCase{"SplitMultiByteSeparator", method(lit_str("a::b:::c"), "split", {lit_str("::")}),
                    strings({"a", "b", ":c"})},
        BuiltinCase{"SplitNotOverlapping", method(lit_str("aaa"), "split", {lit_str("aa")}), strings({"", "a"})},
        BuiltinCase{"SplitNonStringSeparator", method(lit_str("1,2"), "split", {lit_int(1)}), strings({"1", "2"})},
        BuiltinCase{"SplitEmptySeparator", method(lit_str("ab"), "split", {lit_str("")}), strings({"", "a", "b", ""})},
        BuiltinCase{"SplitEmptySeparatorByCharacter", method(lit_str("\xc3\xa9\xe2\x82\xac"), "split", {lit_str("")}),
                    strings({"", "\xc3\xa9", "\xe2\x82\xac", ""})},
        BuiltinCase{"SplitEmptyBoth", method(lit_str(""), "split", {lit_str("")}), strings({"", ""})},
        BuiltinCase{"ContainsIsNotAMethod", method(lit_str("abc"), "contains", {lit_str("a")}), Value()},
        BuiltinCase{"StartsWithIsNotAMethod", method(lit_str("abc"), "starts_with", {lit_str("a")}), Value()},
        BuiltinCase{"NameIsCaseSensitive", method(lit_str("abc"), "Len"), Value()}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    ListMethods, BuiltinTest,
    ::testing::Values(BuiltinCase{"Len", method(event_ref({"l3"}), "len"), I(3)},
                      BuiltinCase{"Length", method(event_ref({"empty_list"}), "length"), I(0)},
                      BuiltinCase{"IsEmpty", method(event_ref({"empty_list"}), "is_empty"), Value::boolean(true)},
                      BuiltinCase{"IsNotEmpty", method(event_ref({"l3"}), "is_empty"), Value::boolean(false)},
                      BuiltinCase{"First", method(event_ref({"l3"}), "first"), I(1)},
                      BuiltinCase{"Last", method(event_ref({"l3"}), "last"), F(3.5)},
                      BuiltinCase{"FirstOfEmpty", method(event_ref({"empty_list"}), "first"), Value()},
                      BuiltinCase{"LastOfEmpty", method(event_ref({"empty_list"}), "last"), Value()},
                      BuiltinCase{"FirstOfComputed", method(test::list({lit_str("x"), lit_int(2)}), "first"), S("x")},
                      BuiltinCase{"GetIsNotAMethod", method(event_ref({"l3"}), "get", {lit_int(0)}), Value()}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    MapMethods, BuiltinTest,
    ::testing::Values(
        BuiltinCase{"Length", method(event_ref({"m2"}), "length"), I(2)},
        BuiltinCase{"LenIsAMethodNotTheKey", method(event_ref({"named"}), "len"), I(2)},
        BuiltinCase{"HasKey", method(event_ref({"m2"}), "has_key", {lit_str("a")}), Value::boolean(true)},
        BuiltinCase{"ContainsKeyMissing", method(event_ref({"m2"}), "contains_key", {lit_str("z")}),
                    Value::boolean(false)},
        BuiltinCase{"HasKeyNoArgumentIsEmptyKey", method(event_ref({"with_empty_key"}), "has_key"),
                    Value::boolean(true)},
        BuiltinCase{"HasKeyIntArgumentIsEmptyKey", method(event_ref({"m2"}), "has_key", {lit_int(1)}),
                    Value::boolean(false)},
        BuiltinCase{"NameIsKey", method(event_ref({"named"}), "name"), S("x")},
        BuiltinCase{"KeyLookupIgnoresArguments", method(event_ref({"named"}), "name", {lit_int(9)}), S("x")},
        BuiltinCase{"MissingKey", method(event_ref({"m2"}), "get", {lit_str("a")}), Value()},
        BuiltinCase{"IsEmptyIsAKeyOnMaps", method(event_ref({"m2"}), "is_empty"), Value()},
        BuiltinCase{"EntryOfEmptyKeyFalse", method(event_ref({"with_empty_key"}), ""), Value::boolean(false)}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    OtherObjects, BuiltinTest,
    ::testing::Values(BuiltinCase{"IntLen", method(lit_int(5), "len"), Value()},
                      BuiltinCase{"FloatLen", method(lit_float(5), "length"), Value()},
                      BuiltinCase{"BoolIsEmpty", method(test::lit_bool(false), "is_empty"), Value()},
                      BuiltinCase{"NullLen", method(event_ref({"null"}), "len"), Value()},
                      BuiltinCase{"DurationLen", method(event_ref({"dur"}), "len"), Value()}),
    case_name);

// ASCII texts take a byte-by-byte path; it must agree with the full mapping
// for every byte, for inline and longer texts.
TEST(BuiltinTest, AsciiCaseMappingMatchesTheFullMapping) {
  const test::Scope scope = fields();
  for (const char* name : {"to_lower", "to_upper"}) {
    for (std::size_t len : {std::size_t{1}, std::size_t{8}, Str::kInlineCapacity, Str::kInlineCapacity + 1,
                            std::size_t{100}}) {
      for (int first = 0; first < 0x80; ++first) {
        std::string text(len, static_cast<char>(0x7F - first));
        text[0] = static_cast<char>(first);
        const std::string expected =
            std::string_view(name) == "to_lower" ? unicode::to_lower(text) : unicode::to_upper(text);
        EXPECT_TRUE(test::same_value(test::eval_in(scope, method(lit_str(text), name)), S(expected)))
            << name << " of byte " << first << " at length " << len;
      }
    }
  }
}

TEST(BuiltinTest, AbsOfNegativeZeroClearsSign) {
  const Value v = test::eval_in(fields(), call("abs", {lit_float(-0.0)}));
  ASSERT_TRUE(v.is_float());
  EXPECT_EQ(v.as_float(), 0.0);
  EXPECT_FALSE(std::signbit(v.as_float()));
}

// keys and values follow one iteration order, whatever it is.
TEST(BuiltinTest, KeysAndValuesAgree) {
  const test::Scope scope = fields();
  const Value keys = test::eval_in(scope, method(event_ref({"m2"}), "keys"));
  const Value values = test::eval_in(scope, method(event_ref({"m2"}), "values"));
  ASSERT_TRUE(keys.is_list());
  ASSERT_TRUE(values.is_list());
  ASSERT_EQ(keys.as_list().size(), 2u);
  ASSERT_EQ(values.as_list().size(), 2u);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 2; ++i) {
    ASSERT_TRUE(keys.as_list()[i].is_string());
    names.push_back(keys.as_list()[i].as_string().str());
    const Value* stored = scope.event.fields.find("m2")->as_map().find(names.back());
    EXPECT_TRUE(test::same_value(values.as_list()[i], *stored)) << names.back();
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

TEST(BuiltinTest, MethodResultsAreCopies) {
  const test::Scope scope = fields();
  const Value first = test::eval_in(scope, method(event_ref({"l3"}), "first"));
  const Value again = test::eval_in(scope, method(event_ref({"l3"}), "first"));
  EXPECT_TRUE(test::same_value(first, again));
  EXPECT_TRUE(test::same_value(*scope.event.fields.find("l3"), list_value({I(1), S("two"), F(3.5)})));
}

}  // namespace
}  // namespace zelvo
