#include "syntax/lexer.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "model/utf8.h"

namespace zelvo::lang {

namespace {

// Byte classes, looked up once per byte on the paths every token takes.
enum : std::uint8_t {
  kSpace = 1,       // ' ', '\t', '\r' (a line feed is handled apart)
  kWordStart = 2,   // letter or '_'
  kWordChar = 4,    // letter, digit or '_'
  kQuotedPlain = 8, // printable ASCII other than '"', '`' and '\\': copied as it is inside quotes
};

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> t{};
  t[' '] = t['\t'] = t['\r'] = kSpace;
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= kWordStart | kWordChar;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kWordStart | kWordChar;
  for (int c = '0'; c <= '9'; ++c) t[c] |= kWordChar;
  t['_'] |= kWordStart | kWordChar;
  for (int c = 0x20; c < 0x7F; ++c) {
    if (c != '"' && c != '`' && c != '\\') t[c] |= kQuotedPlain;
  }
  return t;
}();

bool has_class(char c, std::uint8_t cls) noexcept { return (kByteClass[static_cast<unsigned char>(c)] & cls) != 0; }

bool is_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_word_char(char c) noexcept { return has_class(c, kWordChar); }
bool is_hex(char c) noexcept { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string hex_byte(unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", c);
  return buf;
}

std::string code_point_text(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(cp));
  return buf;
}

// An invalid byte and the continuation bytes that follow it (at most
// three): reported once.
std::uint32_t invalid_run(std::string_view text, std::size_t i) noexcept {
  std::uint32_t n = 1;
  while (n < 4 && i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

}  // namespace

Lexer::Lexer(const Source& source, DiagnosticSink& sink, std::vector<Comment>* comments)
    : source_(source), text_(source.text()), sink_(sink), comments_(comments) {
  // A leading UTF-8 byte-order mark is not part of the text.
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = line_start_ = 3;
}

char Lexer::peek(std::size_t ahead) const noexcept {
  const std::size_t i = pos_ + ahead;
  return i < text_.size() ? text_[i] : '\0';
}

void Lexer::report(Msg msg, std::uint32_t offset, std::vector<std::string> args, Hint hint,
                   std::vector<std::string> hint_args) {
  sink_.report(msg, offset, std::move(args), hint, std::move(hint_args));
}

// One byte or character that cannot start a token: reported, skipped.
void Lexer::bad_character() {
  const auto c = static_cast<unsigned char>(text_[pos_]);
  if (c == 0) {
    report(Msg::NulByte, pos_);
    ++pos_;
    return;
  }
  const std::size_t n = utf8_length(text_, pos_);
  if (n == 0) {
    report(Msg::InvalidUtf8, pos_, {hex_byte(c)});
    pos_ += invalid_run(text_, pos_);
    return;
  }
  std::string shown;
  if (c < 0x20 || c == 0x7f) {
    shown = "U+" + code_point_text(c);
  } else {
    shown = "\"" + std::string(text_.substr(pos_, n)) + "\"";
  }
  report(Msg::UnexpectedCharacter, pos_, {shown});
  pos_ += static_cast<std::uint32_t>(n);
}

void Lexer::skip_space_and_comments() {
  // Only a comment reports anything, so the sink is looked at before the
  // first byte and after each comment.
  if (sink_.full()) return;
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  while (pos_ < size) {
    const char c = data[pos_];
    if (has_class(c, kSpace)) {
      ++pos_;
    } else if (c == '\n') {
      ++pos_;
      line_start_ = pos_;
      line_has_token_ = false;
    } else if (c == '/' && (peek(1) == '/' || peek(1) == '*')) {
      const std::uint32_t start = pos_;
      const bool block = peek(1) == '*';
      pos_ += 2;
      bool closed = !block;
      while (pos_ < text_.size()) {
        const char d = text_[pos_];
        if (!block && d == '\n') break;
        if (block && d == '*' && peek(1) == '/') {
          pos_ += 2;
          closed = true;
          break;
        }
        if (d == '\n') {
          ++pos_;
          line_start_ = pos_;
          continue;
        }
        if (d == '\0') {
          report(Msg::NulByte, pos_);
          ++pos_;
          continue;
        }
        const std::size_t n = utf8_length(text_, pos_);
        if (n == 0) {
          report(Msg::InvalidUtf8, pos_, {hex_byte(static_cast<unsigned char>(d))});
          pos_ += invalid_run(text_, pos_);
        } else {
          pos_ += static_cast<std::uint32_t>(n);
        }
      }
      if (!closed) report(Msg::UnterminatedComment, start);
      if (comments_ != nullptr) {
        Comment comment;
        comment.span.offset = start;  // lines and columns are filled by the caller
        comment.span.length = pos_ - start;
        // Lines end with a line feed alone in what the formatter writes: a
        // carriage return inside a comment is dropped.
        for (const char d : text_.substr(start, pos_ - start)) {
          if (d != '\r') comment.text += d;
        }
        comment.own_line = !line_has_token_;
        comments_->push_back(std::move(comment));
      }
      if (sink_.full()) return;
    } else {
      return;
    }
  }
}

Token Lexer::next() {
  for (;;) {
    // Blanks here; line ends and comments (rarer, and they may report) there.
    while (pos_ < text_.size() && has_class(text_[pos_], kSpace)) ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '/')) skip_space_and_comments();
    if (pos_ >= text_.size() || sink_.full()) {
      Token t;
      t.kind = Tok::End;
      t.offset = static_cast<std::uint32_t>(text_.size());
      return t;
    }
    const std::uint32_t start = pos_;
    const char c = text_[pos_];
    line_has_token_ = true;
    if (has_class(c, kWordStart)) {
      if (c == 'p' || c == 'v' || c == 'r') {
        if (Token p; pattern_prefix(start, p)) return p;
      }
      return lex_word(start);
    }
    if (is_digit(c)) return lex_number(start);
    if (c == '"') return lex_quoted(start, start + 1, '"', Tok::String);
    if (c == '`') return lex_quoted(start, start + 1, '`', Tok::RawName);

    Token t;
    t.offset = start;
    std::uint32_t len = 1;
    switch (c) {
      case '(': t.kind = Tok::LParen; break;
      case ')': t.kind = Tok::RParen; break;
      case '{': t.kind = Tok::LBrace; break;
      case '}': t.kind = Tok::RBrace; break;
      case '[': t.kind = Tok::LBracket; break;
      case ']': t.kind = Tok::RBracket; break;
      case ',': t.kind = Tok::Comma; break;
      case ':': t.kind = Tok::Colon; break;
      case '.': t.kind = Tok::Dot; break;
      case '+': t.kind = Tok::Plus; break;
      case '*': t.kind = Tok::Star; break;
      case '/': t.kind = Tok::Slash; break;
      case '%': t.kind = Tok::Percent; break;
      case '-':
        if (peek(1) == '>') {
          t.kind = Tok::Arrow;
          len = 2;
        } else {
          t.kind = Tok::Minus;
        }
        break;
      case '=':
        if (peek(1) == '=') {
          t.kind = Tok::Eq;
          len = 2;
        } else if (peek(1) == '>') {
          t.kind = Tok::FatArrow;
          len = 2;
        } else {
          t.kind = Tok::Assign;
        }
        break;
      case '!':
        if (peek(1) != '=') {
          bad_character();
          continue;
        }
        t.kind = Tok::Neq;
        len = 2;
        break;
      case '<':
        t.kind = peek(1) == '=' ? Tok::Le : Tok::Lt;
        len = peek(1) == '=' ? 2 : 1;
        break;
      case '>':
        t.kind = peek(1) == '=' ? Tok::Ge : Tok::Gt;
        len = peek(1) == '=' ? 2 : 1;
        break;
      default:
        bad_character();
        continue;
    }
    pos_ += len;
    t.length = len;
    return t;
  }
}

