#include "engine/monitor.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace zelvo {
namespace {

bool listed(const std::vector<std::uint32_t>& states, std::uint32_t state) noexcept {
  return std::find(states.begin(), states.end(), state) != states.end();
}

bool deadline_reached(const MachineMonitor& monitor, std::uint64_t ts) noexcept {
  const auto& deadline = monitor.machine->deadline_millis;
  if (!deadline) return false;
  const std::uint64_t elapsed = ts > monitor.started_at_ms ? ts - monitor.started_at_ms : 0;
  return elapsed >= *deadline;
}

const Transition* first_timeout(const MachineMonitor& monitor) noexcept {
  for (const Transition& t : monitor.machine->transitions) {
    if (t.from == monitor.current_state && t.guard.kind == TransitionGuard::Kind::Timeout) return &t;
  }
  return nullptr;
}

// A guard without its expression (which the model does not produce) reads
// as Null: a Predicate fails and a NegatedPredicate passes.
bool guard_expr_truthy(const TransitionGuard& guard, const EvalContext& ctx) {
  return guard.expr && eval_truth(**guard.expr, ctx);
}

bool guard_passes(const TransitionGuard& guard, const EvalContext& ctx) {
  switch (guard.kind) {
    case TransitionGuard::Kind::Predicate:
      return guard_expr_truthy(guard, ctx);
    case TransitionGuard::Kind::NegatedPredicate:
      return !guard_expr_truthy(guard, ctx);
    case TransitionGuard::Kind::Timeout:
      return false;
    case TransitionGuard::Kind::Always:
      return true;
  }
  return false;
}

const Transition* first_passing(const MachineMonitor& monitor, const EvalContext& ctx) {
  for (const Transition& t : monitor.machine->transitions) {
    if (t.from == monitor.current_state && guard_passes(t.guard, ctx)) return &t;
  }
  return nullptr;
}

Violation violation(const StateMachine& machine, std::string message) {
  return Violation{machine.name, machine.invariant_name, machine.kind, std::move(message)};
}

void take(MachineMonitor& monitor, const Transition& t, const EvalContext& ctx, EvalResult& result) {
  monitor.current_state = t.to;
  if (!monitor.is_violating()) return;
  const StateMachine& machine = *monitor.machine;
  result.violations.push_back(violation(machine, entering_message(machine, ctx.event.event_type.view())));
  if (result.verdict != Verdict::Deny) result.reason = invariant_reason(machine);
  result.verdict = Verdict::Deny;
}

std::string fill(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text += part;
  return text;
}

}  // namespace

bool MachineMonitor::is_accepting() const noexcept { return listed(machine->accepting_states, current_state); }
bool MachineMonitor::is_violating() const noexcept { return listed(machine->violating_states, current_state); }

std::string entering_message(const StateMachine& machine, std::string_view event_type) {
  return fill({"Invariant `", machine.invariant_name.view(), "` in proof `", machine.name.view(),
               "` violated by event `", event_type, "`"});
}

std::string resting_message(const StateMachine& machine) {
  return fill({"Invariant `", machine.invariant_name.view(), "` in proof `", machine.name.view(), "` is violated"});
}

std::string invariant_reason(const StateMachine& machine) {
  return fill({"Invariant violation: ", machine.invariant_name.view(), " (", machine.name.view(), ")"});
}

void step_monitor(MachineMonitor& monitor, const EvalContext& ctx, EvalResult& result) {
  const State* state = monitor.state();
  if (state == nullptr) return;
  if (state->kind != StateKind::Active) {
    if (monitor.is_violating()) result.violations.push_back(violation(*monitor.machine, resting_message(*monitor.machine)));
    return;
  }
  const Transition* t = nullptr;
  if (deadline_reached(monitor, ctx.event.timestamp)) t = first_timeout(monitor);
  if (t == nullptr) t = first_passing(monitor, ctx);
  if (t != nullptr) take(monitor, *t, ctx, result);
}

}  // namespace zelvo
