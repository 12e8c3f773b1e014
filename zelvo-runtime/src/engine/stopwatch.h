// Stopwatch: how long one evaluation takes, in whole microseconds, on the
// monotonic clock (std::chrono::steady_clock).
//
// Each end costs one clock read: on Linux a direct clock_gettime of
// CLOCK_MONOTONIC (the clock steady_clock reads there), a call into the
// vDSO with no system call and no library wrapper in between.
// Measurements are truncated to whole microseconds and never negative.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__linux__)
#include <time.h>
#endif

namespace zelvo {

class Stopwatch {
 public:
  using Clock = std::chrono::steady_clock;

  static Stopwatch start() noexcept { return Stopwatch(now()); }
  // The reading start() took.
  Clock::time_point started() const noexcept { return start_; }
  // Whole microseconds since start(), truncated.
  std::uint64_t elapsed_us() const noexcept { return whole_us(start_, now()); }

  static Clock::time_point now() noexcept {
#if defined(__linux__)
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
      return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(ts.tv_sec) +
                                                                         std::chrono::nanoseconds(ts.tv_nsec)));
    }
#endif
    return Clock::now();
  }

  // Whole microseconds from `from` to `to`, truncated; 0 when `to` is not
  // after `from`.
  static std::uint64_t whole_us(Clock::time_point from, Clock::time_point to) noexcept {
    if (to <= from) return 0;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(to - from).count());
  }

 private:
  explicit Stopwatch(Clock::time_point start) noexcept : start_(start) {}
  Clock::time_point start_;
};

}  // namespace zelvo
