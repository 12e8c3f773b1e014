// The keep-denying machine form, `after X deny every later event [when Y]`
// (docs/language.md, "Invariants that keep denying"): the shape the parser
// lowers it to, and the test the printer uses to give it back.
//
// Shape: states "before" (initial), "after", "denying", all active, with
// ids 0, 1, 2; violating [2]; no accepting states, no deadline;
// transitions 0 -> 1 when X, 1 -> 2 and 2 -> 2 both when the same Y (or
// both without guard).
#pragma once

#include <array>
#include <string_view>

#include "model/policy.h"

namespace zelvo::lang {

inline constexpr std::array<std::string_view, 3> kAfterFormLabels{"before", "after", "denying"};

// True when the machine is exactly the lowering of an after form; its X is
// transitions[0]'s guard and its Y transitions[1]'s (none: every event).
// `same_expr` says whether two guard expressions are the same model.
template <typename SameExpr>
bool is_after_form(const StateMachine& m, SameExpr same_expr) {
  if (m.states.size() != 3 || m.initial_state != 0 || !m.accepting_states.empty() || m.deadline_millis ||
      m.violating_states.size() != 1 || m.violating_states[0] != 2 || m.transitions.size() != 3) {
    return false;
  }
  for (std::uint32_t i = 0; i < 3; ++i) {
    const State& s = m.states[i];
    if (s.id != i || s.kind != StateKind::Active || s.label.view() != kAfterFormLabels[i]) return false;
  }
  const Transition& armed = m.transitions[0];
  const Transition& first = m.transitions[1];
  const Transition& again = m.transitions[2];
  if (armed.from != 0 || armed.to != 1 || first.from != 1 || first.to != 2 || again.from != 2 || again.to != 2) {
    return false;
  }
  if (armed.guard.kind != TransitionGuard::Kind::Predicate || !armed.guard.expr) return false;
  if (first.guard.kind != again.guard.kind) return false;
  if (first.guard.kind == TransitionGuard::Kind::Always) return true;
  return first.guard.kind == TransitionGuard::Kind::Predicate && first.guard.expr && again.guard.expr &&
         same_expr(**first.guard.expr, **again.guard.expr);
}

}  // namespace zelvo::lang
