#include "engine/stopwatch.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <x86intrin.h>
#define ZELVO_HAS_TSC 1
#else
#define ZELVO_HAS_TSC 0
#endif

namespace zelvo {
namespace {

std::int64_t monotonic_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint64_t whole_us(std::int64_t ns) noexcept { return ns > 0 ? static_cast<std::uint64_t>(ns / 1000) : 0; }

std::uint64_t ticks_to_us(std::uint64_t ticks, double ticks_per_us) noexcept {
  return static_cast<std::uint64_t>(static_cast<double>(ticks) / ticks_per_us);
}

#if ZELVO_HAS_TSC

// CPUID leaf 0x80000007, EDX bit 8: the counter's rate is invariant.
bool counter_is_invariant() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000007u) return false;
  if (__get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (edx & (1u << 8)) != 0;
}

// The counter's rate in ticks per microsecond once learnt (0 until then,
// and for good when the counter is unusable), and the sample the span that
// learns it starts from. A span that ends too late (the machine may have
// slept in it, which stops one counter and not the other) or gives no
// plausible rate starts a new one.
struct Calibration {
  bool usable = counter_is_invariant();
  std::atomic<double> ticks_per_us{0.0};
  std::mutex mutex;  // guards the origin; taken only while the rate is unknown
  std::uint64_t origin_ticks = 0;
  std::int64_t origin_ns = -1;
};

// Built in place on first use and never destroyed: a thread may still time
// an evaluation while the process exits.
Calibration& calibration() noexcept {
  alignas(Calibration) static unsigned char storage[sizeof(Calibration)];
  static Calibration* const state = new (storage) Calibration();
  return *state;
}

// Offers one sample: learns the rate from the origin to it, or keeps the
// origin while the span is still short, or makes the sample the origin.
// A thread that finds another at it leaves the sample.
void learn_rate(Calibration& cal, std::uint64_t ticks, std::int64_t ns) noexcept {
  const std::unique_lock<std::mutex> lock(cal.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (cal.origin_ns >= 0) {
    if (const std::optional<TickRate> rate = TickRate::between(cal.origin_ticks, cal.origin_ns, ticks, ns)) {
      cal.ticks_per_us.store(rate->ticks_per_us(), std::memory_order_relaxed);
      return;
    }
    if (ns - cal.origin_ns < TickRate::kMinSpanNs && ns >= cal.origin_ns && ticks > cal.origin_ticks) return;
  }
  cal.origin_ticks = ticks;
  cal.origin_ns = ns;
}

std::uint64_t ticks_now() noexcept { return __rdtsc(); }

#endif

}  // namespace

std::optional<TickRate> TickRate::between(std::uint64_t ticks0, std::int64_t ns0, std::uint64_t ticks1,
                                          std::int64_t ns1) noexcept {
  if (ns1 - ns0 < kMinSpanNs || ns1 - ns0 > kMaxSpanNs || ticks1 <= ticks0) return std::nullopt;
  const double ticks_per_ns = static_cast<double>(ticks1 - ticks0) / static_cast<double>(ns1 - ns0);
  if (ticks_per_ns < 0.05 || ticks_per_ns > 50.0) return std::nullopt;
  return TickRate(ticks_per_ns * 1000.0);
}

std::uint64_t TickRate::micros(std::uint64_t ticks) const noexcept { return ticks_to_us(ticks, ticks_per_us_); }

#if ZELVO_HAS_TSC

Stopwatch Stopwatch::start() noexcept {
  Calibration& cal = calibration();
  if (!cal.usable) return Stopwatch(0, monotonic_ns());
  const std::uint64_t ticks = ticks_now();
  return Stopwatch(ticks, cal.ticks_per_us.load(std::memory_order_relaxed) > 0.0 ? -1 : monotonic_ns());
}

std::uint64_t Stopwatch::elapsed_us() const noexcept {
  if (ns_ < 0) {
    const std::uint64_t ticks = ticks_now();
    if (ticks <= ticks_) return 0;
    return ticks_to_us(ticks - ticks_, calibration().ticks_per_us.load(std::memory_order_relaxed));
  }
  Calibration& cal = calibration();
  if (!cal.usable) return whole_us(monotonic_ns() - ns_);
  const std::uint64_t ticks = ticks_now();
  const std::int64_t ns = monotonic_ns();
  learn_rate(cal, ticks, ns);
  return whole_us(ns - ns_);
}

#else

Stopwatch Stopwatch::start() noexcept { return Stopwatch(0, monotonic_ns()); }

std::uint64_t Stopwatch::elapsed_us() const noexcept { return whole_us(monotonic_ns() - ns_); }

#endif

}  // namespace zelvo
