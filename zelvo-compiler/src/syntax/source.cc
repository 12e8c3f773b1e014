#include "syntax/source.h"

#include <algorithm>
#include <cstring>

#include "diag/diagnostic.h"

namespace zelvo::lang {

namespace {

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_length(std::string_view s, std::size_t i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto d = static_cast<unsigned char>(s[i + k]);
    if (!is_continuation(d)) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

Source::Source(std::string_view text, std::string_view filename)
    : text_(text), filename_(filename), bom_(text.substr(0, 3) == "\xEF\xBB\xBF") {
  line_starts_.push_back(0);
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* at = begin; at < end;) {
    const void* nl = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
    if (nl == nullptr) break;
    at = static_cast<const char*>(nl) + 1;
    line_starts_.push_back(static_cast<std::uint32_t>(at - begin));
  }
  // The position at each checkpoint: from the start of its line, or from
  // the checkpoint before when that is on the same line.
  checkpoints_.reserve(text.size() / kCheckpoint + 1);
  Position p{1, 1};
  std::size_t scanned = 0;  // p is the position of this byte
  for (std::size_t at = 0; at < text.size(); at += kCheckpoint) {
    const std::uint32_t line = line_index(static_cast<std::uint32_t>(at));
    if (line_starts_[line] > scanned) {
      p = {line + 1, 1};
      scanned = line_starts_[line];
    }
    for (; scanned < at; ++scanned) {
      const auto c = static_cast<unsigned char>(text[scanned]);
      if (!is_continuation(c) && (scanned != 0 || !bom_)) ++p.column;
    }
    checkpoints_.push_back(p);
  }
}

std::uint32_t Source::line_index(std::uint32_t offset) const {
  auto it = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
  return static_cast<std::uint32_t>(it - line_starts_.begin() - 1);
}

Source::Position Source::position(std::uint32_t offset) const {
  offset = std::min<std::uint32_t>(offset, static_cast<std::uint32_t>(text_.size()));
  const std::size_t block = offset / kCheckpoint;
  if (block >= checkpoints_.size()) {  // offset == size at a block boundary (or an empty text)
    if (checkpoints_.empty()) return {1, 1};
  }
  const std::size_t b = std::min(block, checkpoints_.size() - 1);
  Position p = checkpoints_[b];
  for (std::size_t i = b * kCheckpoint; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text_[i]);
    if (c == '\n') {
      ++p.line;
      p.column = 1;
    } else if (!is_continuation(c) && (i != 0 || !bom_)) {
      ++p.column;
    }
  }
  return p;
}

Span Source::span(std::uint32_t offset, std::uint32_t length) const {
  Span s;
  s.offset = offset;
  s.length = length;
  const Position a = position(offset);
  const Position b = position(offset + length);
  s.line = a.line;
  s.column = a.column;
  s.end_line = b.line;
  s.end_column = b.column;
  return s;
}

Source::Excerpt Source::excerpt(std::uint32_t offset) const {
  offset = std::min<std::uint32_t>(offset, static_cast<std::uint32_t>(text_.size()));
  const std::uint32_t index = line_index(offset);
  std::size_t begin = line_starts_[index];
  std::size_t end = index + 1 < line_starts_.size() ? line_starts_[index + 1] - 1 : text_.size();
  if (end > begin && text_[end - 1] == '\r') --end;
  std::uint32_t first_column = 1;
  if (end - begin > kMaxExcerptBytes) {
    // Keep a window around the offset, starting at a character boundary.
    std::size_t from = offset > begin + kMaxExcerptBytes / 2 ? offset - kMaxExcerptBytes / 2 : begin;
    while (from > begin && is_continuation(static_cast<unsigned char>(text_[from]))) --from;
    first_column = position(static_cast<std::uint32_t>(from)).column;
    begin = from;
    end = std::min(end, begin + kMaxExcerptBytes);
  }
  std::string out;
  out.reserve(end - begin);
  for (std::size_t i = begin; i < end;) {
    std::size_t n = utf8_length(text_, i);
    if (n == 0 || i + n > end) {
      // An invalid byte, or a character cut by the window: one U+FFFD for
      // each byte that position() counts as a character.
      if (!is_continuation(static_cast<unsigned char>(text_[i]))) {
        if (out.size() + 3 > kMaxExcerptBytes) break;
        out += "\xEF\xBF\xBD";
      }
      ++i;
      continue;
    }
    if (out.size() + n > kMaxExcerptBytes) break;
    if (text_[i] == '\0') {
      out += ' ';
    } else {
      out.append(text_.data() + i, n);
    }
    i += n;
  }
  return {std::move(out), first_column};
}

}  // namespace zelvo::lang
