#include "eval/unicode_case.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "eval/unicode_case_tables.h"
#include "model/utf8.h"

namespace zelvo::unicode {
namespace {

using tables::CaseRun;
using tables::CodeRange;
using tables::FullMapping;

using utf8::Decoded;
using utf8::decode;
using utf8::kNotDecoded;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

char32_t simple_map(std::span<const CaseRun> runs, char32_t cp) noexcept {
  auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                             [](char32_t c, const CaseRun& r) { return c < r.first; });
  if (it == runs.begin()) return cp;
  const CaseRun& r = *(it - 1);
  const char32_t offset = cp - r.first;
  if (offset % r.stride != 0 || offset / r.stride >= r.count) return cp;
  return static_cast<char32_t>(static_cast<std::int64_t>(cp) + r.delta);
}

const FullMapping* full_map(std::span<const FullMapping> table, char32_t cp) noexcept {
  auto it = std::lower_bound(table.begin(), table.end(), cp,
                             [](const FullMapping& m, char32_t c) { return m.cp < c; });
  return it != table.end() && it->cp == cp ? &*it : nullptr;
}

bool in_ranges(std::span<const CodeRange> ranges, char32_t cp) noexcept {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                             [](char32_t c, const CodeRange& r) { return c < r.first; });
  return it != ranges.begin() && cp <= (it - 1)->last;
}

// Appends the full mapping of `cp` through one pair of tables.
void append_mapped(char32_t cp, std::span<const CaseRun> runs, std::span<const FullMapping> full,
                   std::string& out) {
  if (const FullMapping* m = full_map(full, cp)) {
    for (char32_t to : m->to) {
      if (to == 0) break;
      utf8::append(out, to);
    }
    return;
  }
  utf8::append(out, simple_map(runs, cp));
}

// Whether the capital sigma whose encoding ends at `next` is followed,
// after any case-ignorable characters, by a cased character.
bool followed_by_cased(std::string_view text, std::size_t next) noexcept {
  while (next < text.size()) {
    const Decoded d = decode(text, next);
    if (d.cp == kNotDecoded) return false;
    if (!is_case_ignorable(d.cp)) return is_cased(d.cp);
    next += d.size;
  }
  return false;
}

// Whether the capital sigma starting at `pos` is preceded, after any
// case-ignorable characters, by a cased character. Scans back only over
// case-ignorable characters, so the scans of a whole string stay linear.
bool preceded_by_cased(std::string_view text, std::size_t pos) noexcept {
  std::size_t end = pos;
  while (end > 0) {
    const Decoded d = utf8::decode_before(text, end);
    if (d.cp == kNotDecoded) return false;
    if (!is_case_ignorable(d.cp)) return is_cased(d.cp);
    end -= d.size;
  }
  return false;
}

}  // namespace

bool is_cased(char32_t cp) noexcept { return in_ranges(tables::cased, cp); }
bool is_case_ignorable(char32_t cp) noexcept { return in_ranges(tables::case_ignorable, cp); }
std::string_view unicode_version() noexcept { return tables::kUnicodeVersion; }

std::string to_upper(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(b >= 'a' && b <= 'z' ? static_cast<char>(b - ('a' - 'A')) : static_cast<char>(b));
      ++i;
      continue;
    }
    const Decoded d = decode(text, i);
    if (d.cp == kNotDecoded) {
      out.push_back(text[i]);
    } else {
      append_mapped(d.cp, tables::upper_runs, tables::upper_full, out);
    }
    i += d.size;
  }
  return out;
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b + ('a' - 'A')) : static_cast<char>(b));
      ++i;
      continue;
    }
    const Decoded d = decode(text, i);
    if (d.cp == kNotDecoded) {
      out.push_back(text[i]);
    } else if (d.cp == kCapitalSigma) {
      const bool final = preceded_by_cased(text, i) && !followed_by_cased(text, i + d.size);
      utf8::append(out, final ? kFinalSigma : kSmallSigma);
    } else {
      append_mapped(d.cp, tables::lower_runs, tables::lower_full, out);
    }
    i += d.size;
  }
  return out;
}

}  // namespace zelvo::unicode
