// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/utf8.h"

namespace zelvo_fuzz {

// Stops the run with a message; libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz invariant violated: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF), the
// form the host's str and the decoder over bytes both demand. Written apart
// from the decoder's own check on purpose: it is the oracle that decides when
// the text and bytes decoders must agree.
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t n;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
      n = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      n = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      n = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Appends the UTF-8 form of a scalar value (surrogates are mapped away).
inline void append_utf8(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  zelvo::utf8::append(out, cp);
}

// The position suffix every decoder message ends with.
inline bool has_position_suffix(std::string_view message) {
  const std::size_t at = message.rfind(" at line ");
  return at != std::string_view::npos && message.find(" column ", at) != std::string_view::npos;
}

}  // namespace zelvo_fuzz
