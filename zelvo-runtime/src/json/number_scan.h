// The grammar of a JSON number, checked once for every reader: digits with
// no leading zero, then an optional fraction and exponent. What a number
// becomes (integer, double, text, an error when out of range) is each
// reader's own production on top of the checked text.
#pragma once

#include <cstdint>

#include "json/text_run.h"

namespace zelvo::json {

struct NumberScan {
  enum class Fault : std::uint8_t {
    None,
    End,          // the text ends where a digit must come
    Invalid,      // another byte where a digit must come (at `stop`)
    LeadingZero,  // a digit right after a leading 0 (at `stop`); "0" before it is a number
  };
  const char* stop;  // just past the number, or the byte at fault (`end` for End)
  Fault fault;
  bool integral;     // no fraction and no exponent (when fault is None)
};

// Scans the number whose optional '-' is before `p`. One pass, no
// conversion.
inline NumberScan scan_number(const char* p, const char* end) noexcept {
  using Fault = NumberScan::Fault;
  if (p == end) return {p, Fault::End, false};
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return {p, Fault::LeadingZero, false};
  } else if (is_digit(*p)) {
    do ++p;
    while (p != end && is_digit(*p));
  } else {
    return {p, Fault::Invalid, false};
  }
  bool integral = true;
  if (p != end && *p == '.') {
    ++p;
    if (p == end) return {p, Fault::End, false};
    if (!is_digit(*p)) return {p, Fault::Invalid, false};
    do ++p;
    while (p != end && is_digit(*p));
    integral = false;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end) return {p, Fault::End, false};
    if (!is_digit(*p)) return {p, Fault::Invalid, false};
    do ++p;
    while (p != end && is_digit(*p));
    integral = false;
  }
  return {p, Fault::None, integral};
}

}  // namespace zelvo::json
