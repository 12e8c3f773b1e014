// The bytes of a JSON text between tokens and inside strings: the plain run
// of a string, digits and hex digits. Shared by every JSON reader of the
// runtime and above it.
//
// Cost: plain_run looks at sixteen bytes at a time where the processor has
// SSE2, then eight, then one; it never reads outside [p, end).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelvo::json {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The value of a hex digit, or -1.
inline int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The first byte at or after `p` that ends the plain run of a string, or
// `end`. The run ends at '"', '\\' and a control character (< 0x20); with
// kStopAtHigh also at any byte >= 0x80, for readers that check UTF-8
// sequence by sequence as they go.
template <bool kStopAtHigh>
inline const char* plain_run(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i low;
    if constexpr (kStopAtHigh) {
      low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));  // signed: below 0x20 or at least 0x80
    } else {
      low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);  // unsigned: at most 0x1F
    }
    const __m128i marks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), low);
    const int mask = _mm_movemask_epi8(marks);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    // Zero bytes of w ^ c marked by their high bit; the lowest mark is exact
    // (false marks only appear above a true one).
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t b = w ^ (kOnes * '\\');
    std::uint64_t marks = ((q - kOnes) & ~q & kHighs) | ((b - kOnes) & ~b & kHighs) | ((w - kOnes * 0x20) & ~w & kHighs);
    if constexpr (kStopAtHigh) marks |= w & kHighs;
    if (marks != 0) return p + std::countr_zero(marks) / 8;
    p += 8;
  }
  while (p != end) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || (kStopAtHigh && c >= 0x80)) return p;
    ++p;
  }
  return p;
}

}  // namespace zelvo::json
