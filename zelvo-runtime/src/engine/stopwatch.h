// Stopwatch: how long one evaluation takes, in whole microseconds.
//
// Where the processor has a time-stamp counter that runs at one constant
// rate whatever the core's frequency or sleep state (x86-64 reporting an
// invariant TSC), the stopwatch reads that counter: a read costs half of a
// monotonic clock read. The counter's rate is learnt from the monotonic
// clock: until it is known, both ends of every measurement read the
// monotonic clock too and the measurement is taken from it, and the ends
// of measurements serve as samples; the first pair of samples between
// TickRate::kMinSpanNs and kMaxSpanNs apart that gives a plausible rate
// fixes it for the process. Everywhere else the monotonic clock alone is
// read.
//
// Measurements are never negative: an end read before its start (counters
// of different cores out of step) measures 0.
#pragma once

#include <cstdint>
#include <optional>

namespace zelvo {

// The conversion of counter ticks to microseconds, learnt from two samples
// of (counter, monotonic nanoseconds).
class TickRate {
 public:
  static constexpr std::int64_t kMinSpanNs = 20'000'000;
  // Longer spans are refused: the machine may have slept in them, which
  // stops the counter or the clock and not the other.
  static constexpr std::int64_t kMaxSpanNs = 1'000'000'000;

  // The rate between the samples; nullopt when they are less than
  // kMinSpanNs or more than kMaxSpanNs apart, or out of order, or give a
  // rate outside 50 MHz to 50 GHz (a counter that is not what it claims).
  static std::optional<TickRate> between(std::uint64_t ticks0, std::int64_t ns0, std::uint64_t ticks1,
                                         std::int64_t ns1) noexcept;

  // Whole microseconds in `ticks`, truncated.
  std::uint64_t micros(std::uint64_t ticks) const noexcept;
  double ticks_per_us() const noexcept { return ticks_per_us_; }

 private:
  explicit TickRate(double ticks_per_us) noexcept : ticks_per_us_(ticks_per_us) {}
  double ticks_per_us_;
};

class Stopwatch {
 public:
  static Stopwatch start() noexcept;
  // Whole microseconds since start(), truncated.
  std::uint64_t elapsed_us() const noexcept;

 private:
  Stopwatch(std::uint64_t ticks, std::int64_t ns) noexcept : ticks_(ticks), ns_(ns) {}
  std::uint64_t ticks_;  // the counter at the start, where it is read
  std::int64_t ns_;      // the monotonic clock at the start, or -1 when not read
};

}  // namespace zelvo
