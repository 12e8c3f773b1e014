#include "replay/json_scan.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "json/depth.h"
#include "json/escape.h"
#include "json/number_scan.h"
#include "json/text_run.h"
#include "json/utf8_check.h"

namespace zelvo::replay {
namespace {

using json::is_digit;

// The nearest double of a well-formed JSON number; inf or 0 beyond range.
double to_double(std::string_view text) {
  double d = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec == std::errc() && ptr == text.data() + text.size()) return d;
  // Out of range: strtod rounds to inf or to 0 as a host would. Rare.
  const std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

// Keys are short: a loop beats a call of memcmp.
bool same_text(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
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
      return object(out.reuse_map(), depth);
    case '[': {
      ValueList& list = out.reuse_list();
      return elements(depth, [&](int inner) { return value(list.emplace_back(), inner); });
    }
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

// The object at the cursor ('{' not consumed) inside `depth` open arrays
// and objects: its keys and punctuation, with `member(key, inner)` reading
// the value after each key at nesting `inner`.
template <class Member>
bool JsonScanner::members(int depth, Member&& member) {
  if (!json::can_open(depth)) return fail(LineErrc::TooDeep);
  ++depth;
  ++cur_;  // '{'
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
    if (!member(key, depth)) return false;
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

// The array at the cursor ('[' not consumed), with `element(inner)`
// reading each element at nesting `inner`.
template <class Element>
bool JsonScanner::elements(int depth, Element&& element) {
  if (!json::can_open(depth)) return fail(LineErrc::TooDeep);
  ++depth;
  ++cur_;  // '['
  int c = skip_ws();
  if (c == ']') {
    ++cur_;
    return true;
  }
  for (;;) {
    if (!element(depth)) return false;
    c = skip_ws();
    if (c == ']') {
      ++cur_;
      return true;
    }
    if (c != ',') return fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedCommaOrBracket);
    ++cur_;
  }
}

bool JsonScanner::object(ValueMap& out, int depth) {
  out.clear();
  return members(depth, [&](std::string_view key, int inner) { return value(out.slot(key), inner); });
}

bool JsonScanner::object(ValueMap& out, int depth, const FieldNumbers& numbers, std::span<std::uint32_t> positions) {
  // The entries of the map's previous contents are reused where the same
  // key comes at the same place (lines of one trace tend to repeat their
  // keys), with the storage of their lists and maps.
  std::size_t kept = 0;
  const bool ok = members(depth, [&](std::string_view key, int inner) {
    const std::int32_t number = numbers.find(key);
    if (number < 0) return skip_value(inner);
    std::uint32_t& position = positions[static_cast<std::size_t>(number)];
    if (position != kNoFieldPosition) return value(out.entry_at(position).value, inner);
    if (kept < out.size() && same_text(out.entry_at(kept).key.view(), key)) {
      position = static_cast<std::uint32_t>(kept++);
      return value(out.entry_at(position).value, inner);
    }
    out.truncate(kept);
    position = static_cast<std::uint32_t>(kept++);
    return value(out.append_distinct(key), inner);
  });
  if (ok) out.truncate(kept);
  return ok;
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

bool JsonScanner::string_scan(std::string_view& out, bool& escaped) {
  const char* const start = cur_;
  const char* p = cur_;
  for (;;) {
    p = json::plain_run<true>(p, end_);
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
  ++p;
  switch (json::unescape(p, end_, scratch_)) {
    case json::EscapeFault::None: return true;
    case json::EscapeFault::End:
      cur_ = end_;
      return fail(LineErrc::UnexpectedEnd);
    case json::EscapeFault::InvalidEscape: return fail_at(LineErrc::InvalidEscape, at);
    case json::EscapeFault::LoneLow:
    case json::EscapeFault::NoLowEnd:
    case json::EscapeFault::NoLow:
    case json::EscapeFault::BadLow: return fail_at(LineErrc::InvalidCodePoint, at);
  }
  return fail_at(LineErrc::InvalidEscape, at);
}

// `p` on a byte >= 0x80: checks one well-formed UTF-8 sequence and moves
// past it.
bool JsonScanner::utf8_sequence(const char*& p) noexcept {
  const std::ptrdiff_t n = json::utf8_sequence_size(p, end_ - p);
  if (n == 0) return fail_at(LineErrc::InvalidUtf8, p);
  p += n;
  return true;
}

// The extent of a well-formed number at the cursor; the cursor moves past it.
bool JsonScanner::number_text(std::string_view& text, bool& integral) {
  const char* const start = cur_;
  const json::NumberScan scan = json::scan_number(*cur_ == '-' ? cur_ + 1 : cur_, end_);
  switch (scan.fault) {
    case json::NumberScan::Fault::None: integral = scan.integral; break;
    case json::NumberScan::Fault::LeadingZero: integral = true; break;  // "0"; what follows is not the number's
    case json::NumberScan::Fault::End:
      cur_ = scan.stop;
      return fail(LineErrc::UnexpectedEnd);
    case json::NumberScan::Fault::Invalid: return fail_at(LineErrc::InvalidNumber, scan.stop);
  }
  text = std::string_view(start, static_cast<std::size_t>(scan.stop - start));
  cur_ = scan.stop;
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
    case '{': return members(depth, [&](std::string_view, int inner) { return skip_value(inner); });
    case '[': return elements(depth, [&](int inner) { return skip_value(inner); });
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
