// Places in the source: the span of a token or construct, the map from
// the compiled records back to their source, and the comments a formatter
// puts back. Plain data, shared by every stage of the compiler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvo::lang {

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

}  // namespace zelvo::lang
