// The lexer's fast paths against plain definitions: keyword lookup (by
// first letter) against membership in the keyword list, and quoted text
// (copied by runs of plain bytes) against the text its pieces decode to.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "diag/messages.h"
#include "syntax/lexer.h"
#include "syntax/lexical.h"
#include "syntax/source.h"

namespace zelvo::lang {
namespace {

bool listed(std::string_view word) {
  const auto all = keywords();
  return std::find(all.begin(), all.end(), word) != all.end();
}

TEST(Lexical, KeywordLookupAgreesWithTheList) {
  std::vector<std::string> words;
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzAZ_09";
  for (std::string_view k : keywords()) {
    words.emplace_back(k);
    words.emplace_back(k.substr(0, k.size() - 1));
    words.push_back(std::string(k) + "s");
    for (std::size_t i = 0; i < k.size(); ++i) {
      for (char c : alphabet) {
        std::string w(k);
        w[i] = c;
        words.push_back(w);
      }
    }
  }
  std::mt19937 rng(31);
  for (int n = 0; n < 20000; ++n) {
    std::string w(1 + rng() % 12, 'a');
    for (char& c : w) c = alphabet[rng() % alphabet.size()];
    words.push_back(w);
  }
  words.emplace_back("");
  words.emplace_back("\xC3\xA9t");
  for (const std::string& w : words) EXPECT_EQ(is_keyword(w), listed(w)) << w;
}

TEST(Lexical, QuotedTextDecodesPieceByPiece) {
  struct Piece {
    const char* spelling;
    const char* text;
  };
  const Piece pieces[] = {{"abc", "abc"},     {" x-y ", " x-y "}, {"\\n", "\n"},   {"\\\"", "\""},
                          {"\\\\", "\\"},     {"`", "`"},         {"\xC3\xA9", "\xC3\xA9"},
                          {"\\u{263A}", "\xE2\x98\xBA"},          {"~", "~"},      {"\\t", "\t"}};
  std::mt19937 rng(7);
  for (int n = 0; n < 2000; ++n) {
    std::string spelling = "\"";
    std::string expected;
    for (std::size_t k = rng() % 8; k > 0; --k) {
      const Piece& p = pieces[rng() % std::size(pieces)];
      spelling += p.spelling;
      expected += p.text;
    }
    spelling += "\" x";
    const Source source(spelling, "t.zelvo");
    DiagnosticSink sink(source, 20);
    Lexer lexer(source, sink, nullptr);
    const Token t = lexer.next();
    ASSERT_EQ(t.kind, Tok::String) << spelling;
    EXPECT_EQ(t.text, expected) << spelling;
    EXPECT_EQ(t.length, spelling.size() - 2);
    EXPECT_TRUE(lexer.next().is_word("x"));
  }
}

}  // namespace
}  // namespace zelvo::lang
