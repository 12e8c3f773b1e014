// Predicate: Contains, StartsWith, EndsWith and Matches. Every test is on
// exact bytes and gives a Bool; operands of the wrong kind give false.
#include <algorithm>
#include <string_view>

#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {
namespace {

bool contains(const Value& subject, const Value& argument) noexcept {
  if (subject.is_list()) {
    const ValueList& items = subject.as_list();
    return std::any_of(items.begin(), items.end(), [&](const Value& v) { return deep_equals(v, argument); });
  }
  const Str* text = as_text(subject);
  const Str* needle = as_text(argument);
  return text != nullptr && needle != nullptr && text->view().find(needle->view()) != std::string_view::npos;
}

bool starts_with(const Value& subject, const Value& argument) noexcept {
  const Str* text = as_text(subject);
  const Str* prefix = as_text(argument);
  return text != nullptr && prefix != nullptr && text->view().starts_with(prefix->view());
}

bool ends_with(const Value& subject, const Value& argument) noexcept {
  const Str* text = as_text(subject);
  const Str* suffix = as_text(argument);
  return text != nullptr && suffix != nullptr && text->view().ends_with(suffix->view());
}

// The pattern language is deliberately tiny, not a regular expression: an
// anchored "^...$" exact match, a trailing ".*" prefix test, a leading ".*"
// suffix test, and otherwise a substring search. The first rule that applies
// decides; no other byte is special.
bool matches_pattern(std::string_view subject, std::string_view pattern) noexcept {
  if (pattern.size() >= 2 && pattern.front() == '^' && pattern.back() == '$') {
    return subject == pattern.substr(1, pattern.size() - 2);
  }
  if (pattern.size() >= 2 && pattern.ends_with(".*")) {
    return subject.starts_with(pattern.substr(0, pattern.size() - 2));
  }
  if (pattern.size() >= 2 && pattern.starts_with(".*")) {
    return subject.ends_with(pattern.substr(2));
  }
  return subject.find(pattern) != std::string_view::npos;
}

bool matches(const Value& subject, const Value& argument) noexcept {
  const Str* text = as_text(subject);
  if (text == nullptr) return false;
  const Str* pattern = as_text(argument);
  return matches_pattern(text->view(), pattern != nullptr ? pattern->view() : std::string_view());
}

bool test(PredicateKind kind, const Value& subject, const Value& argument) noexcept {
  switch (kind) {
    case PredicateKind::Contains: return contains(subject, argument);
    case PredicateKind::StartsWith: return starts_with(subject, argument);
    case PredicateKind::EndsWith: return ends_with(subject, argument);
    case PredicateKind::Matches: return matches(subject, argument);
  }
  return false;
}

}  // namespace

bool predicate_holds(const IRExpr::Predicate& e, const EvalContext& ctx) {
  const Operand subject = eval_operand(*e.subject, ctx);
  const Operand argument = eval_operand(*e.argument, ctx);
  return test(e.kind, subject.get(), argument.get());
}

Value eval_predicate(const IRExpr::Predicate& e, const EvalContext& ctx) {
  return Value::boolean(predicate_holds(e, ctx));
}

}  // namespace zelvo::eval
