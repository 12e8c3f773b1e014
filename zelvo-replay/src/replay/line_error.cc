#include "replay/line_error.h"

#include <string_view>

namespace zelvo::replay {
namespace {

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// The JSON-level problems: "not valid JSON: <what> (column N)".
const char* syntax_what(LineErrc code) noexcept {
  switch (code) {
    case LineErrc::UnexpectedEnd: return "the line ends inside a value";
    case LineErrc::ExpectedValue: return "expected a value";
    case LineErrc::ExpectedColon: return "expected ':'";
    case LineErrc::ExpectedCommaOrBrace: return "expected ',' or '}'";
    case LineErrc::ExpectedCommaOrBracket: return "expected ',' or ']'";
    case LineErrc::KeyMustBeString: return "a key must be a string";
    case LineErrc::TrailingCharacters: return "characters after the object";
    case LineErrc::InvalidLiteral: return "expected true, false or null";
    case LineErrc::InvalidNumber: return "invalid number";
    case LineErrc::InvalidEscape: return "invalid escape";
    case LineErrc::InvalidCodePoint: return "invalid \\u escape (lone surrogate)";
    case LineErrc::ControlCharacter: return "control character in a string";
    case LineErrc::InvalidUtf8: return "invalid UTF-8";
    case LineErrc::TooDeep: return "nested too deeply";
    default: return nullptr;
  }
}

std::string shape_text(const LineError& e) {
  switch (e.code) {
    case LineErrc::NotAnObject:
      return std::string("expected a JSON object, found ") + kind_phrase(e.found);
    case LineErrc::MissingType:
      return "\"type\" is missing";
    case LineErrc::TypeNotString:
      return std::string("\"type\" is ") + kind_phrase(e.found) + ", not a string";
    case LineErrc::FieldsNotObject:
      return std::string("\"fields\" must be an object, found ") + kind_phrase(e.found);
    case LineErrc::UnknownKey: {
      std::string out = "unknown key " + quoted(e.text) + " (allowed: type, fields, ts, expect, comment";
      if (!e.extra.empty()) out += ", " + e.extra;
      return out + ")";
    }
    case LineErrc::RepeatedKey:
      return "repeated key " + quoted(e.text);
    case LineErrc::TsNotTime:
      return std::string("\"ts\" must be milliseconds since 1970 (an integer) or an RFC 3339 text, found ") +
             kind_phrase(e.found);
    case LineErrc::TsBadNumber:
      return "\"ts\" " + e.text + " is not a whole number of milliseconds from 0 to 9223372036854775807";
    case LineErrc::TsBadText:
      return "\"ts\" " + quoted(e.text) + " is not an RFC 3339 time at or after 1970 (e.g. 2024-05-01T12:00:00Z)";
    case LineErrc::BadExpect:
      return "\"expect\" must be one of allow, deny, audit, redact, found " + e.text;
    case LineErrc::MissingSession:
      return "session key " + quoted(e.text) + " is missing";
    case LineErrc::SessionNotKey:
      return std::string("session key must be a string or an integer, found ") + kind_phrase(e.found);
    case LineErrc::TimeBackwards: {
      std::string out = "time goes backwards";
      if (!e.text.empty()) out += " in session " + quoted(e.text);
      out += ": ts " + std::to_string(e.ts) + " is before " + std::to_string(e.previous_ts) + " of " + e.previous +
             " (sort the replay to order each session by time)";
      return out;
    }
    default:
      return "unknown problem";
  }
}

}  // namespace

const char* kind_phrase(JsonKind kind) noexcept {
  switch (kind) {
    case JsonKind::Null: return "null";
    case JsonKind::Boolean: return "a boolean";
    case JsonKind::Number: return "a number";
    case JsonKind::String: return "a string";
    case JsonKind::Array: return "an array";
    case JsonKind::Object: return "an object";
  }
  return "a value";
}

std::string describe(const LineError& error) {
  if (const char* what = syntax_what(error.code)) {
    return std::string("not valid JSON: ") + what + " (column " + std::to_string(error.column) + ")";
  }
  return shape_text(error);
}

}  // namespace zelvo::replay
