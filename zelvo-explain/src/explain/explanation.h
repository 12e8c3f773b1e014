// The record of an explanation: for one event against one engine, what
// every rule, window and monitor would do and how the verdict comes about.
// Plain values: nothing refers back into the engine or its policy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compiler.h"
#include "engine/result.h"
#include "explain/expr_trace.h"
#include "model/enums.h"

namespace zelvo::explain {

// One entry of a fired rule's verdict list.
struct VerdictStep {
  Verdict verdict = Verdict::Allow;
  bool adopted = false;                 // replaced the running verdict
  std::optional<std::string> message;   // the message text, when adopted and present
};

struct RuleTrace {
  std::uint32_t position = 0;            // in CompiledPolicy::rules
  std::uint32_t id = 0;
  bool selected = false;                 // its event types admit the event
  bool has_condition = false;
  std::optional<bool> condition;         // the condition's truth, when selected and present
  bool fired = false;
  std::vector<Verdict> declared;         // the rule's verdict entries, fired or not
  std::vector<ExprStep> steps;           // the condition's trace, when selected and present
  std::vector<VerdictStep> verdicts;     // when fired
  std::vector<ActionVerb> actions;       // when fired
  std::optional<lang::Span> span;        // the rule's span, with a source map
};

// A step that changed the running verdict or reason, in evaluation order.
struct Adoption {
  enum class Source : std::uint8_t { Constraint, Rule, Machine };
  Source source = Source::Rule;
  std::uint32_t position = 0;            // of the constraint, rule or machine
  std::uint32_t id = 0;                  // the rule's or machine's id (0 for a constraint)
  Verdict verdict = Verdict::Allow;
  std::optional<std::string> reason;     // the reason it set, if any
};

struct WindowTrace {
  std::uint32_t position = 0;            // in CompiledPolicy::constraints
  CompiledConstraint constraint;
  bool superseded = false;               // a later constraint on the same target replaces it
  bool counts_event = false;             // the event's type is the target
  std::uint64_t count = 0;               // events in the window, this one included when counted
  bool exceeded = false;
  std::optional<lang::Span> span;
};

struct GuardCheck {
  std::uint32_t transition = 0;          // position in StateMachine::transitions
  TransitionGuard::Kind kind = TransitionGuard::Kind::Always;
  bool passed = false;
  std::vector<ExprStep> steps;           // the guard's trace, for Predicate and NegatedPredicate
};

// One transition of a machine, named for a reader.
struct Edge {
  std::optional<std::string> from_label;  // absent when `from` is outside the states
  std::optional<std::string> to_label;
  TransitionGuard::Kind guard = TransitionGuard::Kind::Always;
  std::optional<lang::Span> span;         // the `transition` line, with a source map
};

struct MachineTrace {
  std::uint32_t position = 0;
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t transitions = 0;         // how many the machine has
  std::uint32_t state = 0;               // current state (position; may be out of range)
  std::optional<std::string> state_label;
  bool terminal = false;                 // in a Satisfied or Violated state: no transition runs
  bool deadline_reached = false;
  std::vector<GuardCheck> guards;        // transitions out of the state, in list order, up to the one taken
  std::optional<std::uint32_t> taken;    // position of the transition that would be taken
  std::optional<std::uint32_t> to_state;
  std::optional<std::string> to_label;
  bool enters_violating = false;
  bool resting_violation = false;
  std::optional<lang::Span> span;        // of the machine
  std::optional<lang::Span> taken_span;  // of the taken transition
  std::vector<Edge> edges;               // every transition, in list order
};

struct Explanation {
  std::string event_type;
  std::uint64_t timestamp = 0;
  std::vector<RuleTrace> rules;          // every rule, in policy order
  std::vector<WindowTrace> windows;      // every constraint, in policy order
  std::vector<MachineTrace> machines;    // every machine, in policy order
  std::vector<Adoption> adoptions;       // how the verdict and reason came about
  EvalResult result;                     // what evaluate would return (eval_time_us 0)
};

}  // namespace zelvo::explain
