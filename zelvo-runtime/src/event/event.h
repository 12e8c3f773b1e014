// Event: one event handed to the engine for one evaluation.
#pragma once

#include <cstdint>

#include "event/value.h"
#include "model/str.h"

namespace zelvo {

struct Event {
  Str event_type;
  ValueMap fields;            // the host's fields; empty when none were passed
  std::uint64_t timestamp = 0;  // wall-clock ms since 1970-01-01 UTC, 0 before it
};

// The whole-event map: a copy of every field, then "type" = String(event_type)
// and "timestamp" = Duration(timestamp), replacing host fields of those names.
Value event_map(const Event& event);

}  // namespace zelvo
