// Line and column of byte offsets, against a plain count over the text:
// Source::position (line table and checkpoints) and fill_positions (one
// pass over sorted span ends), on random texts with multi-byte characters,
// empty lines and lines longer than a checkpoint's stride.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "diag/messages.h"
#include "lower/lower.h"
#include "syntax/source.h"

namespace zelvo::lang {
namespace {

struct Naive {
  std::uint32_t line;
  std::uint32_t column;
};

// Lines counted by line feeds; columns by bytes that do not continue a
// UTF-8 sequence, the leading byte-order mark (when `skip_bom`) taking none.
Naive naive(const std::string& text, std::size_t offset, bool skip_bom) {
  Naive p{1, 1};
  const bool bom = skip_bom && text.rfind("\xEF\xBB\xBF", 0) == 0;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++p.line;
      p.column = 1;
    } else if ((c & 0xC0) != 0x80 && !(bom && i == 0)) {
      ++p.column;
    }
  }
  return p;
}

std::string random_text(std::mt19937& rng, bool bom) {
  static const std::vector<std::string> kPieces{"a", "rule", " ", "\n", "\n\n", "\xC3\xA9", "\xE2\x82\xAC",
                                               "\xF0\x9F\x98\x80", "\r\n", std::string(5000, 'x')};
  std::string text = bom ? "\xEF\xBB\xBF" : "";
  const std::size_t pieces = std::uniform_int_distribution<std::size_t>(0, 60)(rng);
  for (std::size_t i = 0; i < pieces; ++i) {
    // The long line is rare, so that most texts are short.
    std::size_t k = std::uniform_int_distribution<std::size_t>(0, kPieces.size() * 4)(rng);
    text += kPieces[k < kPieces.size() * 4 ? k % (kPieces.size() - 1) : kPieces.size() - 1];
  }
  return text;
}

TEST(Positions, SourceAndFilledSpansMatchAPlainCount) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 300; ++round) {
    const bool bom = round % 3 == 0;
    const std::string text = random_text(rng, bom);
    const Source source(text, "t.zelvo");
    std::vector<Span> spans;
    std::uniform_int_distribution<std::uint32_t> any(0, static_cast<std::uint32_t>(text.size()));
    for (int k = 0; k < 40; ++k) {
      const std::uint32_t a = any(rng);
      const std::uint32_t b = any(rng);
      Span s;
      s.offset = std::min(a, b);
      s.length = std::max(a, b) - s.offset;
      spans.push_back(s);
      const Naive n = naive(text, a, true);
      const Source::Position p = source.position(a);
      ASSERT_EQ(p.line, n.line) << "round " << round << " offset " << a;
      ASSERT_EQ(p.column, n.column) << "round " << round << " offset " << a;
    }
    std::vector<Span*> pointers;
    for (Span& s : spans) pointers.push_back(&s);
    fill_positions(pointers, source);
    for (const Span& s : spans) {
      const Naive start = naive(text, s.offset, false);
      const Naive end = naive(text, s.offset + s.length, false);
      ASSERT_EQ(s.line, start.line);
      ASSERT_EQ(s.column, start.column);
      ASSERT_EQ(s.end_line, end.line);
      ASSERT_EQ(s.end_column, end.column);
    }
  }
}

}  // namespace
}  // namespace zelvo::lang
