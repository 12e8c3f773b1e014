// How the engine reads the text of a pattern literal, and whether a reader
// who takes it for a regular expression would read it the same way.
//
// `matches` is not a regular-expression match. The engine applies the
// first of four rules (docs/language.md, "Patterns"):
//   1. "^X$"  exact: the text equals X
//   2. "X.*"  prefix: the text begins with X
//   3. ".*X"  suffix: the text ends with X
//   4. "X"    substring: the text contains X
// A pattern is misread when X still holds a character that a regular
// expression gives a meaning to: | + ? [ ] ( ) { } \ . * ^ $ (so ".*a.*",
// "^a", "a$", "a.b" and "a|b" are misread; "^a$", "a.*", ".*a", "a" are not).
//
// Cost: one pass over the text; no allocation beyond the result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo::lang {

enum class PatternRule : std::uint8_t { Exact, Prefix, Suffix, Substring };

struct PatternReading {
  PatternRule rule = PatternRule::Substring;
  std::string_view operand;  // the part of the text the rule compares with
  // The first character a regular-expression reader would misread, as an
  // offset into the whole text; npos when there is none.
  std::size_t misread_at = std::string_view::npos;

  bool misread() const noexcept { return misread_at != std::string_view::npos; }
};

PatternReading read_pattern(std::string_view text) noexcept;

// "exact", "prefix", "suffix" or "substring".
std::string_view rule_name(PatternRule rule) noexcept;
// Why the character at `misread_at` misleads, e.g. `"." is not a wildcard here`.
std::string misread_reason(const PatternReading& reading, std::string_view text);
// What the engine tests, e.g. `text beginning with "/tmp/"`.
std::string rule_effect(const PatternReading& reading);
// The equivalent test without a pattern, e.g. `.starts_with("/tmp/")` or `== "a"`.
std::string rule_replacement(const PatternReading& reading);

}  // namespace zelvo::lang
