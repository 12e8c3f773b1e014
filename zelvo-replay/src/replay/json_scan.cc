#include "replay/json_scan.h"

#include <bit>
#include <cerrno>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zelvo::replay {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// Bytes of `w` equal to zero, marked by their high bit; the lowest mark is
// exact (false marks only appear above a true one).
constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

// Marks the bytes that end the plain run of a string: '"', '\\', a control
// character (< 0x20) or a byte of a multi-byte sequence (>= 0x80).
inline std::uint64_t special_bytes(std::uint64_t w) noexcept {
  const std::uint64_t quote = zero_bytes(w ^ (kOnes * '"'));
  const std::uint64_t backslash = zero_bytes(w ^ (kOnes * '\\'));
  const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  return quote | backslash | control | (w & kHighs);
}

// The first byte at or after `p` that ends a plain run (see special_bytes),
// or `end`: sixteen bytes at a time where the processor has SSE2, then
// eight, then one.
inline const char* plain_run(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A signed compare: below 0x20 or at least 0x80.
    const __m128i marks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                       _mm_cmplt_epi8(v, space));
    const int mask = _mm_movemask_epi8(marks);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    const std::uint64_t marks = special_bytes(w);
    if (marks != 0) return p + std::countr_zero(marks) / 8;
    p += 8;
  }
  while (p != end) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
    ++p;
  }
  return p;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The nearest double of a well-formed JSON number; inf or 0 beyond range.
double to_double(std::string_view text) {
  double d = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec == std::errc() && ptr == text.data() + text.size()) return d;
  // Out of range: strtod rounds to inf or to 0 as a host would. Rare.
  const std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

}  // namespace

bool JsonScanner::fail(LineErrc code) noexcept { return fail_at(code, cur_); }

bool JsonScanner::fail_at(LineErrc code, const char* where) noexcept {
  error_.code = code;
  error_.column = static_cast<std::size_t>(where - begin_) + 1;
  return false;
}

bool JsonScanner::peek_kind(JsonKind& kind) {
  switch (skip_ws()) {
    case '{': kind = JsonKind::Object; return true;
    case '[': kind = JsonKind::Array; return true;
    case '"': kind = JsonKind::String; return true;
    case 't':
    case 'f': kind = JsonKind::Boolean; return true;
    case 'n': kind = JsonKind::Null; return true;
    case -1: return fail(LineErrc::UnexpectedEnd);
    default:
      if (*cur_ == '-' || is_digit(*cur_)) {
        kind = JsonKind::Number;
        return true;
      }
      return fail(LineErrc::ExpectedValue);
  }
}

bool JsonScanner::literal(std::string_view word) {
  if (static_cast<std::size_t>(end_ - cur_) < word.size()) {
    if (std::memcmp(cur_, word.data(), static_cast<std::size_t>(end_ - cur_)) == 0) {
      cur_ = end_;
      return fail(LineErrc::UnexpectedEnd);
    }
    return fail(LineErrc::InvalidLiteral);
  }
  if (std::memcmp(cur_, word.data(), word.size()) != 0) return fail(LineErrc::InvalidLiteral);
  cur_ += word.size();
  return true;
}

bool JsonScanner::value(Value& out, int depth) {
  switch (skip_ws()) {
    case '"': {
      std::string_view text;
      bool escaped = false;
      ++cur_;
      if (!string_body(text, escaped)) return false;
      if (borrow_ && !escaped) {
        out.assign_str(Str::borrowed(text));
      } else {
        out.assign_string(text);
      }
      return true;
    }
    case '{':
      return object(out.assign_map(), depth);
    case '[':
      if (depth + 1 >= kMaxDepth) return fail(LineErrc::TooDeep);
      ++cur_;
      return array(out.assign_list(), depth + 1);
    case 't':
      if (!literal("true")) return false;
      out.assign_bool(true);
      return true;
    case 'f':
      if (!literal("false")) return false;
      out.assign_bool(false);
      return true;
    case 'n':
      if (!literal("null")) return false;
      out = Value();
      return true;
    case -1:
      return fail(LineErrc::UnexpectedEnd);
    default:
      if (*cur_ == '-' || is_digit(*cur_)) return number(out);
      return fail(LineErrc::ExpectedValue);
  }
}

bool JsonScanner::object(ValueMap& out, int depth) { return object(out, depth, nullptr, nullptr); }

bool JsonScanner::object(ValueMap& out, int depth, KeyFilter keep, const void* context) {
  if (depth + 1 >= kMaxDepth) return fail(LineErrc::TooDeep);
  ++depth;
  ++cur_;  // '{'
  out.clear();
  int c = skip_ws();
  if (c == '}') {
    ++cur_;
    return true;
  }
  for (;;) {
    if (c == -1) return fail(LineErrc::UnexpectedEnd);
    if (c != '"') return fail(LineErrc::KeyMustBeString);
    std::string_view key;
    if (!string_view(key)) return false;
    c = skip_ws();
    if (c != ':') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedColon);
    ++cur_;
    if (keep == nullptr || keep(context, key)) {
      if (!value(out.slot(key), depth)) return false;
    } else if (!skip_value(depth)) {
      return false;
    }
    c = skip_ws();
    if (c == '}') {
      ++cur_;
      return true;
    }
    if (c != ',') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedCommaOrBrace);
    ++cur_;
    c = skip_ws();
  }
}

