// Internal: the decoder's typed failure and its one text rendering.
//
// A fault is a code plus the payload its message needs plus a byte offset.
// Productions record faults; only describe() turns one into text, and only
// locate() turns an offset into a line and column.
//
// Shape faults (missing field, invalid type, ...) are raised by a production
// that does not know where the reader will stand when the fault is reported,
// so they start "unpositioned"; the innermost enclosing record, list or
// scalar production pins them to the reader's offset once it has finished
// its own closing work (see JsonReader::pin).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelvo::json {

enum class Errc : std::uint8_t {
  // The JSON text itself.
  EofWhileParsingValue,
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  ExpectedValue,
  ExpectedIdent,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  KeyMustBeAString,
  TrailingComma,
  TrailingCharacters,
  InvalidNumber,
  NumberOutOfRange,
  InvalidEscape,
  InvalidUnicodeCodePoint,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  ControlCharacter,
  RecursionLimitExceeded,
  // The shape of the policy.
  MissingField,      // name
  DuplicateField,    // name
  UnknownVariant,    // name, variants
  InvalidLength,     // length, expected
  InvalidType,       // found, expected
  InvalidValue,      // found, expected
};

// What the decoder met where something else was wanted.
struct Found {
  enum class Kind : std::uint8_t { Bool, Unsigned, Signed, Float, String, Unit, Seq, Map, UnitVariant };
  Kind kind = Kind::Unit;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  double float_value = 0;
  std::string text;  // String only: the decoded string
};

struct Fault {
  Errc code = Errc::EofWhileParsingValue;
  bool positioned = false;
  std::size_t offset = 0;  // bytes before the position (see locate)
  std::string name;        // field or variant name
  std::span<const std::string_view> variants;  // UnknownVariant: the type's names
  Found found;
  std::string expected;    // InvalidType / InvalidValue / InvalidLength
  std::size_t length = 0;  // InvalidLength: elements read
};

// The message without its position, e.g. "missing field `rules`".
std::string describe(const Fault& fault);

// Line (from 1) and column (bytes from the start of that line up to
// `offset`) of an offset into `input`.
struct Location {
  std::size_t line;
  std::size_t column;
};
Location locate(std::string_view input, std::size_t offset) noexcept;

// A double as the decoder shows it: shortest round-trip digits in plain
// decimal notation, always with a decimal point ("1.0", "-0.0", "1e21" as
// "1000000000000000000000.0").
std::string float_text(double value);

}  // namespace zelvo::json
