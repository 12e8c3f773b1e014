// Event times: milliseconds since 1970-01-01 00:00:00 UTC, read from an
// RFC 3339 text.
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

}  // namespace zelvo::replay
