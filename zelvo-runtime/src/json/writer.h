// Writer: JSON text appended to one growing buffer; the one writer of JSON
// in the runtime and the tools built on it.
//
// It is driven in one of two ways (one per text; they do not mix):
//   - values: begin_object / key / string / integer / ... / end_object place
//     the commas and the layout's whitespace themselves;
//   - pieces: raw / ch / quoted / u64 / i64 / f64 append exactly one piece
//     with nothing around it, for a caller that writes a fixed shape with
//     fixed text between its values (a result line per replayed event) and
//     should pay nothing per value for separators.
//
// Contracts:
//   - Strings (StringStyle::Json): quoted with '"', '\\', \n, \r, \t, \b, \f
//     escaped and the other control characters as \u00XX (lower-case hex);
//     every other byte is copied (the text must be UTF-8).
//   - Integers in decimal; floats in the writer's FloatStyle.
//   - Keys are written as they are: field names, which need no escape.
//   - Appending is amortised O(length); the storage only grows, clear() keeps
//     it for the next batch (growth copies only what was written; new room
//     is never cleared); take() copies the text out once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::json {

enum class Layout : std::uint8_t {
  Compact,   // no whitespace at all: {"a":[1,2]}
  Indented,  // two spaces per level, one member or element a line; empty
             // arrays and objects stay "[]" and "{}"
};

enum class FloatStyle : std::uint8_t {
  // The shortest text that reads back as the same double, in whichever of
  // plain or exponent form is shorter, with ".0" added where that text
  // would read as an integer: 2.0 gives "2.0", 1e300 "1e+300", 0.0001
  // "1e-04". Finite values only.
  Shortest,
  // As Python's repr: shortest round-trip digits, exponent form below 1e-4
  // and from 1e16 ("1e-05", "1e+16", "1.5", "2.0", "0.0001"); NaN as NaN and
  // infinities as Infinity / -Infinity, as Python's json module writes them.
  Repr,
};

enum class StringStyle : std::uint8_t {
  Json,     // JSON's escapes (see above)
  // The decoder's messages: \" \\ \n \r \t and \0, every other control
  // character, DEL and the C1 controls as \u{hex}; not JSON.
  Display,
};

struct Style {
  Layout layout = Layout::Compact;
  FloatStyle floats = FloatStyle::Shortest;
  StringStyle strings = StringStyle::Json;
};

class Writer {
 public:
  explicit Writer(Style style = {}) : style_(style) {}
  Writer(Writer&&) noexcept = default;
  Writer& operator=(Writer&&) noexcept = default;

  // --- values ---
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // The key of the next member of the open object, written as it is (not
  // escaped): keys are names the program spells, never text from input.
  void key(std::string_view name);
  void string(std::string_view text) {
    before_value();
    quoted(text);
  }
  void integer(std::int64_t value) {
    before_value();
    i64(value);
  }
  void unsigned_integer(std::uint64_t value) {
    before_value();
    u64(value);
  }
  void floating(double value) {
    before_value();
    f64(value);
  }
  void boolean(bool value) {
    before_value();
    raw(value ? std::string_view("true") : std::string_view("false"));
  }
  void null() {
    before_value();
    raw("null");
  }

  // --- pieces ---
  void raw(std::string_view text) {
    if (text.empty()) return;  // an empty view may hold no pointer at all
    char* p = room(text.size());
    std::memcpy(p, text.data(), text.size());
    size_ += text.size();
  }
  void ch(char c) {
    *room(1) = c;
    ++size_;
  }
  // A quoted, escaped string.
  void quoted(std::string_view text);
  void u64(std::uint64_t value);
  void i64(std::int64_t value);
  void f64(double value);

  // Room for `n` more bytes, so that writing them moves nothing.
  void reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
  }

  // --- the text ---
  // Complete once every open array and object is closed.
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  std::size_t size() const noexcept { return size_; }
  void clear() noexcept { size_ = 0; }
  // Drops everything after the first `n` bytes.
  void truncate(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }
  std::string take() &&;

 private:
  // A pointer to at least `n` writable bytes at the end.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_.get() + size_;
  }
  void grow(std::size_t n);
  void open(char bracket);
  void close(char bracket);
  // The comma and indentation before a value (none after a key).
  void before_value();
  void newline_indent();

  Style style_;
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  // One entry per open array or object: whether it holds an element yet.
  std::vector<unsigned char> nonempty_;
  bool after_key_ = false;
};

}  // namespace zelvo::json
