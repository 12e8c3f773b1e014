#include "model/json_reader.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "model/utf8.h"

namespace zelvo::json {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Non-zero when some byte of v is '"', '\\' or below 0x20 (may flag more
// bytes than those, never fewer).
inline std::uint64_t special_bytes(std::uint64_t v) noexcept {
  const std::uint64_t quote = v ^ (kOnes * '"');
  const std::uint64_t slash = v ^ (kOnes * '\\');
  return ((quote - kOnes) & ~quote & kHighs) | ((slash - kOnes) & ~slash & kHighs) |
         ((v - kOnes * 0x20) & ~v & kHighs);
}

inline bool is_special(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

// Advances p to the first '"', '\\' or control byte, or to end.
inline const char* scan_plain(const char* p, const char* end) noexcept {
  while (end - p >= 8) {
    if (special_bytes(load8(p)) != 0) break;
    p += 8;
  }
  while (p != end && !is_special(static_cast<unsigned char>(*p))) ++p;
  return p;
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Found found_number(const Number& n) {
  Found f;
  switch (n.kind) {
    case Number::Kind::U64: f.kind = Found::Kind::Unsigned; f.unsigned_value = n.u; break;
    case Number::Kind::I64: f.kind = Found::Kind::Signed; f.signed_value = n.i; break;
    case Number::Kind::F64: f.kind = Found::Kind::Float; f.float_value = n.f; break;
  }
  return f;
}

}  // namespace

bool valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p != end) {
    if (end - p >= 8 && (load8(reinterpret_cast<const char*>(p)) & kHighs) == 0) {
      p += 8;
      continue;
    }
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      ++p;
      continue;
    }
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      n = 3;
      if (b0 == 0xE0) lo = 0xA0;  // no overlongs
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      n = 4;
      if (b0 == 0xF0) lo = 0x90;  // no overlongs
      if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t k = 2; k < n; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
    }
    p += n;
  }
  return true;
}

// --- Faults -----------------------------------------------------------------

bool JsonReader::error(Errc code) {
  fault_ = Fault{};
  fault_.code = code;
  fault_.positioned = true;
  fault_.offset = offset();
  return false;
}

bool JsonReader::peek_error(Errc code) {
  fault_ = Fault{};
  fault_.code = code;
  fault_.positioned = true;
  fault_.offset = cur_ == end_ ? offset() : offset() + 1;
  return false;
}

bool JsonReader::shape_error(Fault fault) {
  fault_ = std::move(fault);
  fault_.positioned = false;
  return false;
}

bool JsonReader::missing_field(std::string_view name) {
  Fault f;
  f.code = Errc::MissingField;
  f.name = name;
  return shape_error(std::move(f));
}

bool JsonReader::duplicate_field(std::string_view name) {
  Fault f;
  f.code = Errc::DuplicateField;
  f.name = name;
  return shape_error(std::move(f));
}

bool JsonReader::invalid_length(std::size_t length, std::string expected) {
  Fault f;
  f.code = Errc::InvalidLength;
  f.length = length;
  f.expected = std::move(expected);
  return shape_error(std::move(f));
}

bool JsonReader::invalid_type(Found found, std::string_view expected) {
  Fault f;
  f.code = Errc::InvalidType;
  f.found = std::move(found);
  f.expected = expected;
  return shape_error(std::move(f));
}

bool JsonReader::invalid_value(Found found, std::string_view expected) {
  Fault f;
  f.code = Errc::InvalidValue;
  f.found = std::move(found);
  f.expected = expected;
  return shape_error(std::move(f));
}

void JsonReader::pin() noexcept {
  if (!fault_.positioned) {
    fault_.positioned = true;
    fault_.offset = offset();
  }
}

bool JsonReader::peek_invalid_type(std::string_view expected) {
  Found found;
  const char c = cur_ == end_ ? '\0' : *cur_;
  switch (c) {
    case 'n':
      eat();
      if (!ident("ull")) return false;
      found.kind = Found::Kind::Unit;
      break;
    case 't':
      eat();
      if (!ident("rue")) return false;
      found.kind = Found::Kind::Bool;
      found.boolean = true;
      break;
    case 'f':
      eat();
      if (!ident("alse")) return false;
      found.kind = Found::Kind::Bool;
      break;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      const bool positive = c != '-';
      if (!positive) eat();
      Number n;
      if (!number(positive, n)) return false;
      found = found_number(n);
      break;
    }
    case '"': {
      eat();
      std::string_view s;
      if (!string(s)) return false;
      found.kind = Found::Kind::String;
      found.text = s;
      break;
    }
    case '[': found.kind = Found::Kind::Seq; break;
    case '{': found.kind = Found::Kind::Map; break;
    default: return peek_error(Errc::ExpectedValue);
  }
  invalid_type(std::move(found), expected);
  pin();
  return false;
}

