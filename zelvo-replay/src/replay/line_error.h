// LineError: why one line of an event trace was not replayed.
//
// A code, the payload its message needs and the byte column where the
// reader stood. Readers record errors; only describe() turns one into text,
// so every message of the replay is written in this one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvo::replay {

enum class LineErrc : std::uint8_t {
  // The JSON text of the line.
  UnexpectedEnd,        // the line ends inside a value
  ExpectedValue,
  ExpectedColon,
  ExpectedCommaOrBrace,
  ExpectedCommaOrBracket,
  KeyMustBeString,
  TrailingCharacters,
  InvalidLiteral,       // not true, false or null
  InvalidNumber,
  InvalidEscape,
  InvalidCodePoint,     // a \u escape of a lone surrogate
  ControlCharacter,     // a raw control character inside a string
  InvalidUtf8,
  TooDeep,              // more than kMaxDepth arrays and objects open at once
  // The shape of the event.
  NotAnObject,          // found: the root's kind
  MissingType,
  TypeNotString,        // found
  FieldsNotObject,      // found
  UnknownKey,           // text: the key; extra: the session key ("" without sessions)
  RepeatedKey,          // text: the key
  TsNotTime,            // found: neither an integer nor a text
  TsBadNumber,          // text: the number as written (negative, fractional or too large)
  TsBadText,            // text: the text as written
  BadExpect,            // text: the value as JSON
  MissingSession,       // text: the session key
  SessionNotKey,        // found: neither a string nor an integer
  // The order of a session's events.
  TimeBackwards,        // text: the session ("" without sessions); ts, previous_ts, previous
};

// The kind of a JSON value, for messages ("found an array").
enum class JsonKind : std::uint8_t { Null, Boolean, Number, String, Array, Object };

struct LineError {
  LineErrc code = LineErrc::UnexpectedEnd;
  std::size_t column = 0;  // 1-based byte column of the offending byte (0: not positioned)
  JsonKind found = JsonKind::Null;
  std::string text;
  std::string extra;
  std::uint64_t ts = 0;
  std::uint64_t previous_ts = 0;
  std::string previous;  // TimeBackwards: where the earlier event is ("line 7", "b.jsonl:3")
};

// The message, e.g. "not valid JSON: expected ':' (column 9)",
// "\"type\" is missing", "unknown key \"when\" (allowed: type, fields, ts,
// expect, comment)".
std::string describe(const LineError& error);

// "null", "a boolean", "a number", "a string", "an array", "an object".
const char* kind_phrase(JsonKind kind) noexcept;

}  // namespace zelvo::replay
