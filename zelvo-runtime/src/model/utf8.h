// UTF-8 text one character at a time: decoding and encoding.
//
// The runtime's strings are valid UTF-8 by contract, but these helpers stay
// safe on any bytes: a byte that does not start a well-formed sequence is
// reported as one undecoded byte, and nothing reads outside the text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelvo::utf8 {

inline constexpr char32_t kNotDecoded = 0xFFFFFFFF;

struct Decoded {
  char32_t cp;       // kNotDecoded for a byte that starts no well-formed sequence
  std::size_t size;  // bytes consumed, at least 1
};

// Decodes the character starting at text[i] (i < text.size()). Overlong
// forms and surrogates are not rejected: they cannot occur in valid input.
inline Decoded decode(std::string_view text, std::size_t i) noexcept {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t n;
  char32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4;
    cp = b0 & 0x07;
  } else {
    return {kNotDecoded, 1};
  }
  if (text.size() - i < n) return {kNotDecoded, 1};
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return {kNotDecoded, 1};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp > 0x10FFFF) return {kNotDecoded, 1};
  return {cp, n};
}

// Decodes the character that ends at text[end - 1] (0 < end <= text.size()).
// Returns kNotDecoded, size 1, when the bytes before `end` do not form one
// well-formed character.
inline Decoded decode_before(std::string_view text, std::size_t end) noexcept {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  const Decoded d = decode(text, start);
  if (d.cp == kNotDecoded || start + d.size != end) return {kNotDecoded, 1};
  return d;
}

// Appends the UTF-8 form of `cp` (at most U+10FFFF; the caller maps
// surrogates away where they must not appear).
inline void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace zelvo::utf8
