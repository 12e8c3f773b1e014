#include "json/writer.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelvo::json {
namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

// Marks '"', '\\' and control characters; bytes >= 0x80 are copied as they are.
inline std::uint64_t needs_escape(std::uint64_t w) noexcept {
  const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  return zero_bytes(w ^ (kOnes * '"')) | zero_bytes(w ^ (kOnes * '\\')) | control;
}

// The bytes JSON escapes in a string: quote, backslash, U+0000-U+001F.
constexpr auto kJsonEscapes = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

// "\u{hex}" of one byte, as the decoder's messages show it.
char* braced_hex(char* w, unsigned char c) {
  *w++ = '\\';
  *w++ = 'u';
  *w++ = '{';
  if (c >= 0x10) *w++ = kHex[c >> 4];
  *w++ = kHex[c & 15];
  *w++ = '}';
  return w;
}

// The escape of `c`, a byte that `style` escapes, written at `w` (at most
// six bytes); returns its end.
[[gnu::cold, gnu::noinline]] char* escape(unsigned char c, StringStyle style, char* w) {
  const bool json = style == StringStyle::Json;
  char letter = 0;
  switch (c) {
    case '"': letter = '"'; break;
    case '\\': letter = '\\'; break;
    case '\n': letter = 'n'; break;
    case '\r': letter = 'r'; break;
    case '\t': letter = 't'; break;
    case '\b': letter = json ? 'b' : 0; break;
    case '\f': letter = json ? 'f' : 0; break;
    case '\0': letter = json ? 0 : '0'; break;
    default: break;
  }
  if (letter != 0) {
    *w++ = '\\';
    *w++ = letter;
    return w;
  }
  if (!json) return braced_hex(w, c);
  *w++ = '\\';
  *w++ = 'u';
  *w++ = '0';
  *w++ = '0';
  *w++ = kHex[c >> 4];
  *w++ = kHex[c & 15];
  return w;
}

// The Display style, byte by byte (messages only: no fast path needed).
[[gnu::noinline]] char* display_body(std::string_view text, char* w) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // C1 control characters (U+0080..U+009F).
      w = braced_hex(w, static_cast<unsigned char>(text[++i]));
    } else if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
      w = escape(c, StringStyle::Display, w);
    } else {
      *w++ = static_cast<char>(c);
    }
  }
  return w;
}

// JSON's escapes, with long runs of plain bytes copied 16 or 8 at a time.
// `w` has room for six bytes per byte of `text`.
inline char* json_body(std::string_view text, char* w) {
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
    const auto c = static_cast<unsigned char>(*p++);
    if (kJsonEscapes[c]) {
      w = escape(c, StringStyle::Json, w);
    } else {
      *w++ = static_cast<char>(c);
    }
  }
  return w;
}

// Writes a string of fewer than 16 bytes in at most two loads and two
// stores when it needs no escape; returns null (having written nothing that
// counts) when it does, or when it is longer. `w` has room for six bytes per
// byte of `text`, so the overlapping stores stay inside that room.
inline char* json_short(std::string_view text, char* w) {
  const char* p = text.data();
  const std::size_t n = text.size();
  if (n >= 8) {
    if (n >= 16) return nullptr;
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
    if ((needs_escape(head) | needs_escape(tail)) != 0) return nullptr;
    std::memcpy(w, &head, 8);
    std::memcpy(w + n - 8, &tail, 8);
    return w + n;
  }
  if (n >= 4) {
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    // Both words in one: the marks of each byte stay within that byte.
    const std::uint64_t both = head | (static_cast<std::uint64_t>(tail) << 32);
    if (needs_escape(both) != 0) return nullptr;
    std::memcpy(w, &head, 4);
    std::memcpy(w + n - 4, &tail, 4);
    return w + n;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (kJsonEscapes[c]) return nullptr;
    w[i] = static_cast<char>(c);
  }
  return w + n;
}

// "00" .. "99".
constexpr auto kPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// The number of decimal digits of `v`.
inline int decimal_digits(std::uint64_t v) noexcept {
  static constexpr std::uint64_t kPowers[] = {0,
                                              10ull,
                                              100ull,
                                              1000ull,
                                              10000ull,
                                              100000ull,
                                              1000000ull,
                                              10000000ull,
                                              100000000ull,
                                              1000000000ull,
                                              10000000000ull,
                                              100000000000ull,
                                              1000000000000ull,
                                              10000000000000ull,
                                              100000000000000ull,
                                              1000000000000000ull,
                                              10000000000000000ull,
                                              100000000000000000ull,
                                              1000000000000000000ull,
                                              10000000000000000000ull};
  // floor(log10(2) * bits) is the digit count or one less.
  const int guess = ((64 - std::countl_zero(v | 1)) * 1233) >> 12;
  return guess + (v >= kPowers[guess]);
}

// The eight decimal digits of `v` < 10^8 (with leading zeros), the first
// in the lowest byte: split in halves, quarters and digits across the lanes
// of one word, each split one multiply and shift (exact below 10^4 and 100).
inline std::uint64_t eight_digit_word(std::uint64_t v) noexcept {
  const std::uint64_t halves = (v / 10000) | ((v % 10000) << 32);
  const std::uint64_t hundreds = ((halves * 5243) >> 19) & 0x0000007F0000007Full;
  const std::uint64_t quarters = hundreds | ((halves - hundreds * 100) << 16);
  const std::uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Full;
  return (tens | ((quarters - tens * 10) << 8)) + 0x3030303030303030ull;
}

