// Resolution of a machine's state references: each label or position
// written in `initial`, `accepting`, `violating` and `transition` becomes
// the state's position, put in its slot of the machine.
//
// A label no state has is reported ("unknown-state", with the nearest
// label as a hint), a label several states have too ("ambiguous-state");
// positions are taken as written (the checker reports those outside the
// machine). Cost: references times states.
#pragma once

#include <span>

#include "diag/messages.h"
#include "model/policy.h"
#include "syntax/tree.h"

namespace zelvo::lang {

// Fills machine.initial_state, accepting_states, violating_states and the
// `from`/`to` of transitions (which must already be there, by position).
void resolve_states(std::span<const StateRef> refs, StateMachine& machine, DiagnosticSink& sink);

}  // namespace zelvo::lang
