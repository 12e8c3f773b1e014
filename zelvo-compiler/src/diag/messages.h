// The one table of diagnostic texts, and the collector that turns a
// message id, its arguments and a source offset into a Diagnostic.
//
// Each Msg has a stable code, a level and a text with placeholders {0},
// {1}, ...; each Hint a text with placeholders. Nothing else in the
// compiler or the checker writes diagnostic text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostic.h"

namespace zelvo::lang {

class Source;

enum class Msg : std::uint8_t {
  // The text itself.
  SourceTooLarge,
  NulByte,
  InvalidUtf8,
  UnexpectedCharacter,
  UnterminatedString,
  UnterminatedRawName,
  UnterminatedComment,
  ControlCharacter,
  InvalidEscape,
  InvalidNumber,
  MisreadPattern,
  DeprecatedRegexLiteral,
  // Values the model cannot hold.
  IntOutOfRange,
  ValueOutOfRange,
  DurationOutOfRange,
  FloatOutOfRange,
  // Syntax.
  Expected,
  NestingTooDeep,
  ChainedComparison,
  DuplicateClause,
  MisplacedClause,
  MisplacedMetadata,
  UnexpectedUnderscore,
  // Names.
  UnknownName,
  UnknownFunction,
  UnknownMethod,
  WrongArity,
  OuterBinding,
  UnknownState,
  AmbiguousState,
  // The compiled form.
  ExpressionTooDeep,
  TooManyErrors,
  // The checker.
  SchemaUnknownField,
  SchemaNeverHolds,
  UnreachableRule,
  DuplicateRuleId,
  UnreachableState,
  StateOutOfRange,
  ConstraintUnknownEvent,
  RuleWithoutEffect,
  DuplicateStateId,
  ComputedPattern,
};

enum class Hint : std::uint8_t {
  None,
  DidYouMean,        // did you mean "{0}"?
  EventField,        // did you mean "event.{0}"?
  CloseString,       // close it before the end of the line
  EscapeControl,     // write it as an escape, e.g. "\n" or "\u{1}"
  Escapes,           // escapes are \" \\ \` \n \r \t and \u{...}
  IntRange,          // Ints range from -9223372036854775808 to 9223372036854775807
  Parenthesise,      // add parentheses: (a < b) == c
  SplitExpression,   // split it into smaller expressions, or use and/or chains, which are balanced
  StateByPosition,   // refer to the state by its position, e.g. {0}
  RawCall,           // write `{0}`(...) to call it by its exact name anyway
  ArityOf,           // "{0}" takes {1}
  InnerElement,      // only the innermost quantifier's element can be read; use a separate rule or "local(0)"
  ClauseFirst,       // put severity and when before the verdicts and actions
  SchemaFields,      // the schema knows: {0}
  NoSourceFor,       // nothing in the schema produces events of type "{0}"
  PatternInstead,    // write {0} for what the engine does, or verbatim{1} to keep the pattern as it is
  PatternSpelling,   // write pattern{0}
  PatternLiteral,    // write the pattern as a literal, pattern"...", so that the compiler can check it
};

struct MessageInfo {
  Msg msg;
  std::string_view code;
  Level level;
  std::string_view text;
};

const MessageInfo& info(Msg msg) noexcept;
std::string_view hint_text(Hint hint) noexcept;

// `text` with each {i} replaced by args[i].
std::string fill(std::string_view text, std::initializer_list<std::string_view> args);
std::string fill(std::string_view text, const std::vector<std::string>& args);

// Collects diagnostics for one source. Stops accepting errors after
// max_errors of them (then adds one "too-many-errors" error); full() tells
// the caller it may stop working.
class DiagnosticSink {
 public:
  DiagnosticSink(const Source& source, std::size_t max_errors);

  void report(Msg msg, std::uint32_t offset, std::vector<std::string> args = {}, Hint hint = Hint::None,
              std::vector<std::string> hint_args = {});
  bool full() const noexcept { return full_; }
  std::size_t error_count() const noexcept { return errors_; }
  // The diagnostics in source order (a stable sort by line and column).
  std::vector<Diagnostic> take();

 private:
  const Source& source_;
  std::size_t max_errors_;
  std::size_t errors_ = 0;
  bool full_ = false;
  std::vector<Diagnostic> out_;
};

}  // namespace zelvo::lang
