// Well-formed UTF-8, the one definition every JSON reader checks against:
// no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace zelvo::json {

// The size (2 to 4) of the well-formed sequence starting at p[0] >= 0x80,
// with `left` bytes from p to the end of the text; 0 when there is none.
inline std::ptrdiff_t utf8_sequence_size(const char* p, std::ptrdiff_t left) noexcept {
  const auto byte = [p](std::ptrdiff_t i) { return static_cast<unsigned char>(p[i]); };
  const unsigned char c = byte(0);
  std::ptrdiff_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlongs
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;  // no overlongs
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (left < n || byte(1) < lo || byte(1) > hi) return 0;
  for (std::ptrdiff_t i = 2; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// True when all of `bytes` is well-formed UTF-8. One pass, eight ASCII
// bytes at a time.
bool valid_utf8(std::string_view bytes) noexcept;

}  // namespace zelvo::json
