#include "engine/stopwatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace zelvo {
namespace {

constexpr std::int64_t kMs = 1'000'000;  // nanoseconds

struct RateCase {
  const char* name;
  std::uint64_t ticks0;
  std::int64_t ns0;
  std::uint64_t ticks1;
  std::int64_t ns1;
  bool learnt;
};

TEST(TickRate, IsLearntOnlyFromAPlausibleSpan) {
  const RateCase cases[] = {
      {"3 GHz over 20 ms", 1000, 5 * kMs, 1000 + 60'000'000, 25 * kMs, true},
      {"just short of the span", 0, 0, 59'999'997, 20 * kMs - 1, false},
      {"counter did not move", 500, 0, 500, 40 * kMs, false},
      {"counter went back", 900, 0, 100, 40 * kMs, false},
      {"clock went back", 0, 40 * kMs, 120'000'000, 0, false},
      {"10 MHz: too slow to be the counter", 0, 0, 200'000, 20 * kMs, false},
      {"100 GHz: too fast", 0, 0, 2'000'000'000'000, 20 * kMs, false},
      {"50 MHz is the slowest kept", 0, 0, 1'000'000, 20 * kMs, true},
      {"a whole second is the longest span", 0, 0, 3'000'000'000, 1000 * kMs, true},
      {"longer: the machine may have slept", 0, 0, 3'000'000'003, 1000 * kMs + 1, false},
  };
  for (const RateCase& c : cases) {
    EXPECT_EQ(TickRate::between(c.ticks0, c.ns0, c.ticks1, c.ns1).has_value(), c.learnt) << c.name;
  }
}

TEST(TickRate, TruncatesToWholeMicroseconds) {
  const auto rate = TickRate::between(0, 0, 3'000 * 20'000, 20 * kMs);  // 3 GHz: 3000 ticks a microsecond
  ASSERT_TRUE(rate.has_value());
  const std::pair<std::uint64_t, std::uint64_t> expected[] = {
      {0, 0}, {2'999, 0}, {3'000, 1}, {5'999, 1}, {6'000, 2}, {3'000'000'000, 1'000'000},
      {UINT64_MAX, static_cast<std::uint64_t>(static_cast<double>(UINT64_MAX) / 3000.0)},
  };
  for (const auto& [ticks, us] : expected) EXPECT_EQ(rate->micros(ticks), us) << ticks;
}

TEST(Stopwatch, NeverMeasuresMoreThanTheTimeAroundIt) {
  for (int i = 0; i < 1000; ++i) {
    const auto before = std::chrono::steady_clock::now();
    const Stopwatch stopwatch = Stopwatch::start();
    const std::uint64_t measured = stopwatch.elapsed_us();
    const auto around = std::chrono::steady_clock::now() - before;
    // One microsecond of slack for a counter rate learnt within a few ppm.
    EXPECT_LE(measured, static_cast<std::uint64_t>(
                            std::chrono::duration_cast<std::chrono::microseconds>(around).count()) + 1);
  }
}

}  // namespace
}  // namespace zelvo