// --- Tokens -----------------------------------------------------------------

bool JsonReader::ident(std::string_view rest) {
  for (char expected : rest) {
    if (cur_ == end_) return error(Errc::EofWhileParsingValue);
    if (*cur_++ != expected) return error(Errc::ExpectedIdent);
  }
  return true;
}

bool JsonReader::string(std::string_view& out) {
  const char* start = cur_;
  bool escaped = false;
  for (;;) {
    cur_ = scan_plain(cur_, end_);
    if (cur_ == end_) return error(Errc::EofWhileParsingString);
    const char c = *cur_;
    if (c == '"') {
      if (!escaped) {
        out = std::string_view(start, static_cast<std::size_t>(cur_ - start));
      } else {
        scratch_.append(start, cur_);
        out = scratch_;
      }
      ++cur_;
      if (check_utf8_ && !valid_utf8(out)) return error(Errc::InvalidUnicodeCodePoint);
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        scratch_.clear();
        escaped = true;
      }
      scratch_.append(start, cur_);
      ++cur_;
      if (!escape()) return false;
      start = cur_;
      continue;
    }
    ++cur_;  // a raw control character
    return error(Errc::ControlCharacter);
  }
}

bool JsonReader::escape() {
  if (cur_ == end_) return error(Errc::EofWhileParsingString);
  switch (*cur_++) {
    case '"': scratch_ += '"'; return true;
    case '\\': scratch_ += '\\'; return true;
    case '/': scratch_ += '/'; return true;
    case 'b': scratch_ += '\b'; return true;
    case 'f': scratch_ += '\f'; return true;
    case 'n': scratch_ += '\n'; return true;
    case 'r': scratch_ += '\r'; return true;
    case 't': scratch_ += '\t'; return true;
    case 'u': return unicode_escape();
    default: return error(Errc::InvalidEscape);
  }
}

bool JsonReader::hex4(std::uint32_t& out) {
  if (end_ - cur_ < 4) {
    cur_ = end_;
    return error(Errc::EofWhileParsingString);
  }
  std::uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    const int v = hex_value(*cur_++);
    if (v < 0) return error(Errc::InvalidEscape);
    n = (n << 4) | static_cast<std::uint32_t>(v);
  }
  out = n;
  return true;
}

