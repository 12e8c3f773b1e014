// Event times: milliseconds since 1970-01-01 00:00:00 UTC, written as an
// integer or as an RFC 3339 text. The one rule for an event's `ts`: every
// reader of a time (the event-line reader, the tools' host arguments) goes
// through event_time_of_integer or event_time_of_text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelvo::replay {

// The largest time an event may carry (the engine's timestamps are
// unsigned, but hosts read them as signed 64-bit integers).
inline constexpr std::uint64_t kMaxTimeMs = 0x7FFFFFFFFFFFFFFFull;

// Parses "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)" ('T' may also be
// 't' or a space, 'Z' may be 'z'). The fraction may have any number of
// digits and is truncated to milliseconds; a leap second (:60) counts as
// the first second of the next minute. Dates are checked against the
// calendar (no 31 April, 29 February only in leap years). Returns nothing
// for any other text and for times before 1970 once the offset is applied.
std::optional<std::uint64_t> parse_rfc3339_ms(std::string_view text) noexcept;

// An event time written as an integer: 0 to kMaxTimeMs.
inline std::optional<std::uint64_t> event_time_of_integer(std::int64_t ms) noexcept {
  if (ms < 0) return std::nullopt;
  return static_cast<std::uint64_t>(ms);
}

// An event time written as a text: an RFC 3339 time from 1970 to kMaxTimeMs.
inline std::optional<std::uint64_t> event_time_of_text(std::string_view text) noexcept {
  const auto ms = parse_rfc3339_ms(text);
  if (!ms || *ms > kMaxTimeMs) return std::nullopt;
  return ms;
}

}  // namespace zelvo::replay
