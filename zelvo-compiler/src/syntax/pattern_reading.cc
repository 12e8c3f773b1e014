#include "syntax/pattern_reading.h"

#include "syntax/lexical.h"

namespace zelvo::lang {

namespace {

bool regex_meta(char c) noexcept {
  switch (c) {
    case '|': case '+': case '?': case '[': case ']': case '(': case ')': case '{': case '}':
    case '\\': case '.': case '*': case '^': case '$':
      return true;
    default:
      return false;
  }
}

}  // namespace

PatternReading read_pattern(std::string_view text) noexcept {
  PatternReading r;
  std::size_t first = 0;
  const std::size_t n = text.size();
  if (n >= 2 && text.front() == '^' && text.back() == '$') {
    r.rule = PatternRule::Exact;
    first = 1;
    r.operand = text.substr(1, n - 2);
  } else if (n >= 2 && text.substr(n - 2) == ".*") {
    r.rule = PatternRule::Prefix;
    r.operand = text.substr(0, n - 2);
  } else if (n >= 2 && text.substr(0, 2) == ".*") {
    r.rule = PatternRule::Suffix;
    first = 2;
    r.operand = text.substr(2);
  } else {
    r.operand = text;
  }
  for (std::size_t i = 0; i < r.operand.size(); ++i) {
    if (regex_meta(r.operand[i])) {
      r.misread_at = first + i;
      break;
    }
  }
  return r;
}

std::string_view rule_name(PatternRule rule) noexcept {
  switch (rule) {
    case PatternRule::Exact: return "exact";
    case PatternRule::Prefix: return "prefix";
    case PatternRule::Suffix: return "suffix";
    case PatternRule::Substring: return "substring";
  }
  return "substring";
}

std::string misread_reason(const PatternReading& reading, std::string_view text) {
  if (!reading.misread() || reading.misread_at >= text.size()) return {};
  const char c = text[reading.misread_at];
  switch (c) {
    case '.': return "\".\" is not a wildcard here";
    case '*': return "\"*\" is not a repetition here";
    case '^': return "\"^\" anchors only together with a final \"$\"";
    case '$': return "\"$\" anchors only together with a leading \"^\"";
    case '\\': return "a backslash is an ordinary character here";
    default: return "\"" + std::string(1, c) + "\" is an ordinary character here";
  }
}

std::string rule_effect(const PatternReading& reading) {
  const std::string operand = format_string(reading.operand);
  switch (reading.rule) {
    case PatternRule::Exact: return "text equal to " + operand;
    case PatternRule::Prefix: return "text beginning with " + operand;
    case PatternRule::Suffix: return "text ending with " + operand;
    case PatternRule::Substring: return "text containing " + operand;
  }
  return {};
}

std::string rule_replacement(const PatternReading& reading) {
  const std::string operand = format_string(reading.operand);
  switch (reading.rule) {
    case PatternRule::Exact: return "== " + operand;
    case PatternRule::Prefix: return ".starts_with(" + operand + ")";
    case PatternRule::Suffix: return ".ends_with(" + operand + ")";
    case PatternRule::Substring: return ".contains(" + operand + ")";
  }
  return {};
}

}  // namespace zelvo::lang
