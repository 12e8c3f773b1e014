// EngineStatus: the figures of the engine's five-line status text.
//
// The three monitor counts are independent tests, so they need not add up
// to machine_count: a monitor counts as active when its current state is a
// valid position whose kind is Active, as satisfied when that position is
// listed in accepting_states, and as violated when it is listed in
// violating_states (list membership needs no valid position).
#pragma once

#include <cstdint>
#include <string>

#include "model/enums.h"
#include "model/str.h"

namespace zelvo {

struct EngineStatus {
  Str name;
  Severity severity = Severity::Critical;
  std::uint64_t rule_count = 0;
  std::uint64_t machine_count = 0;
  std::uint64_t active_count = 0;
  std::uint64_t satisfied_count = 0;
  std::uint64_t violated_count = 0;
  std::uint64_t constraint_count = 0;  // distinct constraint targets
  std::uint64_t event_count = 0;
};

// Five lines, each ending in "\n":
//   "Policy: <name> (<Severity>)"
//   "Rules: <n>"
//   "State machines: <n> total (<a> active, <s> satisfied, <v> violated)"
//   "Constraints: <n>"
//   "Events processed: <n>"
std::string format_status(const EngineStatus& status);

}  // namespace zelvo
