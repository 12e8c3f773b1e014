#include "syntax/lexical.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace zelvo::lang {

namespace {

constexpr std::array<std::string_view, 45> kKeywords{
    "policy",  "severity", "scopes",   "annotation", "compiler_version", "source_hash", "rule",
    "on",      "when",     "unless",   "allow",      "deny",             "audit",       "redact",
    "log",     "notify",   "escalate", "block",      "tag",              "rate_limit",  "quota",
    "machine", "state",    "initial",  "accepting",  "violating",        "deadline",    "transition",
    "and",     "or",       "not",      "implies",    "in",               "true",        "false",
    "event",   "context",  "config",   "local",      "match",            "case",        "else",
    "is",      "if",       "decide"};

bool is_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The keywords by first letter (all are lower case): for each letter, the
// positions in kKeywords of those starting with it, then kNone.
constexpr std::uint8_t kNone = 0xFF;
constexpr std::size_t kPerLetter = 8;
constexpr auto kByFirstLetter = [] {
  std::array<std::array<std::uint8_t, kPerLetter>, 26> table{};
  for (auto& row : table) row.fill(kNone);
  for (std::size_t i = 0; i < kKeywords.size(); ++i) {
    auto& row = table[static_cast<std::size_t>(kKeywords[i][0] - 'a')];
    std::size_t n = 0;
    while (row[n] != kNone) ++n;
    row[n] = static_cast<std::uint8_t>(i);  // a ninth keyword of one letter fails to compile here
  }
  return table;
}();

void append_hex_escape(std::string& out, unsigned code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", code);
  out += buf;
}

std::string quote(std::string_view text, char delimiter) {
  std::string out;
  out.reserve(text.size() + 2);
  out += delimiter;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == delimiter || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      append_hex_escape(out, c);
    } else {
      out += ch;
    }
  }
  out += delimiter;
  return out;
}

}  // namespace

std::span<const std::string_view> keywords() noexcept { return kKeywords; }

bool is_keyword(std::string_view word) noexcept {
  if (word.empty() || word[0] < 'a' || word[0] > 'z') return false;
  for (const std::uint8_t i : kByFirstLetter[static_cast<std::size_t>(word[0] - 'a')]) {
    if (i == kNone) return false;
    if (kKeywords[i] == word) return true;
  }
  return false;
}

bool is_word(std::string_view text) noexcept {
  if (text.empty() || !(is_letter(text[0]) || text[0] == '_')) return false;
  for (char c : text) {
    if (!(is_letter(c) || is_digit(c) || c == '_')) return false;
  }
  return true;
}

bool is_identifier(std::string_view text) noexcept { return is_word(text) && text != "_" && !is_keyword(text); }

std::string format_string(std::string_view text) { return quote(text, '"'); }
std::string format_raw_name(std::string_view text) { return quote(text, '`'); }

std::string format_name(std::string_view text) {
  return is_identifier(text) ? std::string(text) : format_string(text);
}

std::string format_arg_name(std::string_view text) {
  return is_word(text) ? std::string(text) : format_string(text);
}

std::string format_field_segment(std::string_view text) {
  if (is_word(text)) return "." + std::string(text);
  return "[" + format_string(text) + "]";
}

std::string format_float(double value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string out(buf, ec == std::errc() ? end : buf);
  if (out.find_first_of(".eEn") == std::string::npos) out += ".0";  // "n": nan/inf never reach here
  return out;
}

std::string_view duration_suffix(std::uint8_t unit_ordinal) noexcept {
  constexpr std::array<std::string_view, 5> kSuffix{"ms", "s", "m", "h", "d"};
  return unit_ordinal < kSuffix.size() ? kSuffix[unit_ordinal] : std::string_view("ms");
}

std::string format_duration_millis(std::uint64_t millis) {
  struct Unit { std::uint64_t factor; std::string_view suffix; };
  constexpr std::array<Unit, 4> kUnits{{{86'400'000, "d"}, {3'600'000, "h"}, {60'000, "m"}, {1'000, "s"}}};
  if (millis != 0) {
    for (const Unit& u : kUnits) {
      if (millis % u.factor == 0) return std::to_string(millis / u.factor) + std::string(u.suffix);
    }
  }
  return std::to_string(millis) + "ms";
}

bool duration_wraps(std::uint64_t count, std::uint8_t unit_ordinal) noexcept {
  static constexpr std::uint64_t kFactor[] = {1, 1000, 60'000, 3'600'000, 86'400'000};
  const std::uint64_t f = unit_ordinal < 5 ? kFactor[unit_ordinal] : 1;
  return count > UINT64_MAX / f;
}

}  // namespace zelvo::lang
