// The JSON writer: floats in both styles, strings in both styles (the JSON
// one as Python's json.dumps(..., ensure_ascii=False) writes it), integers,
// the buffer, and documents in both layouts.
#include "json/writer.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace zelvo::json {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One float or one string, written in a style.
struct PieceCase {
  Style style;
  std::variant<double, std::string> value;
  std::string text;
};

class Pieces : public ::testing::TestWithParam<PieceCase> {};

TEST_P(Pieces, AreWrittenInTheirStyle) {
  const PieceCase& c = GetParam();
  Writer out(c.style);
  if (const double* d = std::get_if<double>(&c.value)) {
    out.f64(*d);
  } else {
    out.quoted(std::get<std::string>(c.value));
  }
  EXPECT_EQ(out.view(), c.text);
}

constexpr Style R{.floats = FloatStyle::Repr};
constexpr Style S{.floats = FloatStyle::Shortest};
constexpr Style J{.strings = StringStyle::Json};
constexpr Style D{.strings = StringStyle::Display};

INSTANTIATE_TEST_SUITE_P(
    Table, Pieces,
    ::testing::Values(
        // Python's repr.
        PieceCase{R, 0.0, "0.0"}, PieceCase{R, -0.0, "-0.0"}, PieceCase{R, 1.0, "1.0"}, PieceCase{R, 2.5, "2.5"},
        PieceCase{R, -1.5, "-1.5"}, PieceCase{R, 0.1 + 0.2, "0.30000000000000004"},
        PieceCase{R, 1e15, "1000000000000000.0"}, PieceCase{R, 1e16, "1e+16"}, PieceCase{R, 1.5e16, "1.5e+16"},
        PieceCase{R, 1234567890123456.0, "1234567890123456.0"}, PieceCase{R, 0.0001, "0.0001"},
        PieceCase{R, 0.00001, "1e-05"}, PieceCase{R, 1.5e-7, "1.5e-07"}, PieceCase{R, 1e22, "1e+22"},
        PieceCase{R, 1e-300, "1e-300"}, PieceCase{R, 1.7976931348623157e308, "1.7976931348623157e+308"},
        PieceCase{R, 5e-324, "5e-324"}, PieceCase{R, 123.456, "123.456"}, PieceCase{R, kInf, "Infinity"},
        PieceCase{R, -kInf, "-Infinity"}, PieceCase{R, std::nan(""), "NaN"},
        // The shortest text, always reading as a float.
        PieceCase{S, 0.0, "0.0"}, PieceCase{S, -0.0, "-0.0"}, PieceCase{S, 2.0, "2.0"}, PieceCase{S, 0.1, "0.1"},
        PieceCase{S, -1.5, "-1.5"}, PieceCase{S, 1e300, "1e+300"}, PieceCase{S, 1e15, "1e+15"},
        PieceCase{S, 123456789.0, "123456789.0"}, PieceCase{S, 0.0001, "1e-04"}, PieceCase{S, 5e-324, "5e-324"},
        PieceCase{S, 0.1 + 0.2, "0.30000000000000004"},
        // JSON strings, as json.dumps(..., ensure_ascii=False) writes them.
        PieceCase{J, "", "\"\""}, PieceCase{J, "plain", "\"plain\""},
        PieceCase{J, "a \"quoted\" \\ word", "\"a \\\"quoted\\\" \\\\ word\""},
        PieceCase{J, "\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        PieceCase{J, std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
        PieceCase{J, std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
        PieceCase{J, "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "\"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80\""},
        PieceCase{J, "\xC2\x85", "\"\xC2\x85\""},
        PieceCase{J, "a longer text of thirty-two byte\"s, then more",
                  "\"a longer text of thirty-two byte\\\"s, then more\""},
        // The decoder's messages.
        PieceCase{D, "a \"quoted\" \\ word", "\"a \\\"quoted\\\" \\\\ word\""},
        PieceCase{D, std::string("\n\r\t\0", 4), "\"\\n\\r\\t\\0\""},
        PieceCase{D, "\b\f\x01\x1f\x7f", "\"\\u{8}\\u{c}\\u{1}\\u{1f}\\u{7f}\""},
        PieceCase{D, "\xC2\x85 \xC2\x9F \xC2\xA0 \xC3\xA9", "\"\\u{85} \\u{9f} \xC2\xA0 \xC3\xA9\""},
        PieceCase{D, "\xC2", "\"\xC2\""}));

// Each byte JSON escapes, at every offset of texts up to 40 bytes long, so
// that it falls in each lane of the wide scans and in the tail after them.
TEST(Strings, EscapesAreFoundWhereverTheyStand) {
  const std::pair<char, std::string> escapes[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\0', "\\u0000"}, {'\x1f', "\\u001f"}, {'\x7f', "\x7f"},
      {'\x80', "\x80"}, {' ', " "}};
  for (std::size_t size = 1; size <= 40; ++size) {
    for (std::size_t at = 0; at < size; ++at) {
      for (const auto& [byte, escaped] : escapes) {
        std::string text(size, 'a');
        text[at] = byte;
        Writer out;
        out.quoted(text);
        const std::string want = "\"" + std::string(at, 'a') + escaped + std::string(size - at - 1, 'a') + "\"";
        ASSERT_EQ(out.view(), want) << "size " << size << ", at " << at << ", byte " << int(byte);
      }
    }
  }
}

// Integers read as std::to_chars writes them, at each digit count and on
// both sides of every power of ten.
TEST(Writer, IntegersMatchToChars) {
  std::vector<std::uint64_t> values = {0, 1, 9, 18446744073709551615ull};
  for (std::uint64_t p = 1; p <= 1000000000000000000ull; p *= 10) {
    for (std::uint64_t v : {p - 1, p, p + 1, 2 * p - 1, 9 * p, 10 * p - 1}) values.push_back(v);
  }
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    values.push_back(x >> (i % 64));
  }
  for (const std::uint64_t v : values) {
    char want[24];
    Writer out;
    out.u64(v);
    ASSERT_EQ(out.view(), std::string_view(want, std::to_chars(want, want + 24, v).ptr - want)) << v;
    const auto s = static_cast<std::int64_t>(v);
    Writer signed_out;
    signed_out.i64(s);
    ASSERT_EQ(signed_out.view(), std::string_view(want, std::to_chars(want, want + 24, s).ptr - want)) << s;
  }
}

TEST(Writer, IntegersAndGrowth) {
  Writer out;
  out.u64(18446744073709551615ull);
  out.ch(' ');
  out.i64(-9223372036854775807 - 1);
  EXPECT_EQ(out.view(), "18446744073709551615 -9223372036854775808");
  out.clear();
  std::string expected;
  for (int i = 0; i < 10000; ++i) {
    out.quoted("x");
    expected += "\"x\"";
  }
  EXPECT_EQ(out.view(), expected);
  out.truncate(3);
  EXPECT_EQ(std::move(out).take(), "\"x\"");
}

// One document through the value calls, in each layout.
std::string document(Layout layout) {
  Writer out(Style{.layout = layout});
  out.begin_object();
  out.key("name");
  out.string("a\"b");
  out.key("numbers");
  out.begin_array();
  out.integer(-3);
  out.unsigned_integer(18446744073709551615ull);
  out.floating(2.0);
  out.end_array();
  out.key("empty");
  out.begin_array();
  out.end_array();
  out.key("none");
  out.begin_object();
  out.end_object();
  out.key("nested");
  out.begin_array();
  out.begin_object();
  out.key("flag");
  out.boolean(true);
  out.key("other");
  out.boolean(false);
  out.end_object();
  out.null();
  out.end_array();
  out.end_object();
  return std::move(out).take();
}

TEST(Writer, PlacesSeparatorsInEachLayout) {
  EXPECT_EQ(document(Layout::Compact),
            R"({"name":"a\"b","numbers":[-3,18446744073709551615,2.0],"empty":[],"none":{},)"
            R"("nested":[{"flag":true,"other":false},null]})");
  EXPECT_EQ(document(Layout::Indented), R"({
  "name": "a\"b",
  "numbers": [
    -3,
    18446744073709551615,
    2.0
  ],
  "empty": [],
  "none": {},
  "nested": [
    {
      "flag": true,
      "other": false
    },
    null
  ]
})");
}

}  // namespace
}  // namespace zelvo::json
