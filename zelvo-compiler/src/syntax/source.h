// Source: the text of one file with its line table, and the conversion of
// byte offsets to the line/column positions diagnostics carry.
//
// Columns count characters: each byte that does not continue a UTF-8
// sequence counts one (an invalid byte counts one too). Building costs one
// pass; position() scans at most 4 KiB.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/span.h"

namespace zelvo::lang {

// The length of the well-formed UTF-8 sequence at s[i] (no overlong form,
// no surrogate, at most U+10FFFF), or 0 when there is none.
std::size_t utf8_length(std::string_view s, std::size_t i) noexcept;

class Source {
 public:
  Source(std::string_view text, std::string_view filename);

  std::string_view text() const noexcept { return text_; }
  const std::string& filename() const noexcept { return filename_; }
  // The offset where each line begins, the first line's (0) first.
  std::span<const std::uint32_t> line_starts() const noexcept { return line_starts_; }

  struct Position {
    std::uint32_t line;
    std::uint32_t column;
  };
  Position position(std::uint32_t offset) const;
  // A span with line and columns filled from offset and length.
  Span span(std::uint32_t offset, std::uint32_t length) const;

  // The excerpt of the line holding `offset`: valid UTF-8 (an invalid byte
  // becomes U+FFFD), at most kMaxExcerptBytes, cut around the offset; and
  // the column of its first character.
  struct Excerpt {
    std::string text;
    std::uint32_t first_column;
  };
  Excerpt excerpt(std::uint32_t offset) const;

 private:
  std::uint32_t line_index(std::uint32_t offset) const;
  std::string_view text_;
  std::string filename_;
  std::vector<std::uint32_t> line_starts_;
  // The position at every kCheckpoint-th byte, so that position() scans
  // at most that many bytes.
  static constexpr std::uint32_t kCheckpoint = 4096;
  std::vector<Position> checkpoints_;
  bool bom_ = false;  // a leading byte-order mark: it takes no column
};

}  // namespace zelvo::lang
