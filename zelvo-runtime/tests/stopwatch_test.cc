#include "engine/stopwatch.h"

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

}  // namespace
}  // namespace zelvo
