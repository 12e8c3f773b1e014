// Clock: the engine's source of wall-clock time.
//
// The engine reads its Clock only when it is built and when it is reset
// (the start time of its monitors); events carry their own timestamps.
// Tests inject a ManualClock to control that start time exactly. An event
// made for an evaluation (PolicyEngine::evaluate_now) is stamped through
// wall_clock_ms_at below, from the system's clocks.
#pragma once

#include <chrono>
#include <cstdint>

namespace zelvo {

class Clock {
 public:
  virtual ~Clock() = default;
  // Whole milliseconds since 1970-01-01 00:00:00 UTC; 0 if earlier.
  virtual std::uint64_t now_ms() const = 0;
};

// The operating system's wall clock. Static lifetime.
const Clock& system_clock() noexcept;

// Wall-clock milliseconds now, as system_clock().now_ms().
std::uint64_t wall_clock_ms() noexcept;

// Wall-clock milliseconds at `monotonic`, a reading of the monotonic clock
// (Stopwatch::now()) taken just now, without a second clock read: the
// wall-clock time of the calling thread's last synchronisation plus the
// monotonic time since. The wall clock is read again (bracketed by two
// monotonic readings, whose midpoint it is paired with) on a thread's first
// call, and whenever `monotonic` is a millisecond or more past the last
// synchronisation or earlier than it; so a change of the wall clock
// (a step, or a slew) shows within a millisecond of monotonic time, and a
// value differs from a direct wall_clock_ms() at the same instant only by
// the pairing's error (tens of nanoseconds) and the slew of one
// millisecond. One clock read per evaluated event serves both its
// timestamp and its stopwatch this way.
std::uint64_t wall_clock_ms_at(std::chrono::steady_clock::time_point monotonic) noexcept;

// A clock that reads whatever the test set.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::uint64_t ms = 0) noexcept : ms_(ms) {}
  std::uint64_t now_ms() const override { return ms_; }
  void set(std::uint64_t ms) noexcept { ms_ = ms; }

 private:
  std::uint64_t ms_;
};

}  // namespace zelvo
