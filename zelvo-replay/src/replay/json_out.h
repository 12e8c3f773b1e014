// JsonOut: a growing buffer of JSON text, written the way Python's
// json.dumps(obj, ensure_ascii=False) writes the same values, so that
// results read back alike whichever path wrote them.
//
// Contracts:
//   - Strings are quoted with '"', '\\', \n, \r, \t, \b, \f escaped and
//     other control characters as \u00XX (lower-case hex); every other byte
//     is copied (the text must be UTF-8).
//   - Integers in decimal; floats as Python's repr (shortest round-trip
//     digits, exponent form below 1e-4 and from 1e16: "1e-05", "1e+16",
//     "1.5", "2.0"), NaN as NaN and infinities as Infinity / -Infinity.
//   - Appending is amortised O(length); the storage only grows, and clear()
//     keeps it for the next batch of lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace zelvo::replay {

class JsonOut {
 public:
  JsonOut() = default;
  JsonOut(const JsonOut&) = delete;
  JsonOut& operator=(const JsonOut&) = delete;

  std::string_view view() const noexcept { return {data_.get(), size_}; }
  std::size_t size() const noexcept { return size_; }
  void clear() noexcept { size_ = 0; }
  // Drops everything after the first `n` bytes.
  void truncate(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }

  void raw(std::string_view text) {
    char* p = room(text.size());
    std::memcpy(p, text.data(), text.size());
    size_ += text.size();
  }
  void ch(char c) {
    *room(1) = c;
    ++size_;
  }
  void u64(std::uint64_t v);
  void i64(std::int64_t v);
  void f64(double v);
  void boolean(bool b) { raw(b ? std::string_view("true") : std::string_view("false")); }
  void null() { raw("null"); }
  // A quoted, escaped string.
  void str(std::string_view text);

 private:
  // A pointer to at least `n` writable bytes at the end.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_.get() + size_;
  }
  void grow(std::size_t n);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zelvo::replay
