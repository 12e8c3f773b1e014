#include "engine/clock.h"

#include <chrono>

#include "engine/stopwatch.h"

#if defined(__linux__)
#include <time.h>
#endif

namespace zelvo {
namespace {

class SystemClock final : public Clock {
 public:
  std::uint64_t now_ms() const override { return wall_clock_ms(); }
};

}  // namespace

const Clock& system_clock() noexcept {
  static const SystemClock clock;
  return clock;
}

namespace {

// Wall-clock nanoseconds since 1970 now (0 if earlier).
std::int64_t wall_clock_ns() noexcept {
#if defined(__linux__)
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) == 0) {
    if (ts.tv_sec < 0) return 0;
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
  }
#endif
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return 0;
  return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
}

std::int64_t ns_of(std::chrono::steady_clock::time_point t) noexcept {
  return static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

// One thread's pairing of the two clocks.
struct WallSync {
  std::int64_t monotonic_ns = 0;
  std::int64_t wall_ns = 0;
  bool valid = false;
};

constexpr std::int64_t kResyncNs = 1'000'000;  // a millisecond

}  // namespace

std::uint64_t wall_clock_ms_at(std::chrono::steady_clock::time_point monotonic) noexcept {
  thread_local WallSync sync;
  const std::int64_t mono_ns = ns_of(monotonic);
  std::int64_t since = mono_ns - sync.monotonic_ns;
  if (!sync.valid || since < 0 || since >= kResyncNs) [[unlikely]] {
    const std::int64_t before = ns_of(Stopwatch::now());
    const std::int64_t wall = wall_clock_ns();
    const std::int64_t after = ns_of(Stopwatch::now());
    sync.monotonic_ns = before + (after - before) / 2;
    sync.wall_ns = wall;
    sync.valid = true;
    since = mono_ns - sync.monotonic_ns;  // the reading precedes the pairing: at most its length
  }
  const std::int64_t wall_ns = sync.wall_ns + since;
  return wall_ns <= 0 ? 0 : static_cast<std::uint64_t>(wall_ns) / 1'000'000;
}

std::uint64_t wall_clock_ms() noexcept {
#if defined(__linux__)
  // The clock system_clock reads, without the library's wrapper around it:
  // this runs once per evaluated event.
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) == 0) {
    if (ts.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000;
  }
#endif
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
}

}  // namespace zelvo
