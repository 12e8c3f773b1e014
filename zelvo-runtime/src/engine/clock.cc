#include "engine/clock.h"

#include <chrono>

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
