// The policy compiler: source text of a *.zelvo file -> CompiledPolicy.
//
//   CompileResult r = zelvo::lang::compile(text, "guard.zelvo");
//   if (!r.policy) { std::cerr << render_all(r.diagnostics); }
//
// Contracts:
//   - compile() never throws for any input (bad input gives diagnostics;
//     only std::bad_alloc may escape), never recurses deeper than a fixed
//     bound, and allocates in proportion to the input.
//   - `policy` is present exactly when no diagnostic is an error. A
//     present policy always loads in the engine: every expression fits the
//     JSON form's nesting limit (see docs/language.md, "Nesting").
//   - Diagnostics are in source order, at most CompileOptions::max_errors
//     errors (warnings do not count); when the limit is reached the last
//     diagnostic is a "too-many-errors" error.
//   - Cost: linear in the source size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostic.h"
#include "model/policy.h"

namespace zelvo::lang {

// The compiler's version text: metadata.compiler_version when the source
// has no `compiler_version` line (and the printer leaves that line out
// when the policy's version equals it).
inline constexpr std::string_view kCompilerVersion = "zelvo-compiler 0.1.0";

struct CompileOptions {
  std::size_t max_errors = 20;
};

// A place in the source: `offset`/`length` in bytes; `line`/`column`
// 1-based, the column in characters; `end_line`/`end_column` the position
// just after the last character.
struct Span {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t line = 1;
  std::uint32_t column = 1;
  std::uint32_t end_line = 1;
  std::uint32_t end_column = 1;
};

// Where the records of the compiled policy come from.
//
// Expressions are numbered in pre-order over the model tree: the root is
// 0; then each child in the declared field order of its record (Binary:
// left, right; Unary: operand; Predicate: subject, argument; Quantifier:
// collection, body; Count: collection, filter; Call: args; MethodCall:
// object, args; List: items; DecisionTree: its node, where a Switch gives
// subject, then for each case its Guard expression (if any) and its body
// node, then the default node; a Leaf gives its expression; a VerdictLeaf
// its message, if any). A balanced chain's inner nodes span their
// operands.
struct SourceMap {
  struct Rule {
    Span span;                        // `rule` to the closing brace
    std::vector<Span> condition;      // by pre-order number; empty without condition
    // By verdict position: its message's expressions by pre-order number
    // (empty without message).
    std::vector<std::vector<Span>> verdicts;
    // By action position, then argument position: the argument's
    // expressions by pre-order number.
    std::vector<std::vector<std::vector<Span>>> actions;
  };
  struct Machine {
    Span span;
    std::vector<Span> states;         // by position in StateMachine::states: the `state` line
    std::vector<Span> transitions;    // by position in StateMachine::transitions
    // By transition position: the guard's expressions by pre-order number
    // (empty for `on timeout` and for no guard).
    std::vector<std::vector<Span>> guards;
  };
  std::vector<Rule> rules;            // by position in CompiledPolicy::rules
  std::vector<Span> constraints;      // by position in CompiledPolicy::constraints
  std::vector<Machine> machines;      // by position in CompiledPolicy::state_machines
};

// A comment of the source (not part of the model), for formatters.
struct Comment {
  Span span;
  std::string text;   // including the // or /* */ delimiters
  bool own_line = false;  // nothing but whitespace before it on its line
};

struct CompileResult {
  std::optional<CompiledPolicy> policy;
  std::vector<Diagnostic> diagnostics;
  SourceMap source_map;            // filled when `policy` is present
  std::vector<Comment> comments;   // every comment, in source order
};

CompileResult compile(std::string_view source, std::string_view filename, const CompileOptions& options = {});

}  // namespace zelvo::lang
