// PolicyEngine: the engine core built from one compiled policy.
//
// Contracts:
//   - Built from a CompiledPolicy taken by value; construction never fails
//     and validates nothing. The engine owns the policy, its monitors, its
//     windows and its context and configuration maps outright.
//   - Not thread-safe and has no lock: the caller serialises every call
//     (the host binding holds a per-object lock around each).
//   - No operation fails or throws, except std::bad_alloc.
//   - Results are fresh records; nothing in them refers back into the engine.
//   - Nothing ever reads outside a machine's `states`: a monitor whose
//     current state is out of range evaluates nothing, reports nothing, and
//     counts in the status only through accepting_states/violating_states.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/clock.h"
#include "engine/constraint_window.h"
#include "engine/field_positions.h"
#include "engine/monitor.h"
#include "engine/prepared_nodes.h"
#include "engine/result.h"
#include "engine/rule_index.h"
#include "engine/status.h"
#include "event/event.h"
#include "event/value.h"
#include "model/policy.h"

namespace zelvo {

class Stopwatch;

class PolicyEngine {
 public:
  // Reads `clock` once now and again at every reset(); the clock must
  // outlive the engine.
  explicit PolicyEngine(CompiledPolicy policy, const Clock& clock = system_clock());
  // Monitors, the rule index's routes and the prepared nodes refer to the
  // engine's own policy and windows, which a move keeps in place: an
  // engine can be moved but not copied.
  PolicyEngine(const PolicyEngine&) = delete;
  PolicyEngine& operator=(const PolicyEngine&) = delete;
  PolicyEngine(PolicyEngine&&) = default;
  PolicyEngine& operator=(PolicyEngine&&) = default;

  // Runs the evaluation pipeline for one event: counts it, updates the
  // window of its type, walks the rules in policy order, steps every
  // monitor, and returns the combined verdict with its evidence.
  EvalResult evaluate(const Event& event);
  // The same, written into `out`, whose previous contents are discarded
  // (its lists keep their storage, so a caller that evaluates event after
  // event into one record allocates less).
  void evaluate(const Event& event, EvalResult& out);
  // The same for an event made for this call: sets event.timestamp to the
  // wall-clock time at the start of the stopwatch, derived from the
  // stopwatch's own monotonic reading (wall_clock_ms_at, engine/clock.h),
  // so that the call reads a clock twice in all rather than three times.
  void evaluate_now(Event& event, EvalResult& out);

  // The five-line status text ("Policy: ...\n" ... "Events processed: N\n").
  std::string status() const;
  // The figures behind status().
  EngineStatus gather_status() const;

  // Monitors back to their initial states with a fresh start time, windows
  // emptied, event count 0. Policy, context and config are kept.
  void reset();

  std::uint64_t event_count() const noexcept { return event_count_; }
  void set_context(Str key, Value value) { context_.insert_or_assign(std::move(key), std::move(value)); }
  void set_config(Str key, Value value) { config_.insert_or_assign(std::move(key), std::move(value)); }

  const CompiledPolicy& policy() const noexcept { return policy_; }
  // The event fields the policy can read and their numbers, for the host's
  // side of engine/field_positions.h; fixed at construction.
  const FieldUse& field_use() const noexcept { return field_use_; }
  const std::vector<MachineMonitor>& monitors() const noexcept { return monitors_; }
  const ValueMap& context() const noexcept { return context_; }
  const ValueMap& config() const noexcept { return config_; }
  // The window counting `target`, or nullptr when no constraint names it.
  const ConstraintWindow* window(std::string_view target) const noexcept;

 private:
  friend struct EngineStateAccess;  // engine/state_snapshot.cc: save and restore
  // The pipeline after the stopwatch's start; stops it.
  void run(const Event& event, EvalResult& result, const Stopwatch& stopwatch);

  // Changed once, when prepared_ numbers its nodes, then never: the tables
  // below refer to its nodes.
  CompiledPolicy policy_;
  std::vector<MachineMonitor> monitors_;
  std::unordered_map<Str, ConstraintWindow, StrHash, std::equal_to<>> windows_;
  RuleIndex index_;  // rules and window per event type
  FieldUse field_use_;
  PreparedNodes prepared_;
  ValueMap context_;
  ValueMap config_;
  std::uint64_t event_count_ = 0;
  const Clock* clock_;
};

}  // namespace zelvo
