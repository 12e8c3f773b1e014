// The JSON token layer shared by the runtime's readers: plain runs, the
// number grammar, escapes with surrogate pairs and UTF-8 checking, each
// with where it stops on a fault.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "json/escape.h"
#include "json/number_scan.h"
#include "json/text_run.h"
#include "json/utf8_check.h"

namespace zelvo::json {
namespace {

// Every length and every position of the byte that ends the run, so that
// the sixteen-, eight- and one-byte steps all meet it.
TEST(JsonTokensTest, PlainRunStopsAtTheFirstSpecialByte) {
  for (std::size_t n = 0; n <= 40; ++n) {
    for (const char stop : {'"', '\\', '\n', '\x1f', '\x80', '\xff'}) {
      std::string text(n, 'a');
      text += stop;
      text += "bb\"";
      const char* b = text.data();
      const char* e = b + text.size();
      const bool high = static_cast<unsigned char>(stop) >= 0x80;
      EXPECT_EQ(plain_run<true>(b, e) - b, static_cast<std::ptrdiff_t>(n)) << n;
      EXPECT_EQ(plain_run<false>(b, e) - b, static_cast<std::ptrdiff_t>(high ? n + 3 : n)) << n;
    }
    const std::string plain(n, 'a');
    EXPECT_EQ(plain_run<true>(plain.data(), plain.data() + n), plain.data() + n);
  }
}

struct NumberCase {
  std::string_view text;  // after an optional '-'
  NumberScan::Fault fault;
  std::size_t stop;
  bool integral;
};

TEST(JsonTokensTest, NumberGrammar) {
  using F = NumberScan::Fault;
  const NumberCase cases[] = {
      {"0", F::None, 1, true},          {"120,", F::None, 3, true},      {"1.5]", F::None, 3, false},
      {"0e-7", F::None, 4, false},      {"3E+10}", F::None, 5, false},   {"", F::End, 0, false},
      {"1.", F::End, 2, false},         {"1e", F::End, 2, false},        {"1e+", F::End, 3, false},
      {"x", F::Invalid, 0, false},      {"1.e", F::Invalid, 2, false},   {"2ex", F::Invalid, 2, false},
      {"01", F::LeadingZero, 1, false}, {"-1", F::Invalid, 0, false},
  };
  for (const NumberCase& c : cases) {
    const NumberScan s = scan_number(c.text.data(), c.text.data() + c.text.size());
    EXPECT_EQ(s.fault, c.fault) << c.text;
    EXPECT_EQ(static_cast<std::size_t>(s.stop - c.text.data()), c.stop) << c.text;
    if (c.fault == F::None) {
      EXPECT_EQ(s.integral, c.integral) << c.text;
    }
  }
}

struct EscapeCase {
  std::string_view text;  // after the backslash
  EscapeFault fault;
  std::size_t stop;
  std::string_view out;
};

TEST(JsonTokensTest, EscapesAndSurrogatePairs) {
  using F = EscapeFault;
  const EscapeCase cases[] = {
      {"n", F::None, 1, "\n"},
      {"u00e9x", F::None, 5, "\xc3\xa9"},
      {"ud83d\\ude00", F::None, 11, "\xf0\x9f\x98\x80"},
      {"", F::End, 0, ""},
      {"u12", F::End, 3, ""},
      {"q", F::InvalidEscape, 1, ""},
      {"u12g4", F::InvalidEscape, 4, ""},
      {"udc00", F::LoneLow, 5, ""},
      {"ud800", F::NoLowEnd, 5, ""},
      {"ud800\\", F::NoLowEnd, 6, ""},
      {"ud800x", F::NoLow, 6, ""},
      {"ud800\\n", F::NoLow, 7, ""},
      {"ud800\\u0041", F::BadLow, 11, ""},
  };
  for (const EscapeCase& c : cases) {
    const char* p = c.text.data();
    std::string out;
    EXPECT_EQ(unescape(p, c.text.data() + c.text.size(), out), c.fault) << c.text;
    EXPECT_EQ(static_cast<std::size_t>(p - c.text.data()), c.stop) << c.text;
    if (c.fault == F::None) {
      EXPECT_EQ(out, c.out) << c.text;
    }
  }
}

TEST(JsonTokensTest, Utf8WellFormedness) {
  const std::pair<std::string_view, bool> cases[] = {
      {"plain ascii text", true}, {"caf\xc3\xa9", true},        {"\xf4\x8f\xbf\xbf", true},
      {"\xc0\xaf", false},        {"\xe0\x80\xaf", false},      {"\xed\xa0\x80", false},
      {"\xf4\x90\x80\x80", false}, {"\xc3", false},             {"abcdefgh\xe2\x82", false},
  };
  for (const auto& [text, ok] : cases) EXPECT_EQ(valid_utf8(text), ok) << text;
}

}  // namespace
}  // namespace zelvo::json
