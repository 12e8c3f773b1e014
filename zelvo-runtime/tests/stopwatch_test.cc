#include "engine/stopwatch.h"

#include "engine/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace zelvo {
namespace {

using std::chrono::nanoseconds;
using Point = Stopwatch::Clock::time_point;

struct SpanCase {
  const char* name;
  std::int64_t from_ns;
  std::int64_t to_ns;
  std::uint64_t us;
};

TEST(Stopwatch, TruncatesToWholeMicrosecondsAndNeverGoesNegative) {
  constexpr std::int64_t kBase = 5'000'000'000;  // an arbitrary start on the clock
  const SpanCase cases[] = {
      {"no time", kBase, kBase, 0},
      {"just short of a microsecond", kBase, kBase + 999, 0},
      {"one microsecond", kBase, kBase + 1000, 1},
      {"just short of two", kBase, kBase + 1999, 1},
      {"a second", kBase, kBase + 1'000'000'000, 1'000'000},
      {"an end before its start", kBase, kBase - 1, 0},
      {"far before", kBase, 0, 0},
  };
  for (const SpanCase& c : cases) {
    EXPECT_EQ(Stopwatch::whole_us(Point(nanoseconds(c.from_ns)), Point(nanoseconds(c.to_ns))), c.us) << c.name;
  }
}

// The stopwatch reads the clock it names: its readings fall between two
// readings of that clock taken around them (an ordering, not a slack).
TEST(Stopwatch, ReadsTheSteadyClock) {
  for (int i = 0; i < 1000; ++i) {
    const Point before = Stopwatch::Clock::now();
    const Point read = Stopwatch::now();
    const Point after = Stopwatch::Clock::now();
    ASSERT_LE(before, read);
    ASSERT_LE(read, after);
  }
}

// Event timestamps are the system clock's whole milliseconds since 1970.
TEST(WallClock, ReadsTheSystemClockInWholeMilliseconds) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto ms = [](std::chrono::system_clock::time_point t) {
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(t.time_since_epoch()).count());
  };
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t before = ms(std::chrono::system_clock::now());
    const std::uint64_t read = wall_clock_ms();
    const std::uint64_t after = ms(std::chrono::system_clock::now());
    ASSERT_LE(before, read);
    ASSERT_LE(read, after);
  }
}

// The wall clock derived from a monotonic reading agrees with a direct
// reading to the millisecond (the pairing of the two clocks may put it a
// few tens of nanoseconds to either side of an instant, hence the slack of
// one), and follows the monotonic reading it is given.
TEST(WallClock, DerivedFromTheMonotonicClockAgreesWithTheWallClock) {
  for (int i = 0; i < 3000; ++i) {
    const std::uint64_t before = wall_clock_ms();
    const std::uint64_t read = wall_clock_ms_at(Stopwatch::now());
    const std::uint64_t after = wall_clock_ms();
    ASSERT_LE(before, read + 1);
    ASSERT_LE(read, after + 1);
  }
  const Point now = Stopwatch::now();
  const std::uint64_t at = wall_clock_ms_at(now);
  // Each reading below is more than a millisecond from the last pairing:
  // each pairs the clocks again, an earlier one as well as a later one.
  EXPECT_NEAR(static_cast<double>(wall_clock_ms_at(now + std::chrono::milliseconds(5))), static_cast<double>(at + 5),
              1.0);
  EXPECT_NEAR(static_cast<double>(wall_clock_ms_at(now - std::chrono::milliseconds(5))), static_cast<double>(at - 5),
              1.0);
}

}  // namespace
}  // namespace zelvo
