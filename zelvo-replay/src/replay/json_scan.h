// JsonScanner: a strict reader of one JSON text (one line of a trace, or a
// map of context values) that builds engine Values as it goes, with no
// document in between.
//
// Contracts:
//   - Accepts exactly RFC 8259 JSON: no NaN/Infinity, no comments, no
//     trailing commas, no raw control characters in strings, valid UTF-8
//     only (no overlongs, surrogates or code points above U+10FFFF), no
//     lone surrogates through \u escapes.
//   - At most kMaxDepth arrays and objects may be open at once; reading is
//     recursive and bounded by that limit, so no input exhausts the stack.
//   - Numbers become what a host reading the text would store: an integer
//     that fits 64 signed bits is an Int (-0 is Int 0); any other integer
//     is the nearest Float, or, beyond the range of a double, a String of
//     its digits; a number with a fraction or an exponent is the nearest
//     Float (inf or 0 beyond the range).
//   - A repeated key inside an object keeps its first position and its
//     last value.
//   - The first error stops reading and is kept in error(); what was built
//     so far is left in the caller's values.
//   - With borrowing on, a string longer than Str's inline capacity that
//     needs no unescaping is a borrowed Str into the input: the caller keeps
//     the input alive and unchanged as long as such values live.
//   - The tokens (whitespace, plain runs of strings, escapes, UTF-8, the
//     number grammar, the depth limit) are the runtime's JSON layer
//     (json/); the values built and the errors are this reader's own.
//   - Cost: one pass over the bytes, sixteen at a time inside strings; no
//     allocation beyond the values built (and a scratch text reused for
//     strings with escapes).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "event/value.h"
#include "json/depth.h"
#include "json/whitespace.h"
#include "replay/field_numbers.h"
#include "replay/line_error.h"

namespace zelvo::replay {

class JsonScanner {
 public:
  static constexpr int kMaxDepth = json::kDepthLimit;

  explicit JsonScanner(bool borrow_strings = false) noexcept : borrow_(borrow_strings) {}
  JsonScanner(const JsonScanner&) = delete;
  JsonScanner& operator=(const JsonScanner&) = delete;

  // Starts reading `text` (the previous text and error are forgotten).
  void reset(std::string_view text) noexcept {
    begin_ = cur_ = text.data();
    end_ = text.data() + text.size();
    error_ = LineError{};
  }

  // --- Cursor -------------------------------------------------------------
  // Skips whitespace; the next byte (not consumed) or -1 at the end.
  int skip_ws() noexcept { return json::skip_ws(cur_, end_); }
  void eat() noexcept { ++cur_; }
  std::size_t offset() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
  const char* position() const noexcept { return cur_; }
  // The kind of the value starting at the cursor (after whitespace), or
  // nothing when no value can start there (reported as ExpectedValue).
  bool peek_kind(JsonKind& kind);

