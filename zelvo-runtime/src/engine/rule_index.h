// RuleIndex: the rules that can apply to each event type, found once when
// the engine is built instead of by comparing every rule's on_events with
// the event's type on every event.
//
// Contracts:
//   - For every event type T, the rules a RuleIndex yields for T, in the
//     order it yields them, are exactly the rules that the in-order scan
//     selects (rule_selected): every rule with an empty on_events, and every
//     rule that lists T exactly (bytes, case-sensitive), each once, in
//     policy order. So the fired rules, actions, verdicts and reasons are
//     those of the scan.
//   - Lookup hashes the event type once and probes an open-addressing
//     table; a type that no rule names costs that lookup and then walks
//     only the rules with an empty on_events.
//   - Holds rule positions, not rules: it is valid for the rule list it was
//     built from and costs 4 bytes per on_events entry (duplicates within
//     one rule's list are stored once) plus one list entry per rule with an
//     empty on_events, once for itself and once per route (each route
//     keeps its whole walk merged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "model/policy.h"

namespace zelvo {

class ConstraintWindow;

// What the engine does for one event type: the rules that list it (policy
// positions, ascending), every rule that applies to it (those and the
// rules with an empty on_events, merged, ascending: the walk of one event)
// and the constraint window that counts it, if any.
struct TypeRoute {
  std::vector<std::uint32_t> listed;
  std::vector<std::uint32_t> applies;
  ConstraintWindow* window = nullptr;
};

class RuleIndex {
 public:
  RuleIndex() = default;
  explicit RuleIndex(const std::vector<CompiledRule>& rules);

  // The route of `event_type`, or nullptr when no rule names it and no
  // window was attached to it.
  const TypeRoute* route(const Str& event_type) const noexcept;
  // The route of `event_type`, created empty if absent (while the index
  // and its engine are built). The reference is valid until the next call.
  TypeRoute& route_for(const Str& event_type);

  // The rules that apply to an event of the route's type (route may be
  // null: a type no rule names), ascending: a walk of one list per event.
  const std::vector<std::uint32_t>& applying(const TypeRoute* route) const noexcept {
    return route != nullptr ? route->applies : unlisted_;
  }

  // Positions of the rules with an empty on_events (they apply to every
  // type), ascending.
  const std::vector<std::uint32_t>& unlisted() const noexcept { return unlisted_; }

 private:
  // The position of `event_type` in routes_, or -1.
  std::ptrdiff_t find(const Str& event_type) const noexcept;
  void rebuild_slots();

  std::vector<std::pair<Str, TypeRoute>> routes_;
  std::vector<std::uint32_t> slots_;  // positions into routes_; a power of two, at most half full
  std::vector<std::uint32_t> unlisted_;
};

}  // namespace zelvo