bool JsonScanner::array(ValueList& out, int depth) {
  int c = skip_ws();
  if (c == ']') {
    ++cur_;
    return true;
  }
  for (;;) {
    if (!value(out.emplace_back(), depth)) return false;
    c = skip_ws();
    if (c == ']') {
      ++cur_;
      return true;
    }
    if (c != ',') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedCommaOrBracket);
    ++cur_;
  }
}

bool JsonScanner::string_view(std::string_view& out) {
  bool escaped = false;
  ++cur_;  // '"'
  return string_body(out, escaped);
}

bool JsonScanner::string(Str& out) {
  std::string_view text;
  bool escaped = false;
  ++cur_;  // '"'
  if (!string_body(text, escaped)) return false;
  out = borrow_ && !escaped ? Str::borrowed(text) : Str(text);
  return true;
}

bool JsonScanner::string_body(std::string_view& out, bool& escaped) {
  const char* const start = cur_;
  const char* p = cur_;
  for (;;) {
    p = plain_run(p, end_);
    if (p == end_) {
      cur_ = p;
      return fail(LineErrc::UnexpectedEnd);
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      out = std::string_view(start, static_cast<std::size_t>(p - start));
      cur_ = p + 1;
      escaped = false;
      return true;
    }
    if (c == '\\') {
      escaped = true;
      return string_slow(start, p, out);
    }
    if (c < 0x20) return fail_at(LineErrc::ControlCharacter, p);
    if (c >= 0x80) {
      if (!utf8_sequence(p)) return false;
    } else {
      ++p;
    }
  }
}

// From the first backslash on: unescape into scratch_.
bool JsonScanner::string_slow(const char* start, const char* stop, std::string_view& out) {
  scratch_.assign(start, stop);
  const char* p = stop;
  for (;;) {
    if (p == end_) {
      cur_ = p;
      return fail(LineErrc::UnexpectedEnd);
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      cur_ = p + 1;
      out = scratch_;
      return true;
    }
    if (c == '\\') {
      if (!escape(p)) return false;
    } else if (c < 0x20) {
      return fail_at(LineErrc::ControlCharacter, p);
    } else if (c >= 0x80) {
      const char* seq = p;
      if (!utf8_sequence(p)) return false;
      scratch_.append(seq, p);
    } else {
      scratch_ += static_cast<char>(c);
      ++p;
    }
  }
}

// `p` on a backslash: appends the escaped text to scratch_ and moves past it.
bool JsonScanner::escape(const char*& p) {
  const char* const at = p;
  if (end_ - p < 2) {
    cur_ = end_;
    return fail(LineErrc::UnexpectedEnd);
  }
  const char kind = p[1];
  p += 2;
  switch (kind) {
    case '"': scratch_ += '"'; return true;
    case '\\': scratch_ += '\\'; return true;
    case '/': scratch_ += '/'; return true;
    case 'b': scratch_ += '\b'; return true;
    case 'f': scratch_ += '\f'; return true;
    case 'n': scratch_ += '\n'; return true;
    case 'r': scratch_ += '\r'; return true;
    case 't': scratch_ += '\t'; return true;
    case 'u': break;
    default: return fail_at(LineErrc::InvalidEscape, at);
  }
  auto hex4 = [&](std::uint32_t& cp) {
    if (end_ - p < 4) {
      cur_ = end_;
      return fail(LineErrc::UnexpectedEnd);
    }
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = hex_value(p[i]);
      if (h < 0) return fail_at(LineErrc::InvalidEscape, at);
      cp = cp * 16 + static_cast<std::uint32_t>(h);
    }
    p += 4;
    return true;
  };
  std::uint32_t cp = 0;
  if (!hex4(cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at(LineErrc::InvalidCodePoint, at);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (end_ - p < 2 || p[0] != '\\' || p[1] != 'u') return fail_at(LineErrc::InvalidCodePoint, at);
    p += 2;
    std::uint32_t low = 0;
    if (!hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail_at(LineErrc::InvalidCodePoint, at);
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(scratch_, cp);
  return true;
}

// `p` on a byte >= 0x80: checks one well-formed UTF-8 sequence and moves
// past it.
bool JsonScanner::utf8_sequence(const char*& p) noexcept {
  const auto byte = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(p[i]); };
  const std::ptrdiff_t left = end_ - p;
  const unsigned char c = byte(0);
  std::ptrdiff_t n = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return fail_at(LineErrc::InvalidUtf8, p);
  }
  if (left < n) return fail_at(LineErrc::InvalidUtf8, p);
  if (byte(1) < lo || byte(1) > hi) return fail_at(LineErrc::InvalidUtf8, p);
  for (std::ptrdiff_t i = 2; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return fail_at(LineErrc::InvalidUtf8, p);
  }
  p += n;
  return true;
}

