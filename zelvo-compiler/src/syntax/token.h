// Tokens of the policy language (docs/grammar.ebnf, "tokens").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo::lang {

enum class Tok : std::uint8_t {
  End,
  Word,      // identifier or keyword: `text`
  String,    // decoded text in `text`
  RawName,   // decoded text in `text`
  Regex,     // a pattern literal: decoded pattern in `text`, its spelling in `pattern`
  Int,       // `uint` (magnitude); `overflow` when it exceeds u64
  Float,     // `real`; `overflow` when infinite
  Duration,  // `uint` count, `unit` (DurationUnit ordinal); `overflow` when the count exceeds u64
  LParen, RParen, LBrace, RBrace, LBracket, RBracket,
  Comma, Colon, Dot, Assign, Arrow, FatArrow,
  Eq, Neq, Lt, Le, Gt, Ge, Plus, Minus, Star, Slash, Percent,
  Underscore,
  Error,     // a malformed token, already reported
};

// How a pattern literal was written: `pattern"..."` (checked against
// misreading), `re"..."` (the deprecated spelling, checked the same way) or
// `verbatim"..."` (taken as it is).
enum class PatternSpelling : std::uint8_t { Pattern, Regex, Verbatim };

struct Token {
  Tok kind = Tok::End;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  // Word, Int, Float, Duration: the spelling; String, RawName, Regex: the
  // decoded text. A view of the source, or of text the lexer keeps while
  // it lives (a decoded escape).
  std::string_view text;
  std::uint64_t uint = 0;
  double real = 0;
  std::uint8_t unit = 0;
  bool overflow = false;
  PatternSpelling pattern = PatternSpelling::Pattern;  // Regex

  bool is_word(std::string_view w) const noexcept { return kind == Tok::Word && text == w; }
  std::uint32_t end() const noexcept { return offset + length; }
};

// How a token is named in "expected ..., found ..." messages: `"}"`,
// `identifier "foo"`, `keyword "rule"`, `string`, `end of file`.
std::string describe(const Token& t);
std::string_view punctuation_text(Tok kind) noexcept;
// At most `max` bytes of text (cut at a character boundary), "..." after a cut.
std::string clip(std::string_view text, std::size_t max);

}  // namespace zelvo::lang
