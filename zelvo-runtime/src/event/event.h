// Event: one event handed to the engine for one evaluation.
#pragma once

#include <cstdint>
#include <span>

#include "event/value.h"
#include "model/str.h"

namespace zelvo {

struct Event {
  Str event_type;
  ValueMap fields;            // the host's fields; empty when none were passed
  std::uint64_t timestamp = 0;  // wall-clock ms since 1970-01-01 UTC, 0 before it
  // Optional: where `fields` holds each field the engine's policy reads,
  // as engine/field_positions.h describes. Empty: fields are found by key.
  std::span<const std::uint32_t> field_positions;
};

// The whole-event map: a copy of every field, then "type" = String(event_type)
// and "timestamp" = Duration(timestamp), replacing host fields of those names.
Value event_map(const Event& event);

}  // namespace zelvo