// The extent of a well-formed number at the cursor; the cursor moves past it.
bool JsonScanner::number_text(std::string_view& text, bool& integral) {
  const char* const start = cur_;
  const char* p = cur_;
  if (*p == '-') ++p;
  if (p == end_) {
    cur_ = p;
    return fail(LineErrc::UnexpectedEnd);
  }
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    while (p != end_ && is_digit(*p)) ++p;
  } else {
    return fail_at(LineErrc::InvalidNumber, p);
  }
  integral = true;
  if (p != end_ && *p == '.') {
    ++p;
    if (p == end_ || !is_digit(*p)) return fail_at(p == end_ ? LineErrc::UnexpectedEnd : LineErrc::InvalidNumber, p);
    while (p != end_ && is_digit(*p)) ++p;
    integral = false;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_ || !is_digit(*p)) return fail_at(p == end_ ? LineErrc::UnexpectedEnd : LineErrc::InvalidNumber, p);
    while (p != end_ && is_digit(*p)) ++p;
    integral = false;
  }
  text = std::string_view(start, static_cast<std::size_t>(p - start));
  cur_ = p;
  return true;
}

bool JsonScanner::number(Value& out) {
  // Fast path: a short integer, accumulated as it is scanned.
  const char* p = cur_;
  const bool negative = *p == '-';
  if (negative) ++p;
  const char* digits = p;
  std::uint64_t magnitude = 0;
  while (p != end_ && is_digit(*p) && p - digits < 19) {
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p;
  }
  const bool plain_end = p == end_ || !(is_digit(*p) || *p == '.' || *p == 'e' || *p == 'E');
  if (p != digits && plain_end && !(*digits == '0' && p - digits > 1)) {
    // At most 18 digits cannot overflow; 19 digits may exceed i64.
    if (!negative && magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      out.assign_int(static_cast<std::int64_t>(magnitude));
      cur_ = p;
      return true;
    }
    if (negative && magnitude <= (1ull << 63)) {
      out.assign_int(static_cast<std::int64_t>(0 - magnitude));
      cur_ = p;
      return true;
    }
  }
  std::string_view text;
  bool integral = false;
  if (!number_text(text, integral)) return false;
  const double d = to_double(text);
  if (integral && !std::isfinite(d)) {
    out.assign_string(text);  // an integer beyond any double: its digits
  } else {
    out.assign_float(d);
  }
  return true;
}

bool JsonScanner::integer(std::int64_t& out, std::string_view& text) {
  bool integral = false;
  if (!number_text(text, integral)) return false;
  if (!integral) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (ec != std::errc() || ptr != text.data() + text.size()) return false;
  if (out == 0 && text[0] == '-') out = 0;
  return true;
}

bool JsonScanner::skip_value(int depth) {
  switch (skip_ws()) {
    case '"': {
      std::string_view ignored;
      return string_view(ignored);
    }
    case '{': {
      if (depth + 1 >= kMaxDepth) return fail(LineErrc::TooDeep);
      ++cur_;
      int c = skip_ws();
      if (c == '}') {
        ++cur_;
        return true;
      }
      for (;;) {
        if (c == -1) return fail(LineErrc::UnexpectedEnd);
        if (c != '"') return fail(LineErrc::KeyMustBeString);
        std::string_view key;
        if (!string_view(key)) return false;
        c = skip_ws();
        if (c != ':') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedColon);
        ++cur_;
        if (!skip_value(depth + 1)) return false;
        c = skip_ws();
        if (c == '}') {
          ++cur_;
          return true;
        }
        if (c != ',') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedCommaOrBrace);
        ++cur_;
        c = skip_ws();
      }
    }
    case '[': {
      if (depth + 1 >= kMaxDepth) return fail(LineErrc::TooDeep);
      ++cur_;
      int c = skip_ws();
      if (c == ']') {
        ++cur_;
        return true;
      }
      for (;;) {
        if (!skip_value(depth + 1)) return false;
        c = skip_ws();
        if (c == ']') {
          ++cur_;
          return true;
        }
        if (c != ',') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedCommaOrBracket);
        ++cur_;
      }
    }
    case 't': return literal("true");
    case 'f': return literal("false");
    case 'n': return literal("null");
    case -1: return fail(LineErrc::UnexpectedEnd);
    default: {
      if (*cur_ != '-' && !is_digit(*cur_)) return fail(LineErrc::ExpectedValue);
      std::string_view text;
      bool integral = false;
      return number_text(text, integral);
    }
  }
}

bool JsonScanner::end() {
  if (skip_ws() != -1) return fail(LineErrc::TrailingCharacters);
  return true;
}

}  // namespace zelvo::replay
