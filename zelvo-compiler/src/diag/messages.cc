#include "diag/messages.h"

#include <algorithm>
#include <array>

#include "syntax/source.h"

namespace zelvo::lang {

namespace {

constexpr Level E = Level::Error;
constexpr Level W = Level::Warning;

constexpr std::array<MessageInfo, 42> kMessages{{
    {Msg::SourceTooLarge, "source-too-large", E, "the source is larger than 4 GiB"},
    {Msg::NulByte, "nul-byte", E, "NUL byte in the source"},
    {Msg::InvalidUtf8, "invalid-utf8", E, "invalid UTF-8 byte 0x{0}"},
    {Msg::UnexpectedCharacter, "unexpected-character", E, "unexpected character {0}"},
    {Msg::UnterminatedString, "unterminated-string", E, "unterminated string"},
    {Msg::UnterminatedRawName, "unterminated-name", E, "unterminated raw name"},
    {Msg::UnterminatedComment, "unterminated-comment", E, "unterminated block comment"},
    {Msg::ControlCharacter, "control-character", E, "control character U+{0} in a string"},
    {Msg::InvalidEscape, "invalid-escape", E, "invalid escape {0}"},
    {Msg::InvalidNumber, "invalid-number", E, "invalid number \"{0}\""},
    {Msg::MisreadPattern, "misread-pattern", E,
     "pattern {0} is not a regular expression: {1}; the engine applies its {2} rule and matches {3}"},
    {Msg::DeprecatedRegexLiteral, "deprecated-regex-literal", W,
     "re\"...\" is the old spelling of a pattern literal, which is not a regular expression"},
    {Msg::IntOutOfRange, "int-out-of-range", E, "integer {0} does not fit in 64 bits"},
    {Msg::ValueOutOfRange, "value-out-of-range", E, "{0} {1} is out of range (at most {2})"},
    {Msg::DurationOutOfRange, "duration-out-of-range", E, "duration {0} is more milliseconds than fit in 64 bits"},
    {Msg::FloatOutOfRange, "float-out-of-range", E, "number {0} is too large for a Float"},
    {Msg::Expected, "expected", E, "expected {0}, found {1}"},
    {Msg::NestingTooDeep, "nesting-too-deep", E, "expression nested deeper than {0} levels"},
    {Msg::ChainedComparison, "chained-comparison", E, "comparisons do not chain"},
    {Msg::DuplicateClause, "duplicate-clause", E, "\"{0}\" given twice"},
    {Msg::MisplacedClause, "misplaced-clause", E, "\"{0}\" after a verdict or action"},
    {Msg::MisplacedMetadata, "misplaced-metadata", E, "\"{0}\" after the first rule, constraint or machine"},
    {Msg::UnexpectedUnderscore, "misplaced-underscore", E, "\"_\" is only the missing parameter of count"},
    {Msg::UnknownName, "unknown-name", E, "unknown name \"{0}\""},
    {Msg::UnknownFunction, "unknown-function", E, "unknown function \"{0}\""},
    {Msg::UnknownMethod, "unknown-method", E, "unknown method \"{0}\""},
    {Msg::WrongArity, "wrong-arity", E, "\"{0}\" takes {1}, given {2}"},
    {Msg::OuterBinding, "outer-binding", E, "\"{0}\" is the element of an enclosing quantifier, hidden here"},
    {Msg::UnknownState, "unknown-state", E, "no state is labelled \"{0}\""},
    {Msg::AmbiguousState, "ambiguous-state", E, "{0} states are labelled \"{1}\""},
    {Msg::ExpressionTooDeep, "expression-too-deep", E,
     "expression too deep to load: {0} nested levels in the compiled form, at most {1} fit here"},
    {Msg::TooManyErrors, "too-many-errors", E, "too many errors; stopped after {0}"},
    {Msg::SchemaUnknownField, "unknown-field", E, "{0} no field \"{1}\""},
    {Msg::SchemaNeverHolds, "never-holds", W, "comparison can never hold: {0} is {1}, {2} is {3}"},
    {Msg::UnreachableRule, "unreachable-rule", W, "rule {0} can never fire: the schema has no event type {1}"},
    {Msg::DuplicateRuleId, "duplicate-rule-id", E, "rule id {0} is already used by the rule at line {1}"},
    {Msg::UnreachableState, "unreachable-state", W, "state \"{0}\" cannot be reached from the initial state"},
    {Msg::StateOutOfRange, "state-out-of-range", E, "state position {0} is outside the machine ({1} states)"},
    {Msg::ConstraintUnknownEvent, "unknown-event-type", W, "the schema has no event type \"{0}\""},
    {Msg::RuleWithoutEffect, "rule-without-effect", W, "rule {0} has no verdict and no action"},
    {Msg::DuplicateStateId, "duplicate-state-id", W, "state id {0} is already used by state \"{1}\""},
    {Msg::ComputedPattern, "computed-pattern", W,
     "the pattern of matches is computed, not a pattern literal: its text is read by the engine's four rules unchecked"},
}};

constexpr bool messages_in_order() {
  for (std::size_t i = 0; i < kMessages.size(); ++i) {
    if (static_cast<std::size_t>(kMessages[i].msg) != i) return false;
  }
  return true;
}
static_assert(messages_in_order(), "kMessages must list every Msg in declared order");

constexpr std::array<std::string_view, 19> kHints{
    "",
    "did you mean \"{0}\"?",
    "did you mean \"event.{0}\"?",
    "close it before the end of the line",
    "write it as an escape, e.g. \\n or \\u{1}",
    "escapes are \\\" \\\\ \\` \\n \\r \\t and \\u{...}",
    "Ints range from -9223372036854775808 to 9223372036854775807",
    "add parentheses, e.g. (a < b) == c",
    "split it into smaller expressions; long and/or chains are balanced automatically",
    "refer to the state by its position, e.g. {0}",
    "write `{0}`(...) to call it by its exact name anyway",
    "\"{0}\" takes {1}",
    "only the innermost element can be read; use local(0) for it",
    "put severity and when before the verdicts and actions",
    "the schema knows: {0}",
    "nothing in the schema produces events of type \"{0}\"",
    "write {0} for what the engine does, or verbatim{1} to keep the pattern as it is",
    "write pattern{0}",
    "write the pattern as a literal, pattern\"...\", so that the compiler can check it",
};

}  // namespace

const MessageInfo& info(Msg msg) noexcept { return kMessages[static_cast<std::size_t>(msg)]; }
std::string_view hint_text(Hint hint) noexcept { return kHints[static_cast<std::size_t>(hint)]; }

namespace {

template <typename Args>
std::string fill_impl(std::string_view text, const Args& args) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{' && i + 2 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9' && text[i + 2] == '}') {
      const std::size_t k = static_cast<std::size_t>(text[i + 1] - '0');
      if (k < args.size()) {
        out += *(args.begin() + k);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace

std::string fill(std::string_view text, std::initializer_list<std::string_view> args) { return fill_impl(text, args); }
std::string fill(std::string_view text, const std::vector<std::string>& args) { return fill_impl(text, args); }

DiagnosticSink::DiagnosticSink(const Source& source, std::size_t max_errors)
    : source_(source), max_errors_(max_errors == 0 ? 1 : max_errors) {}

void DiagnosticSink::report(Msg msg, std::uint32_t offset, std::vector<std::string> args, Hint hint,
                            std::vector<std::string> hint_args) {
  if (full_) return;
  const MessageInfo& m = info(msg);
  Diagnostic d;
  d.level = m.level;
  d.code = std::string(m.code);
  d.file = source_.filename();
  const Source::Position p = source_.position(offset);
  d.line = p.line;
  d.column = p.column;
  d.message = fill(m.text, args);
  if (hint != Hint::None) d.hint = fill(hint_text(hint), hint_args);
  Source::Excerpt e = source_.excerpt(offset);
  d.line_text = std::move(e.text);
  d.line_text_column = e.first_column;
  out_.push_back(std::move(d));
  if (m.level == Level::Error && ++errors_ == max_errors_) {
    full_ = true;
  }
}

std::vector<Diagnostic> DiagnosticSink::take() {
  std::stable_sort(out_.begin(), out_.end(), [](const Diagnostic& a, const Diagnostic& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
  });
  if (full_) {
    Diagnostic d = out_.back();  // the limit is reported where the last error was
    const MessageInfo& m = info(Msg::TooManyErrors);
    d.level = m.level;
    d.code = std::string(m.code);
    d.message = fill(m.text, {std::to_string(max_errors_)});
    d.hint.clear();
    out_.push_back(std::move(d));
  }
  return std::move(out_);
}

}  // namespace zelvo::lang