// `v` < 10^8 at `w` (room for eight bytes) without leading zeros; returns its end.
inline char* up_to_eight_digits(std::uint64_t v, char* w) noexcept {
  const int n = decimal_digits(v);
  const std::uint64_t word = eight_digit_word(v) >> (8 * (8 - n));
  std::memcpy(w, &word, 8);
  return w + n;
}

// `v` in decimal at `w` (room for 20 bytes); returns its end. Below 10^16
// (on little-endian machines) as one or two eight-digit words; beyond, two
// digits a step from the right.
inline char* decimal(std::uint64_t v, char* w) noexcept {
  if (v < 10) {
    *w = static_cast<char>('0' + v);
    return w + 1;
  }
  if (v < 100) {
    std::memcpy(w, &kPairs[2 * v], 2);
    return w + 2;
  }
  if constexpr (std::endian::native == std::endian::little) {
    if (v < 100000000) return up_to_eight_digits(v, w);
    if (v < 10000000000000000ull) {
      w = up_to_eight_digits(v / 100000000, w);
      const std::uint64_t low = eight_digit_word(v % 100000000);
      std::memcpy(w, &low, 8);
      return w + 8;
    }
  }
  const int n = decimal_digits(v);
  char* const end = w + n;
  char* p = end;
  while (v >= 100) {
    const std::uint64_t q = v / 100;
    p -= 2;
    std::memcpy(p, &kPairs[2 * (v - q * 100)], 2);
    v = q;
  }
  if (v >= 10) {
    std::memcpy(p - 2, &kPairs[2 * v], 2);
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return end;
}

// Python's repr of a finite double, at `w` (room for 32 bytes beyond the
// digits); returns its end.
char* repr_float(double v, char* w) {
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
    return w;
  }
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
  return std::to_chars(w, w + 4, mag).ptr;
}

}  // namespace

void Writer::grow(std::size_t n) {
  std::size_t cap = capacity_ == 0 ? 4096 : capacity_ * 2;
  while (cap - size_ < n) cap *= 2;
  std::unique_ptr<char[]> bigger(new char[cap]);
  if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = cap;
}

std::string Writer::take() && { return std::string(view()); }

void Writer::quoted(std::string_view text) {
  // Worst case: every byte becomes a six-byte escape.
  char* const out = room(text.size() * 6 + 2);
  char* w = out;
  *w++ = '"';
  if (style_.strings == StringStyle::Json) [[likely]] {
    char* const fast = json_short(text, w);
    w = fast != nullptr ? fast : json_body(text, w);
  } else {
    w = display_body(text, w);
  }
  *w++ = '"';
  size_ += static_cast<std::size_t>(w - out);
}

void Writer::u64(std::uint64_t value) {
  char* p = room(20);
  size_ += static_cast<std::size_t>(decimal(value, p) - p);
}

void Writer::i64(std::int64_t value) {
  char* p = room(21);
  char* w = p;
  auto magnitude = static_cast<std::uint64_t>(value);
  if (value < 0) {
    *w++ = '-';
    magnitude = 0 - magnitude;
  }
  size_ += static_cast<std::size_t>(decimal(magnitude, w) - p);
}

void Writer::f64(double value) {
  if (style_.floats == FloatStyle::Repr) {
    if (std::isnan(value)) return raw("NaN");
    if (std::isinf(value)) return raw(value > 0 ? "Infinity" : "-Infinity");
    char* out = room(64);
    size_ += static_cast<std::size_t>(repr_float(value, out) - out);
    return;
  }
  char* out = room(32);
  const char* end = std::to_chars(out, out + 32, value).ptr;
  size_ += static_cast<std::size_t>(end - out);
  // "2" would read back as a float too, but says "integer" to a reader.
  if (std::isfinite(value) && std::string_view(out, static_cast<std::size_t>(end - out)).find_first_of(".e") ==
                                  std::string_view::npos) {
    raw(".0");
  }
}

void Writer::newline_indent() {
  char* p = room(1 + 2 * nonempty_.size());
  *p = '\n';
  std::memset(p + 1, ' ', 2 * nonempty_.size());
  size_ += 1 + 2 * nonempty_.size();
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (nonempty_.empty()) return;
  if (nonempty_.back()) ch(',');
  nonempty_.back() = true;
  if (style_.layout == Layout::Indented) newline_indent();
}

void Writer::open(char bracket) {
  before_value();
  ch(bracket);
  nonempty_.push_back(false);
}

void Writer::close(char bracket) {
  const bool had_elements = nonempty_.back();
  nonempty_.pop_back();
  if (had_elements && style_.layout == Layout::Indented) newline_indent();
  ch(bracket);
}

void Writer::key(std::string_view name) {
  before_value();
  ch('"');
  raw(name);
  raw(style_.layout == Layout::Indented ? std::string_view("\": ") : std::string_view("\":"));
  after_key_ = true;
}

}  // namespace zelvo::json
