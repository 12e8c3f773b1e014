// EventClock: the engine's clock in a replay, reading the time of the
// event being replayed.
//
// The engine reads its clock only when it is built and when it is reset
// (the start of its monitors); every evaluation uses the event's own
// timestamp. A replay builds a session's engine with this clock set to the
// time of the session's first event, so the session's monitoring starts
// when the session did, however long ago that was.
#pragma once

#include <cstdint>

#include "engine/clock.h"

namespace zelvo::replay {

class EventClock final : public Clock {
 public:
  explicit EventClock(std::uint64_t ms = 0) noexcept : ms_(ms) {}
  std::uint64_t now_ms() const override { return ms_; }
  void advance_to(std::uint64_t ms) noexcept { ms_ = ms; }

 private:
  std::uint64_t ms_;
};

}  // namespace zelvo::replay
