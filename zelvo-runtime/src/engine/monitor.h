// MachineMonitor: the run-time form of one StateMachine, and its step.
//
// A monitor sits in one state of its machine and moves along guarded
// transitions as events arrive, at most one transition per event. Entering
// a state listed in violating_states reports an invariant violation and
// denies the event; resting in a terminal (Satisfied or Violated kind) state
// that is listed there reports the violation again on every later event,
// without denying it.
//
// State references are positions in `machine.states`. A monitor whose
// current state is not a valid position (a bad initial_state, or a taken
// transition whose `to` is out of range) evaluates no transition and reports
// nothing: nothing ever reads outside `states`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"
#include "eval/eval.h"
#include "model/policy.h"

namespace zelvo {

struct MachineMonitor {
  const StateMachine* machine;      // the engine's own policy's machine
  std::uint64_t started_at_ms = 0;  // start of monitoring (construction or reset)
  std::uint32_t current_state = 0;  // index into machine.states (may be out of range)

  // Back to the initial state with monitoring restarted at `now_ms`.
  void restart(std::uint64_t now_ms) noexcept {
    started_at_ms = now_ms;
    current_state = machine->initial_state;
  }

  // The record of the current state, or nullptr when it is out of range.
  const State* state() const noexcept {
    return current_state < machine->states.size() ? &machine->states[current_state] : nullptr;
  }
  bool is_accepting() const noexcept;
  bool is_violating() const noexcept;
};

// Steps `monitor` for `event` (whose timestamp is the event time):
//   1. in a terminal state: report the resting violation when the state is
//      violating; nothing else;
//   2. deadline reached (event time - started_at_ms, floored at 0, is at
//      least deadline_millis): take the first Timeout transition out of the
//      current state, if any;
//   3. otherwise take the first transition out of the current state whose
//      guard passes, evaluating guards lazily in list order;
//   4. entering a violating state appends a Violation, sets the reason when
//      the verdict is not yet Deny, and sets the verdict to Deny.
void step_monitor(MachineMonitor& monitor, const EvalContext& ctx, EvalResult& result);

// The three message texts of an invariant violation.
std::string entering_message(const StateMachine& machine, std::string_view event_type);
std::string resting_message(const StateMachine& machine);
std::string invariant_reason(const StateMachine& machine);

}  // namespace zelvo
