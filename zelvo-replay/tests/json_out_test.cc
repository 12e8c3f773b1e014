// The writer's text is what Python's json.dumps(..., ensure_ascii=False)
// writes for the same values.
#include "replay/json_out.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace zelvo::replay {
namespace {

struct FloatCase {
  double value;
  const char* text;
};

class Floats : public ::testing::TestWithParam<FloatCase> {};

TEST_P(Floats, AreWrittenAsPythonsRepr) {
  JsonOut out;
  out.f64(GetParam().value);
  EXPECT_EQ(out.view(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Floats,
    ::testing::Values(FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{1.0, "1.0"}, FloatCase{2.5, "2.5"},
                      FloatCase{-1.5, "-1.5"}, FloatCase{0.1 + 0.2, "0.30000000000000004"},
                      FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "1e+16"},
                      FloatCase{1.5e16, "1.5e+16"}, FloatCase{1234567890123456.0, "1234567890123456.0"},
                      FloatCase{0.0001, "0.0001"}, FloatCase{0.00001, "1e-05"}, FloatCase{1.5e-7, "1.5e-07"},
                      FloatCase{1e22, "1e+22"}, FloatCase{1e-300, "1e-300"}, FloatCase{1.7976931348623157e308,
                      "1.7976931348623157e+308"}, FloatCase{5e-324, "5e-324"}, FloatCase{123.456, "123.456"},
                      FloatCase{std::numeric_limits<double>::infinity(), "Infinity"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-Infinity"},
                      FloatCase{std::nan(""), "NaN"}));

struct StrCase {
  std::string text;
  std::string json;
};

class Strings : public ::testing::TestWithParam<StrCase> {};

TEST_P(Strings, AreEscapedAsPythonEscapesThem) {
  JsonOut out;
  out.str(GetParam().text);
  EXPECT_EQ(out.view(), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Strings,
    ::testing::Values(StrCase{"", "\"\""}, StrCase{"plain", "\"plain\""},
                      StrCase{"a \"quoted\" \\ word", "\"a \\\"quoted\\\" \\\\ word\""},
                      StrCase{"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
                      StrCase{std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
                      StrCase{std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
                      StrCase{"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "\"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80\""},
                      StrCase{"a longer text of thirty-two byte\"s, then more", "\"a longer text of thirty-two byte\\\"s, then more\""}));

TEST(JsonOut, IntegersAndGrowth) {
  JsonOut out;
  out.u64(18446744073709551615ull);
  out.ch(' ');
  out.i64(-9223372036854775807 - 1);
  EXPECT_EQ(out.view(), "18446744073709551615 -9223372036854775808");
  out.clear();
  std::string expected;
  for (int i = 0; i < 10000; ++i) {
    out.str("x");
    expected += "\"x\"";
  }
  EXPECT_EQ(out.view(), expected);
}

}  // namespace
}  // namespace zelvo::replay
