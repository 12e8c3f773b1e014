#include "model/json_error.h"

#include <cstring>

#include "json/writer.h"
#include "model/decimal_text.h"

namespace zelvo::json {
namespace {

// Variant names in backticks: one name alone, two joined by "or", more as
// "one of" a comma-separated list.
std::string one_of(std::span<const std::string_view> names) {
  std::string out;
  auto tick = [&out](std::string_view n) {
    out += '`';
    out += n;
    out += '`';
  };
  if (names.size() == 1) {
    tick(names[0]);
  } else if (names.size() == 2) {
    tick(names[0]);
    out += " or ";
    tick(names[1]);
  } else {
    out += "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i != 0) out += ", ";
      tick(names[i]);
    }
  }
  return out;
}

// A string in double quotes, escaped the way the decoder's messages show
// strings.
std::string quoted(std::string_view s) {
  Writer out(Style{.strings = StringStyle::Display});
  out.quoted(s);
  return std::move(out).take();
}

std::string found_text(const Found& f) {
  switch (f.kind) {
    case Found::Kind::Bool: return f.boolean ? "boolean `true`" : "boolean `false`";
    case Found::Kind::Unsigned: return "integer `" + std::to_string(f.unsigned_value) + "`";
    case Found::Kind::Signed: return "integer `" + std::to_string(f.signed_value) + "`";
    case Found::Kind::Float: return "floating point `" + float_text(f.float_value) + "`";
    case Found::Kind::String: return "string " + quoted(f.text);
    case Found::Kind::Unit: return "unit value";
    case Found::Kind::Seq: return "sequence";
    case Found::Kind::Map: return "map";
    case Found::Kind::UnitVariant: return "unit variant";
  }
  return {};
}

std::string_view syntax_text(Errc code) {
  switch (code) {
    case Errc::EofWhileParsingValue: return "EOF while parsing a value";
    case Errc::EofWhileParsingList: return "EOF while parsing a list";
    case Errc::EofWhileParsingObject: return "EOF while parsing an object";
    case Errc::EofWhileParsingString: return "EOF while parsing a string";
    case Errc::ExpectedValue: return "expected value";
    case Errc::ExpectedIdent: return "expected ident";
    case Errc::ExpectedColon: return "expected `:`";
    case Errc::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Errc::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Errc::KeyMustBeAString: return "key must be a string";
    case Errc::TrailingComma: return "trailing comma";
    case Errc::TrailingCharacters: return "trailing characters";
    case Errc::InvalidNumber: return "invalid number";
    case Errc::NumberOutOfRange: return "number out of range";
    case Errc::InvalidEscape: return "invalid escape";
    case Errc::InvalidUnicodeCodePoint: return "invalid unicode code point";
    case Errc::LoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case Errc::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Errc::ControlCharacter: return "control character (\\u0000-\\u001F) found while parsing a string";
    case Errc::RecursionLimitExceeded: return "recursion limit exceeded";
    default: return {};
  }
}

}  // namespace

std::string describe(const Fault& fault) {
  switch (fault.code) {
    case Errc::MissingField: return "missing field `" + fault.name + "`";
    case Errc::DuplicateField: return "duplicate field `" + fault.name + "`";
    case Errc::UnknownVariant: return "unknown variant `" + fault.name + "`, expected " + one_of(fault.variants);
    case Errc::InvalidLength: return "invalid length " + std::to_string(fault.length) + ", expected " + fault.expected;
    case Errc::InvalidType: return "invalid type: " + found_text(fault.found) + ", expected " + fault.expected;
    case Errc::InvalidValue: return "invalid value: " + found_text(fault.found) + ", expected " + fault.expected;
    default: return std::string(syntax_text(fault.code));
  }
}

Location locate(std::string_view input, std::size_t offset) noexcept {
  if (offset > input.size()) offset = input.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  const char* p = input.data();
  const char* stop = p + offset;
  while (const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(stop - p))) {
    ++line;
    p = static_cast<const char*>(nl) + 1;
    line_start = static_cast<std::size_t>(p - input.data());
  }
  return {line, offset - line_start};
}

std::string float_text(double value) {
  // Plain decimal digits; a value with no fraction digits gets ".0".
  std::string out = plain_decimal(value);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

}  // namespace zelvo::json
