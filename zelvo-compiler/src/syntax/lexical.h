// The lexical rules of the policy language that the compiler and the
// printer share: keywords, identifiers, and the canonical text of names,
// strings, numbers and durations (docs/language.md, "Canonical layout").
// The printer uses these so that what it writes is what the lexer reads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelvo::lang {

// The reserved words, in no particular order.
std::span<const std::string_view> keywords() noexcept;
bool is_keyword(std::string_view word) noexcept;

// An ASCII letter or "_", then letters, digits and "_" (keywords included).
bool is_word(std::string_view text) noexcept;
// A word that is neither a keyword nor "_": usable bare as a name.
bool is_identifier(std::string_view text) noexcept;

// `"text"` with the canonical escapes.
std::string format_string(std::string_view text);
// `` `text` `` with the canonical escapes.
std::string format_raw_name(std::string_view text);
// A declaration name (event type, label, ...): bare identifier or string.
std::string format_name(std::string_view text);
// An action argument name: bare word (keywords allowed) or string.
std::string format_arg_name(std::string_view text);
// A field path segment: ".word" or `["text"]`.
std::string format_field_segment(std::string_view text);
// The shortest text that reads back as `value`, always with "." or "e".
std::string format_float(double value);
// Milliseconds in the largest unit that divides them exactly: "5m", "0ms".
std::string format_duration_millis(std::uint64_t millis);
// True when `count` of the unit (DurationUnit ordinal) is more
// milliseconds than 64 bits hold (the engine would take them modulo 2^64).
bool duration_wraps(std::uint64_t count, std::uint8_t unit_ordinal) noexcept;
// A duration literal's unit suffix: "ms", "s", "m", "h", "d" (by DurationUnit ordinal).
std::string_view duration_suffix(std::uint8_t unit_ordinal) noexcept;

}  // namespace zelvo::lang
