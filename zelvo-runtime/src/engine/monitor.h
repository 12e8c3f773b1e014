// MachineMonitor: the run-time form of one StateMachine.
#pragma once

#include <cstdint>

#include "model/policy.h"

namespace zelvo {

struct MachineMonitor {
  StateMachine machine;             // a copy of every field of the machine
  std::uint64_t started_at_ms = 0;  // start of monitoring (construction or reset)
  std::uint32_t current_state = 0;  // index into machine.states (may be out of range)
};

}  // namespace zelvo
