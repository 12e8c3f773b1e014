#include "replay/json_out.h"

#include <bit>
#include <charconv>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cmath>

namespace zelvo::replay {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

// Marks '"', '\\' and control characters; bytes >= 0x80 are copied as they are.
inline std::uint64_t needs_escape(std::uint64_t w) noexcept {
  const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  return zero_bytes(w ^ (kOnes * '"')) | zero_bytes(w ^ (kOnes * '\\')) | control;
}

}  // namespace

void JsonOut::grow(std::size_t n) {
  std::size_t cap = capacity_ == 0 ? 4096 : capacity_ * 2;
  while (cap - size_ < n) cap *= 2;
  std::unique_ptr<char[]> bigger(new char[cap]);
  if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = cap;
}

void JsonOut::u64(std::uint64_t v) {
  char* p = room(20);
  size_ += static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - p);
}

void JsonOut::i64(std::int64_t v) {
  char* p = room(20);
  size_ += static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - p);
}

void JsonOut::f64(double v) {
  if (std::isnan(v)) return raw("NaN");
  if (std::isinf(v)) return raw(v > 0 ? "Infinity" : "-Infinity");
  // Shortest round-trip digits in scientific form: "-d.ddde+XX".
  char sci[32];
  const char* sci_end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* p = sci;
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[20];
  int n = 0;
  for (; p != sci_end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), sci_end, exponent);
  const int point = exponent + 1;  // digits are 0.d1d2... x 10^point

  char* out = room(static_cast<std::size_t>(n) + 32);
  char* w = out;
  if (negative) *w++ = '-';
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      *w++ = '0';
      *w++ = '.';
      for (int i = 0; i < -point; ++i) *w++ = '0';
      for (int i = 0; i < n; ++i) *w++ = digits[i];
    } else if (point < n) {
      for (int i = 0; i < point; ++i) *w++ = digits[i];
      *w++ = '.';
      for (int i = point; i < n; ++i) *w++ = digits[i];
    } else {
      for (int i = 0; i < n; ++i) *w++ = digits[i];
      for (int i = n; i < point; ++i) *w++ = '0';
      *w++ = '.';
      *w++ = '0';
    }
  } else {
    *w++ = digits[0];
    if (n > 1) {
      *w++ = '.';
      for (int i = 1; i < n; ++i) *w++ = digits[i];
    }
    *w++ = 'e';
    const int e = point - 1;
    *w++ = e < 0 ? '-' : '+';
    const int mag = e < 0 ? -e : e;
    if (mag < 10) *w++ = '0';
    w = std::to_chars(w, w + 4, mag).ptr;
  }
  size_ += static_cast<std::size_t>(w - out);
}

void JsonOut::str(std::string_view text) {
  // Worst case: every byte becomes a six-byte \u00XX escape.
  char* const out = room(text.size() * 6 + 2);
  char* w = out;
  *w++ = '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i zero = _mm_setzero_si128();
    bool stopped = false;
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      // Control characters: below 0x20 in a signed compare, but not negative.
      const __m128i control = _mm_andnot_si128(_mm_cmplt_epi8(v, zero), _mm_cmplt_epi8(v, space));
      const int mask = _mm_movemask_epi8(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
      if (mask != 0) {
        const int plain = std::countr_zero(static_cast<unsigned>(mask));
        w += plain;
        p += plain;
        stopped = true;
        break;
      }
      w += 16;
      p += 16;
    }
    if (!stopped)
#endif
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t marks = needs_escape(word);
      if (marks != 0) {
        const int plain = std::countr_zero(marks) / 8;
        std::memcpy(w, p, static_cast<std::size_t>(plain));
        w += plain;
        p += plain;
        break;
      }
      std::memcpy(w, p, 8);
      w += 8;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = static_cast<unsigned char>(*p++);
    switch (c) {
      case '"': *w++ = '\\'; *w++ = '"'; break;
      case '\\': *w++ = '\\'; *w++ = '\\'; break;
      case '\n': *w++ = '\\'; *w++ = 'n'; break;
      case '\r': *w++ = '\\'; *w++ = 'r'; break;
      case '\t': *w++ = '\\'; *w++ = 't'; break;
      case '\b': *w++ = '\\'; *w++ = 'b'; break;
      case '\f': *w++ = '\\'; *w++ = 'f'; break;
      default:
        if (c < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          *w++ = '\\';
          *w++ = 'u';
          *w++ = '0';
          *w++ = '0';
          *w++ = kHex[c >> 4];
          *w++ = kHex[c & 15];
        } else {
          *w++ = static_cast<char>(c);
        }
    }
  }
  *w++ = '"';
  size_ += static_cast<std::size_t>(w - out);
}

}  // namespace zelvo::replay
