// TraceLines: the non-blank lines of a trace's text, each with its number.
//
// Lines end at '\n' (a '\r' before it is dropped); a line of spaces, tabs
// and carriage returns only is blank and skipped. Each non-blank line is
// numbered by its 1-based position in the text (blank lines count), or by
// the caller's list of numbers, one per non-blank line (for a trace cut out
// of a larger file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace zelvo::replay {

struct TraceLine {
  std::string_view text;
  std::uint64_t number = 0;
};

class TraceLines {
 public:
  explicit TraceLines(std::string_view data) noexcept : data_(data) {}
  TraceLines(std::string_view data, std::span<const std::uint64_t> numbers) noexcept
      : data_(data), numbers_(numbers), use_numbers_(true) {}

  // The next non-blank line; false at the end of the text. With caller
  // numbers, also false (and exhausted() true) when they run out first.
  bool next(TraceLine& out) noexcept {
    while (pos_ < data_.size()) {
      const char* start = data_.data() + pos_;
      const void* nl = std::memchr(start, '\n', data_.size() - pos_);
      const std::size_t len = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) : data_.size() - pos_;
      pos_ += len + (nl ? 1 : 0);
      ++position_;
      std::string_view text(start, len);
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      if (blank(text)) continue;
      if (use_numbers_) {
        if (taken_ == numbers_.size()) {
          exhausted_ = true;
          return false;
        }
        out.number = numbers_[taken_];
      } else {
        out.number = position_;
      }
      ++taken_;
      out.text = text;
      return true;
    }
    return false;
  }

  // Non-blank lines returned so far.
  std::size_t taken() const noexcept { return taken_; }
  bool exhausted() const noexcept { return exhausted_; }

  // The number of non-blank lines of `data`.
  static std::size_t count(std::string_view data) noexcept {
    TraceLines lines(data);
    TraceLine line;
    while (lines.next(line)) {
    }
    return lines.taken();
  }

  static bool blank(std::string_view text) noexcept {
    for (char c : text) {
      if (c != ' ' && c != '\t' && c != '\r') return false;
    }
    return true;
  }

 private:
  std::string_view data_;
  std::span<const std::uint64_t> numbers_;
  std::size_t pos_ = 0;
  std::uint64_t position_ = 0;
  std::size_t taken_ = 0;
  bool use_numbers_ = false;
  bool exhausted_ = false;
};

}  // namespace zelvo::replay