  // --- Values -------------------------------------------------------------
  // Reads the value at the cursor into `out`; `depth` arrays and objects
  // are open around it.
  bool value(Value& out, int depth);
  // Reads the object at the cursor ('{' not consumed) into `out`, which is
  // cleared first.
  bool object(ValueMap& out, int depth);
  // The same, building only the entries `numbers` numbers (the others are
  // checked as strictly but not built), and noting in
  // `positions` (numbers.count() entries, all kNoFieldPosition on entry)
  // where each one landed in `out`: a repeated key keeps its first
  // position, as above. `out`'s entries are reused where they can be (on
  // failure it may hold anything).
  bool object(ValueMap& out, int depth, const FieldNumbers& numbers, std::span<std::uint32_t> positions);
  // Reads the string at the cursor ('"' not consumed). `out` stays valid
  // until the next string is read.
  bool string_view(std::string_view& out);
  // Reads a string as a Str (borrowed when allowed, see above).
  bool string(Str& out);
  // Reads an integer ('-'? digits, nothing else) at the cursor. Returns
  // false with no error recorded when the number has a fraction or an
  // exponent or does not fit 64 signed bits, leaving the cursor after it;
  // `text` is the number as written in every case.
  bool integer(std::int64_t& out, std::string_view& text);
  // The common case of integer(), inline: at the cursor, at most 18
  // digits, no sign, no leading zero, and no fraction or exponent after
  // them. True with the cursor after them; false, with nothing moved or
  // recorded, for anything else (which integer() then reads).
  // Eight digits at a time while eight more are there (a 13-digit time in
  // milliseconds is one such step and five single digits).
  bool small_natural(std::uint64_t& out) noexcept {
    const char* p = cur_;
    std::uint64_t n = 0;
    while (std::endian::native == std::endian::little && end_ - p >= 8 && p - cur_ <= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (!eight_digits(word)) break;
      n = n * 100000000 + eight_digits_value(word);
      p += 8;
    }
    const char* const limit = end_ - cur_ > 18 ? cur_ + 18 : end_;
    while (p != limit && static_cast<unsigned char>(*p - '0') < 10) {
      n = n * 10 + static_cast<std::uint64_t>(*p - '0');
      ++p;
    }
    if (p == cur_ || (*cur_ == '0' && p - cur_ > 1)) return false;
    if (p != end_ && (static_cast<unsigned char>(*p - '0') < 10 || *p == '.' || *p == 'e' || *p == 'E')) return false;
    out = n;
    cur_ = p;
    return true;
  }
  // Whether the eight bytes of `word` (in memory order) are all digits.
  static bool eight_digits(std::uint64_t word) noexcept {
    // High nibble 3 in each byte, and still 3 after adding 6 (so <= '9').
    constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull;
    return ((word & kHigh) | (((word + 0x0606060606060606ull) & kHigh) >> 4)) == 0x3333333333333333ull;
  }
  // The number eight digits spell, first digit in the lowest byte: pairs,
  // then quads, then the whole, each step with one multiply.
  static std::uint64_t eight_digits_value(std::uint64_t word) noexcept {
    word -= 0x3030303030303030ull;
    word = word * 10 + (word >> 8);  // each even byte: two digits' value
    const std::uint64_t pairs_0_2 = word & 0x000000FF000000FFull;
    const std::uint64_t pairs_1_3 = (word >> 16) & 0x000000FF000000FFull;
    return (pairs_0_2 * (100 + (1000000ull << 32)) + pairs_1_3 * (1 + (10000ull << 32))) >> 32;
  }
  // Skips one value, checking it as strictly as value() would.
  bool skip_value(int depth);

  // At the end of the text: only whitespace may follow.
  bool end();

  // --- Errors -------------------------------------------------------------
  // Records `code` at the cursor (column = offset + 1); returns false.
  bool fail(LineErrc code) noexcept;
  bool fail_at(LineErrc code, const char* where) noexcept;
  const LineError& error() const noexcept { return error_; }
  LineError& error() noexcept { return error_; }

 private:
  bool literal(std::string_view word);
  bool number(Value& out);
  bool number_text(std::string_view& text, bool& integral);
  // The grammar of objects and arrays, written once for reading and
  // skipping (see json_scan.cc).
  template <class Member>
  bool members(int depth, Member&& member);
  template <class Element>
  bool elements(int depth, Element&& element);
  // The string whose opening quote was consumed: the bytes up to the
  // closing quote, which is consumed. `escaped` tells whether `out` is the
  // unescaped scratch text rather than a slice of the input.
  // Inline for the common string: shorter than sixteen bytes and plain
  // ASCII, in a text of at least sixteen bytes; any other goes to
  // string_scan, which reads it from its start again. Near the text's end
  // the sixteen bytes looked at end with the text's last byte, and the
  // marks of those before the cursor are shifted out.
  bool string_body(std::string_view& out, bool& escaped) {
#if defined(__SSE2__)
    if (end_ - cur_ >= 16) {
      if (plain_string(cur_, 0, out)) {
        escaped = false;
        return true;
      }
    } else if (end_ - begin_ >= 16) {
      if (plain_string(end_ - 16, static_cast<unsigned>(16 - (end_ - cur_)), out)) {
        escaped = false;
        return true;
      }
    }
#endif
    return string_scan(out, escaped);
  }
#if defined(__SSE2__)
  // The sixteen bytes at `at` (the cursor is `skip` bytes after it): true,
  // with the cursor after the closing quote, when the string at the cursor
  // ends among them with only plain ASCII before its quote.
  bool plain_string(const char* at, unsigned skip, std::string_view& out) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // Below 0x20 in a signed compare: control characters and bytes >= 0x80.
    const __m128i marks = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
        _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(marks)) >> skip;
    if (mask == 0) return false;
    const int length = std::countr_zero(mask);
    if (cur_[length] != '"') return false;
    out = std::string_view(cur_, static_cast<std::size_t>(length));
    cur_ += length + 1;
    return true;
  }
#endif
  bool string_scan(std::string_view& out, bool& escaped);
  bool string_slow(const char* start, const char* stop, std::string_view& out);
  bool utf8_sequence(const char*& p) noexcept;
  bool escape(const char*& p);

  const char* begin_ = nullptr;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  bool borrow_;
  std::string scratch_;
  LineError error_;
};

}  // namespace zelvo::replay
