#include "engine/engine.h"

#include <utility>

#include "engine/rule_step.h"
#include "engine/stopwatch.h"

namespace zelvo {

PolicyEngine::PolicyEngine(CompiledPolicy policy, const Clock& clock)
    : policy_(std::move(policy)), index_(policy_.rules),
      field_use_(FieldUse::of(policy_)),
      prepared_(PreparedNodes::of(policy_, field_use_)),
      clock_(&clock) {
  const std::uint64_t now_ms = clock_->now_ms();
  monitors_.reserve(policy_.state_machines.size());
  for (const StateMachine& machine : policy_.state_machines) {
    MachineMonitor& monitor = monitors_.emplace_back(MachineMonitor{&machine});
    monitor.restart(now_ms);
  }
  // A later constraint on the same target replaces the earlier one.
  for (const CompiledConstraint& constraint : policy_.constraints) {
    windows_.insert_or_assign(constraint.target, ConstraintWindow(constraint));
  }
  // Map nodes never move, so the routes may point at the windows.
  for (auto& [target, window] : windows_) index_.route_for(target).window = &window;
}

EvalResult PolicyEngine::evaluate(const Event& event) {
  EvalResult result;
  evaluate(event, result);
  return result;
}

void PolicyEngine::evaluate(const Event& event, EvalResult& result) {
  result.clear();  // a caller's earlier result is not part of this call's time
  run(event, result, Stopwatch::start());
}

void PolicyEngine::evaluate_now(Event& event, EvalResult& result) {
  result.clear();
  const Stopwatch stopwatch = Stopwatch::start();
  event.timestamp = wall_clock_ms_at(stopwatch.started());
  run(event, result, stopwatch);
}

void PolicyEngine::run(const Event& event, EvalResult& result, const Stopwatch& stopwatch) {
  ++event_count_;
  EvalContext ctx{event, context_, config_};
  prepared_.attach(ctx);
  if (event.field_positions.size() == field_use_.count()) ctx.field_positions = event.field_positions;

  const TypeRoute* route = index_.route(event.event_type);
  if (route != nullptr && route->window != nullptr) route->window->record(event.timestamp, result);
  run_rules(policy_.rules, index_.applying(route), ctx, result);
  for (MachineMonitor& monitor : monitors_) step_monitor(monitor, ctx, result);

  result.eval_time_us = stopwatch.elapsed_us();
}

void PolicyEngine::reset() {
  const std::uint64_t now_ms = clock_->now_ms();
  for (MachineMonitor& monitor : monitors_) monitor.restart(now_ms);
  for (auto& [target, window] : windows_) window.clear();
  event_count_ = 0;
}

const ConstraintWindow* PolicyEngine::window(std::string_view target) const noexcept {
  auto it = windows_.find(target);
  return it != windows_.end() ? &it->second : nullptr;
}

}  // namespace zelvo
