#include "model/json_reader.h"

#include <charconv>
#include <limits>
#include <utility>

#include "json/escape.h"
#include "json/number_scan.h"
#include "json/text_run.h"

namespace zelvo::json {
namespace {

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
    cur_ = plain_run<false>(cur_, end_);
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

// A backslash of a string was consumed: its escape, unescaped into scratch_.
bool JsonReader::escape() {
  const char* p = cur_;
  const EscapeFault fault = unescape(p, end_, scratch_);
  cur_ = p;
  switch (fault) {
    case EscapeFault::None: return true;
    case EscapeFault::End:
    case EscapeFault::NoLowEnd: return error(Errc::EofWhileParsingString);
    case EscapeFault::InvalidEscape: return error(Errc::InvalidEscape);
    case EscapeFault::NoLow: return error(Errc::UnexpectedEndOfHexEscape);
    case EscapeFault::LoneLow:
    case EscapeFault::BadLow: return error(Errc::LoneLeadingSurrogate);
  }
  return error(Errc::InvalidEscape);
}

bool JsonReader::number(bool positive, Number& out) {
  const char* start = positive ? cur_ : cur_ - 1;
  const NumberScan scan = scan_number(cur_, end_);
  if (scan.fault != NumberScan::Fault::None) {
    cur_ = scan.stop;
    return peek_error(scan.fault == NumberScan::Fault::End ? Errc::EofWhileParsingValue : Errc::InvalidNumber);
  }
  if (!scan.integral) return number_tail(start, scan.stop, out);
  std::uint64_t significand = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (const char* p = cur_; p != scan.stop; ++p) {
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    if (significand >= kMax / 10 && (significand > kMax / 10 || digit > kMax % 10)) {
      return number_tail(start, scan.stop, out);  // beyond u64: a double
    }
    significand = significand * 10 + digit;
  }
  cur_ = scan.stop;
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

// The double of the well-formed number [start, stop), correctly rounded,
// with the cursor moved to `stop`. Its magnitude (the count of integer
// digits, or minus the count of zeros after the point before the first
// other digit, plus the exponent) decides whether a value too far from zero
// for a double overflowed (an error) or underflowed (zero).
bool JsonReader::number_tail(const char* start, const char* stop, Number& out) {
  const bool negative = *start == '-';
  const char* p = negative ? start + 1 : start;
  std::int64_t magnitude = 0;
  bool nonzero = *p != '0';
  if (nonzero) {
    for (; p != stop && is_digit(*p); ++p) {
      if (magnitude < 1'000'000) ++magnitude;
    }
  } else {
    ++p;
  }
  if (p != stop && *p == '.') {
    for (++p; p != stop && is_digit(*p); ++p) {
      if (*p != '0') nonzero = true;
      if (!nonzero && magnitude > -1'000'000) --magnitude;
    }
  }
  if (p != stop) {  // 'e' or 'E'
    ++p;
    bool positive_exp = true;
    if (*p == '+' || *p == '-') positive_exp = *p++ == '+';
    std::int32_t exp = 0;
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    for (; p != stop; ++p) {
      const std::int32_t digit = *p - '0';
      if (exp >= kMax / 10 && (exp > kMax / 10 || digit > kMax % 10)) {
        // An exponent beyond i32: an error away from zero, zero towards it.
        if (nonzero && positive_exp) {
          cur_ = p + 1;
          return error(Errc::NumberOutOfRange);
        }
        cur_ = stop;
        out.kind = Number::Kind::F64;
        out.f = negative ? -0.0 : 0.0;
        return true;
      }
      exp = exp * 10 + digit;
    }
    magnitude += positive_exp ? exp : -exp;
  }
  cur_ = stop;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(start, stop, value);
  if (ec == std::errc::result_out_of_range) {
    if (nonzero && magnitude > 0) return error(Errc::NumberOutOfRange);
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || ptr != stop) {
    return error(Errc::InvalidNumber);  // not reached: the grammar was checked above
  }
  out.kind = Number::Kind::F64;
  out.f = value;
  return true;
}

// --- Skipping ---------------------------------------------------------------

bool JsonReader::skip_string() {
  for (;;) {
    cur_ = plain_run<false>(cur_, end_);
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
  const char* p = cur_;
  const EscapeFault fault = check_escape(p, end_);
  cur_ = p;
  if (fault == EscapeFault::None) return true;
  return error(fault == EscapeFault::End ? Errc::EofWhileParsingString : Errc::InvalidEscape);
}

bool JsonReader::skip_number() {
  const NumberScan scan = scan_number(cur_, end_);
  cur_ = scan.stop;
  if (scan.fault != NumberScan::Fault::None) return peek_error(Errc::InvalidNumber);
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

// Moves past the comma before the next item of an array or object (none
// before the first). Returns the item's first byte (not consumed; -1 at the
// end of the text), kClosed at the closing bracket `close` (not consumed),
// or kFault.
inline int JsonReader::next_item(int close, Errc comma_or_end, Errc eof, bool& first) {
  int c = skip_ws();
  if (c == close) return kClosed;
  if (c == ',' && !first) {
    eat();
    c = skip_ws();
  } else if (c >= 0) {
    if (!first) {
      peek_error(comma_or_end);
      return kFault;
    }
    first = false;
  } else {
    peek_error(eof);
    return kFault;
  }
  if (c == close) {
    peek_error(Errc::TrailingComma);
    return kFault;
  }
  return c;
}

bool JsonReader::next_element(bool& first, bool& more) {
  const int c = next_item(']', Errc::ExpectedListCommaOrEnd, Errc::EofWhileParsingList, first);
  if (c == kFault) return false;
  more = c != kClosed;
  if (c == -1) return peek_error(Errc::EofWhileParsingValue);
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
  const int c = next_item('}', Errc::ExpectedObjectCommaOrEnd, Errc::EofWhileParsingObject, first);
  if (c == kFault) return false;
  more = c != kClosed;
  if (c == '"') {
    eat();
    return string(key);
  }
  if (!more) return true;
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