Token Lexer::lex_word(std::uint32_t start) {
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  std::uint32_t at = pos_;
  while (at < size && has_class(data[at], kWordChar)) ++at;
  pos_ = at;
  Token t;
  t.offset = start;
  t.length = pos_ - start;
  t.text = text_.substr(start, t.length);
  t.kind = t.text == "_" ? Tok::Underscore : Tok::Word;
  return t;
}

Token Lexer::lex_number(std::uint32_t start) {
  Token t;
  t.offset = start;
  t.kind = Tok::Int;
  std::uint64_t value = 0;
  while (pos_ < text_.size() && is_digit(text_[pos_])) {
    const std::uint64_t d = static_cast<std::uint64_t>(text_[pos_] - '0');
    if (value > (UINT64_MAX - d) / 10) t.overflow = true;
    value = value * 10 + d;
    ++pos_;
  }
  bool is_float = false;
  if (peek() == '.' && is_digit(peek(1))) {
    is_float = true;
    ++pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  if ((peek() == 'e' || peek() == 'E') &&
      (is_digit(peek(1)) || ((peek(1) == '+' || peek(1) == '-') && is_digit(peek(2))))) {
    is_float = true;
    pos_ += 2;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  if (is_float) {
    t.kind = Tok::Float;
    const std::string digits(text_.substr(start, pos_ - start));
    t.real = std::strtod(digits.c_str(), nullptr);
    t.overflow = std::isinf(t.real);
  } else {
    t.uint = value;
    // A duration unit, longest first.
    static constexpr std::string_view kUnits[] = {"ms", "s", "m", "h", "d"};
    const char after = peek();
    const bool unit_letter = after == 'm' || after == 's' || after == 'h' || after == 'd';
    for (std::uint8_t u = 0; unit_letter && u < 5; ++u) {
      const std::string_view unit = kUnits[u];
      if (text_.substr(pos_, unit.size()) == unit && !is_word_char(peek(unit.size()))) {
        t.kind = Tok::Duration;
        t.unit = u;
        pos_ += static_cast<std::uint32_t>(unit.size());
        break;
      }
    }
  }
  if (pos_ < text_.size() && is_word_char(text_[pos_])) {
    while (pos_ < text_.size() && (is_word_char(text_[pos_]) || text_[pos_] == '.')) ++pos_;
    t.length = pos_ - start;
    report(Msg::InvalidNumber, start, {std::string(text_.substr(start, t.length))});
    t.kind = Tok::Error;
    return t;
  }
  t.length = pos_ - start;
  t.text = text_.substr(start, t.length);
  return t;
}

// After the backslash: appends the escaped character, or reports.
bool Lexer::read_escape(std::string& out) {
  const std::uint32_t at = pos_ - 1;
  const char c = peek();
  switch (c) {
    case '"': out += '"'; ++pos_; return true;
    case '\\': out += '\\'; ++pos_; return true;
    case '`': out += '`'; ++pos_; return true;
    case 'n': out += '\n'; ++pos_; return true;
    case 'r': out += '\r'; ++pos_; return true;
    case 't': out += '\t'; ++pos_; return true;
    case 'u': {
      if (peek(1) == '{') {
        std::size_t k = 2;
        char32_t cp = 0;
        while (k < 8 && is_hex(peek(k))) {
          const char h = peek(k);
          cp = cp * 16 + static_cast<char32_t>(is_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
          ++k;
        }
        if (k > 2 && peek(k) == '}' && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
          utf8::append(out, cp);
          pos_ += static_cast<std::uint32_t>(k + 1);
          return true;
        }
        std::size_t shown = k;
        if (peek(k) == '}') ++shown;
        report(Msg::InvalidEscape, at, {"\"\\" + std::string(text_.substr(pos_, shown)) + "\""}, Hint::Escapes);
        pos_ += static_cast<std::uint32_t>(k);
        return false;
      }
      break;
    }
    default: break;
  }
  if (c == '\n' || pos_ >= text_.size()) return false;  // the caller reports the unterminated text
  const std::size_t n = utf8_length(text_, pos_);
  const std::string shown = n == 0 ? "\\x" + hex_byte(static_cast<unsigned char>(c)) : std::string(text_.substr(pos_, n));
  report(Msg::InvalidEscape, at, {"\"\\" + shown + "\""}, Hint::Escapes);
  pos_ += static_cast<std::uint32_t>(n == 0 ? 1 : n);
  return false;
}

// A pattern literal: `pattern"`, `verbatim"` or `re"` directly before the quote.
bool Lexer::pattern_prefix(std::uint32_t start, Token& out) {
  static constexpr std::pair<std::string_view, PatternSpelling> kPrefixes[] = {
      {"pattern", PatternSpelling::Pattern}, {"verbatim", PatternSpelling::Verbatim}, {"re", PatternSpelling::Regex}};
  for (const auto& [word, spelling] : kPrefixes) {
    const std::size_t n = word.size();
    if (peek(n) == '"' && text_.substr(start, n) == word) {
      out = lex_quoted(start, start + static_cast<std::uint32_t>(n) + 1, '"', Tok::Regex);
      out.pattern = spelling;
      return true;
    }
  }
  return false;
}

Token Lexer::lex_quoted(std::uint32_t start, std::uint32_t body, char delimiter, Tok kind) {
  Token t;
  t.offset = start;
  t.kind = kind;
  pos_ = body;
  bool bad = false;
  bool plain = true;  // the text is its spelling: no escape, no line end dropped
  scratch_.clear();
  for (;;) {
    if (pos_ >= text_.size() || text_[pos_] == '\n') {
      const Msg m = delimiter == '"' ? Msg::UnterminatedString : Msg::UnterminatedRawName;
      report(m, start, {}, Hint::CloseString);
      t.kind = Tok::Error;
      break;
    }
    const char c = text_[pos_];
    if (has_class(c, kQuotedPlain)) {
      std::uint32_t run = pos_ + 1;
      while (run < text_.size() && has_class(text_[run], kQuotedPlain)) ++run;
      scratch_.append(text_.data() + pos_, run - pos_);
      pos_ = run;
      continue;
    }
    if (c == delimiter) {
      ++pos_;
      break;
    }
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      ++pos_;
      plain = false;
      if (!read_escape(scratch_)) bad = true;
      continue;
    }
    if (u == 0) {
      report(Msg::NulByte, pos_);
      bad = true;
      ++pos_;
      continue;
    }
    if (u < 0x20 && c != '\r') {
      report(Msg::ControlCharacter, pos_, {code_point_text(u)}, Hint::EscapeControl);
      bad = true;
      ++pos_;
      continue;
    }
    if (c == '\r') {  // a carriage return ending the line ends the text too
      if (peek(1) == '\n') {
        plain = false;
        ++pos_;
        continue;
      }
      report(Msg::ControlCharacter, pos_, {code_point_text(u)}, Hint::EscapeControl);
      bad = true;
      ++pos_;
      continue;
    }
    const std::size_t n = utf8_length(text_, pos_);
    if (n == 0) {
      report(Msg::InvalidUtf8, pos_, {hex_byte(u)});
      bad = true;
      pos_ += invalid_run(text_, pos_);
      continue;
    }
    scratch_.append(text_.data() + pos_, n);
    pos_ += static_cast<std::uint32_t>(n);
  }
  if (plain) {
    t.text = text_.substr(body, scratch_.size());
  } else {
    t.text = decoded_.emplace_back(scratch_);
  }
  if (bad) t.kind = Tok::Error;
  t.length = pos_ - start;
  return t;
}

}  // namespace zelvo::lang
