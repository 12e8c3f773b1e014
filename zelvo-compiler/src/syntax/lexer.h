// The lexer: source text -> tokens, on demand.
//
// Malformed text is reported to the sink and skipped (an Error token
// stands for a malformed literal), so that parsing goes on and later
// errors are found too. Every byte is looked at a bounded number of times.
// A token's text is a view of the source, except for a quoted text with
// escapes, whose decoded form the lexer keeps until it goes.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "syntax/span.h"
#include "diag/messages.h"
#include "syntax/source.h"
#include "syntax/token.h"

namespace zelvo::lang {

class Lexer {
 public:
  // `comments` (may be null) receives every comment.
  Lexer(const Source& source, DiagnosticSink& sink, std::vector<Comment>* comments);

  // The next token; End at the end of the text (and, once the sink is
  // full, at once).
  Token next();

 private:
  void skip_space_and_comments();
  Token lex_word(std::uint32_t start);
  Token lex_number(std::uint32_t start);
  Token lex_quoted(std::uint32_t start, std::uint32_t body, char delimiter, Tok kind);
  bool pattern_prefix(std::uint32_t start, Token& out);
  bool read_escape(std::string& out);
  void bad_character();
  char peek(std::size_t ahead = 0) const noexcept;
  void report(Msg msg, std::uint32_t offset, std::vector<std::string> args = {}, Hint hint = Hint::None,
              std::vector<std::string> hint_args = {});

  const Source& source_;
  std::string_view text_;
  DiagnosticSink& sink_;
  std::vector<Comment>* comments_;
  std::uint32_t pos_ = 0;
  std::uint32_t line_start_ = 0;  // offset of the current line's first byte
  bool line_has_token_ = false;
  std::string scratch_;              // the decoded text of the current quoted token
  std::deque<std::string> decoded_;  // decoded texts that differ from their spelling
};

}  // namespace zelvo::lang