// A \u escape whose "\u" was consumed. Strings are text, so surrogates must
// come as a high one directly followed by an escaped low one.
bool JsonReader::unicode_escape() {
  std::uint32_t n;
  if (!hex4(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return error(Errc::LoneLeadingSurrogate);
  if (n < 0xD800 || n > 0xDBFF) {
    utf8::append(scratch_, n);
    return true;
  }
  for (char expected : {'\\', 'u'}) {
    if (cur_ == end_) return error(Errc::EofWhileParsingString);
    if (*cur_++ != expected) return error(Errc::UnexpectedEndOfHexEscape);
  }
  std::uint32_t low;
  if (!hex4(low)) return false;
  if (low < 0xDC00 || low > 0xDFFF) return error(Errc::LoneLeadingSurrogate);
  utf8::append(scratch_, 0x10000 + ((n - 0xD800) << 10) + (low - 0xDC00));
  return true;
}

bool JsonReader::number(bool positive, Number& out) {
  const char* start = positive ? cur_ : cur_ - 1;
  if (cur_ == end_) return error(Errc::EofWhileParsingValue);
  const char first = *cur_++;
  std::uint64_t significand = 0;
  bool fits = true;  // all integer digits fit in significand
  std::int64_t int_digits = 0;
  if (first == '0') {
    if (cur_ != end_ && is_digit(*cur_)) return peek_error(Errc::InvalidNumber);
  } else if (first >= '1' && first <= '9') {
    significand = static_cast<std::uint64_t>(first - '0');
    int_digits = 1;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    while (cur_ != end_ && is_digit(*cur_)) {
      const auto digit = static_cast<std::uint64_t>(*cur_ - '0');
      if (fits && significand >= kMax / 10 && (significand > kMax / 10 || digit > kMax % 10)) fits = false;
      if (fits) significand = significand * 10 + digit;
      if (int_digits < 1'000'000) ++int_digits;
      ++cur_;
    }
  } else {
    return error(Errc::InvalidNumber);
  }
  if (cur_ != end_ && (*cur_ == '.' || *cur_ == 'e' || *cur_ == 'E')) {
    return number_tail(start, int_digits, first != '0', out);
  }
  if (!fits) return number_tail(start, int_digits, true, out);
  if (positive) {
    out.kind = Number::Kind::U64;
    out.u = significand;
  } else if (significand == 0 || significand > (std::uint64_t{1} << 63)) {
    // -0 and integers below i64's range are read as doubles.
    out.kind = Number::Kind::F64;
    out.f = -static_cast<double>(significand);
  } else {
    out.kind = Number::Kind::I64;
    out.i = static_cast<std::int64_t>(0 - significand);
  }
  return true;
}

// The fraction and exponent of a number whose integer digits were read, and
// its conversion to a correctly rounded double. `magnitude` is the count of
// integer digits (0 for a leading 0); it decides whether a value too far
// from zero for a double overflowed (an error) or underflowed (zero).
bool JsonReader::number_tail(const char* start, std::int64_t magnitude, bool nonzero, Number& out) {
  if (cur_ != end_ && *cur_ == '.') {
    ++cur_;
    const char* digits = cur_;
    while (cur_ != end_ && is_digit(*cur_)) {
      if (*cur_ != '0') nonzero = true;
      if (!nonzero && magnitude > -1'000'000) --magnitude;
      ++cur_;
    }
    if (cur_ == digits) return peek_error(cur_ == end_ ? Errc::EofWhileParsingValue : Errc::InvalidNumber);
  }
  const bool negative = *start == '-';
  if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    ++cur_;
    bool positive_exp = true;
    if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) positive_exp = *cur_++ == '+';
    if (cur_ == end_) return error(Errc::EofWhileParsingValue);
    if (!is_digit(*cur_++)) return error(Errc::InvalidNumber);
    std::int32_t exp = cur_[-1] - '0';
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    while (cur_ != end_ && is_digit(*cur_)) {
      const std::int32_t digit = *cur_++ - '0';
      if (exp >= kMax / 10 && (exp > kMax / 10 || digit > kMax % 10)) {
        // An exponent beyond i32: an error away from zero, zero towards it.
        if (nonzero && positive_exp) return error(Errc::NumberOutOfRange);
        while (cur_ != end_ && is_digit(*cur_)) ++cur_;
        out.kind = Number::Kind::F64;
        out.f = negative ? -0.0 : 0.0;
        return true;
      }
      exp = exp * 10 + digit;
    }
    magnitude += positive_exp ? exp : -exp;
  }
  double value = 0;
  const auto [ptr, ec] = std::from_chars(start, cur_, value);
  if (ec == std::errc::result_out_of_range) {
    if (nonzero && magnitude > 0) return error(Errc::NumberOutOfRange);
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || ptr != cur_) {
    return error(Errc::InvalidNumber);  // not reached: the grammar was checked above
  }
  out.kind = Number::Kind::F64;
  out.f = value;
  return true;
}

// --- Skipping ---------------------------------------------------------------

bool JsonReader::skip_string() {
  for (;;) {
    cur_ = scan_plain(cur_, end_);
    if (cur_ == end_) return error(Errc::EofWhileParsingString);
    const char c = *cur_;
    if (c == '"') {
      ++cur_;
      return true;
    }
    if (c != '\\') return error(Errc::ControlCharacter);
    ++cur_;
    if (!skip_escape()) return false;
  }
}

// Escapes of skipped strings are checked for form only: surrogates need not
// pair up, since the text is never used.
bool JsonReader::skip_escape() {
  if (cur_ == end_) return error(Errc::EofWhileParsingString);
  switch (*cur_++) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return true;
    case 'u': {
      std::uint32_t ignored;
      return hex4(ignored);
    }
    default: return error(Errc::InvalidEscape);
  }
}

bool JsonReader::skip_number() {
  const char first = cur_ == end_ ? '\0' : *cur_;
  if (cur_ != end_) ++cur_;
  if (first == '0') {
    if (cur_ != end_ && is_digit(*cur_)) return peek_error(Errc::InvalidNumber);
  } else if (first >= '1' && first <= '9') {
    while (cur_ != end_ && is_digit(*cur_)) ++cur_;
  } else {
    return error(Errc::InvalidNumber);
  }
  if (cur_ != end_ && *cur_ == '.') {
    ++cur_;
    const char* digits = cur_;
    while (cur_ != end_ && is_digit(*cur_)) ++cur_;
    if (cur_ == digits) return peek_error(Errc::InvalidNumber);
  }
  if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    ++cur_;
    if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) ++cur_;
    const char c = cur_ == end_ ? '\0' : *cur_;
    if (cur_ != end_) ++cur_;
    if (!is_digit(c)) return error(Errc::InvalidNumber);
    while (cur_ != end_ && is_digit(*cur_)) ++cur_;
  }
  return true;
}

