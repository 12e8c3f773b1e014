// One escape of a JSON string, unescaped: the short escapes and \u with its
// surrogate pairs (a high surrogate must be followed at once by an escaped
// low one; a lone one of either kind is refused, since strings are text).
#pragma once

#include <cstdint>
#include <string>

namespace zelvo::json {

enum class EscapeFault : std::uint8_t {
  None,
  End,            // the text ends inside the escape
  InvalidEscape,  // an unknown escape letter or a byte that is no hex digit
  LoneLow,        // \u of a low surrogate with no high one before it
  NoLowEnd,       // a high surrogate, then the text ends where "\u" of its low one belongs
  NoLow,          // a high surrogate not followed by "\u"
  BadLow,         // a high surrogate followed by an escape that is no low surrogate
};

// `p` is just past the backslash. Appends the escaped text to `out` and
// moves `p` past the escape; on a fault, `p` is just past the byte found
// wrong (`end` for End and NoLowEnd) and `out` holds a prefix.
EscapeFault unescape(const char*& p, const char* end, std::string& out);

// The same escape checked for form only (a known letter, or \u and four hex
// digits; surrogates need not pair up), for text that is never used:
// faults End and InvalidEscape only.
EscapeFault check_escape(const char*& p, const char* end);

}  // namespace zelvo::json
