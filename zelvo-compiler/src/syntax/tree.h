// The syntax tree of a policy file, as the parser returns it: one record
// per declaration, holding the values read (in the model's own types where
// a statement is just a value) and each expression as its syntax tree
// (syntax/ast.h). Lowering (lower/lower_policy.h) turns it into the model.
//
// The parser keeps every statement it read completely, also in a
// declaration that had a syntax error elsewhere, so that lowering reports
// what is wrong with each expression. State references of a machine stay
// unresolved here; lowering resolves them once all states are known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/policy.h"
#include "syntax/ast.h"

namespace zelvo::lang {

// Offsets and length in the source (lines and columns come later).
struct Extent {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
};

struct VerdictSyntax {
  Verdict verdict = Verdict::Allow;
  AstPtr message;  // null without message
};

struct ActionSyntax {
  struct Arg {
    std::string name;
    AstPtr value;
  };
  ActionVerb verb = ActionVerb::Log;
  std::vector<Arg> args;
};

struct RuleSyntax {
  Extent extent;                    // `rule` to the closing brace
  CompiledRule head;                // id, on_events, severity; no expressions
  std::vector<AstPtr> conditions;   // every `when` read; the last one counts
  std::vector<VerdictSyntax> verdicts;
  std::vector<ActionSyntax> actions;
};

// Where a reference to a state goes in the machine.
enum class StateSlot : std::uint8_t { Initial, Accepting, Violating, TransitionFrom, TransitionTo };

// A state named by its label or given by its position, as written.
struct StateRef {
  StateSlot slot = StateSlot::Initial;
  std::uint32_t index = 0;    // Accepting, Violating: list position; Transition*: transition position
  bool by_label = false;
  std::uint32_t position = 0; // when not by label
  std::string label;          // when by label
  std::uint32_t offset = 0;
};

struct TransitionSyntax {
  Extent extent;
  TransitionGuard::Kind guard = TransitionGuard::Kind::Always;
  AstPtr predicate;  // Predicate and NegatedPredicate
};

// `after X deny every later event [when Y]`: the whole machine (see
// lower/lower_policy.cc for the machine it stands for).
struct AfterFormSyntax {
  Extent after;        // `after X`
  Extent deny;         // `deny every later event [when Y]`
  AstPtr armed;        // X
  AstPtr denied;       // Y; null for every event
};

struct MachineSyntax {
  Extent extent;
  // id, name, invariant, kind, states, deadline; transitions and the
  // state lists are filled by lowering.
  StateMachine head;
  std::vector<Extent> states;  // by position in head.states: the `state` line
  std::vector<StateRef> refs;  // in source order
  std::uint32_t accepting = 0; // references in the `accepting` lists
  std::uint32_t violating = 0; // references in the `violating` lists
  std::vector<TransitionSyntax> transitions;
  std::optional<AfterFormSyntax> after_form;
  bool initial_given = false;
  bool deadline_given = false;
};

struct PolicySyntax {
  // name, severity, scopes, metadata as written (compiler_version empty
  // when not given); rules and machines empty.
  CompiledPolicy head;
  bool has_compiler_version = false;
  std::vector<RuleSyntax> rules;
  std::vector<Extent> constraints;  // by position in head.constraints
  std::vector<MachineSyntax> machines;
};

}  // namespace zelvo::lang