// Iterative, with the open brackets on skip_stack_, so that a skipped value
// of any depth costs no stack and no nesting levels.
bool JsonReader::skip_value() {
  skip_stack_.clear();
  for (;;) {
    // A value.
    const int c = skip_ws();
    if (c < 0) return peek_error(Errc::EofWhileParsingValue);
    bool opened = false;
    switch (c) {
      case 'n': eat(); if (!ident("ull")) return false; break;
      case 't': eat(); if (!ident("rue")) return false; break;
      case 'f': eat(); if (!ident("alse")) return false; break;
      case '-': eat(); if (!skip_number()) return false; break;
      case '"': eat(); if (!skip_string()) return false; break;
      case '[':
      case '{':
        eat();
        skip_stack_ += static_cast<char>(c);
        opened = true;
        break;
      default:
        if (c >= '0' && c <= '9') {
          if (!skip_number()) return false;
          break;
        }
        return peek_error(Errc::ExpectedValue);
    }
    // What follows it: closing brackets, then a comma or the end.
    bool after_value = !opened;
    for (;;) {
      if (skip_stack_.empty()) return true;
      const char frame = skip_stack_.back();
      const int d = skip_ws();
      if (d < 0) return peek_error(frame == '[' ? Errc::EofWhileParsingList : Errc::EofWhileParsingObject);
      if ((d == ']' && frame == '[') || (d == '}' && frame == '{')) {
        eat();
        skip_stack_.pop_back();
        after_value = true;
        continue;
      }
      if (after_value) {
        if (d != ',') {
          return peek_error(frame == '[' ? Errc::ExpectedListCommaOrEnd : Errc::ExpectedObjectCommaOrEnd);
        }
        eat();
      }
      break;
    }
    if (skip_stack_.back() == '{') {
      const int k = skip_ws();
      if (k < 0) return peek_error(Errc::EofWhileParsingObject);
      if (k != '"') return peek_error(Errc::KeyMustBeAString);
      eat();
      if (!skip_string()) return false;
      const int col = skip_ws();
      if (col < 0) return peek_error(Errc::EofWhileParsingObject);
      if (col != ':') return peek_error(Errc::ExpectedColon);
      eat();
    }
  }
}

// --- Arrays and objects -----------------------------------------------------

bool JsonReader::next_element(bool& first, bool& more) {
  int c = skip_ws();
  if (c == ']') {
    more = false;
    return true;
  }
  if (c == ',' && !first) {
    eat();
    c = skip_ws();
  } else if (c >= 0) {
    if (!first) return peek_error(Errc::ExpectedListCommaOrEnd);
    first = false;
  } else {
    return peek_error(Errc::EofWhileParsingList);
  }
  if (c == ']') return peek_error(Errc::TrailingComma);
  if (c < 0) return peek_error(Errc::EofWhileParsingValue);
  more = true;
  return true;
}

bool JsonReader::end_array() {
  const int c = skip_ws();
  if (c == ']') {
    eat();
    return true;
  }
  if (c == ',') {
    eat();
    return peek_error(skip_ws() == ']' ? Errc::TrailingComma : Errc::TrailingCharacters);
  }
  return peek_error(c < 0 ? Errc::EofWhileParsingList : Errc::TrailingCharacters);
}

void JsonReader::end_array_after_fault() noexcept {
  const int c = skip_ws();
  if (c == ']') {
    eat();
  } else if (c == ',') {
    eat();
    skip_ws();
  }
}

bool JsonReader::next_key(bool& first, bool& more, std::string_view& key) {
  int c = skip_ws();
  if (c == '}') {
    more = false;
    return true;
  }
  if (c == ',' && !first) {
    eat();
    c = skip_ws();
  } else if (c >= 0) {
    if (!first) return peek_error(Errc::ExpectedObjectCommaOrEnd);
    first = false;
  } else {
    return peek_error(Errc::EofWhileParsingObject);
  }
  if (c == '"') {
    eat();
    more = true;
    return string(key);
  }
  if (c == '}') return peek_error(Errc::TrailingComma);
  return peek_error(c < 0 ? Errc::EofWhileParsingValue : Errc::KeyMustBeAString);
}

bool JsonReader::colon() {
  const int c = skip_ws();
  if (c == ':') {
    eat();
    return true;
  }
  return peek_error(c < 0 ? Errc::EofWhileParsingObject : Errc::ExpectedColon);
}

bool JsonReader::end_object() {
  const int c = skip_ws();
  if (c == '}') {
    eat();
    return true;
  }
  if (c == ',') return peek_error(Errc::TrailingComma);
  return peek_error(c < 0 ? Errc::EofWhileParsingObject : Errc::TrailingCharacters);
}

void JsonReader::end_object_after_fault() noexcept {
  if (skip_ws() == '}') eat();
}

bool JsonReader::end_root() {
  if (skip_ws() >= 0) return peek_error(Errc::TrailingCharacters);
  return true;
}

}  // namespace zelvo::json
