// The per-thread cache behind CachedAllocator.
#include <array>
#include <cstdint>
#include <type_traits>

#include "event/cached_allocator.h"

namespace zelvo::block_cache {

#if ZELVO_ADDRESS_SANITIZER || defined(ZELVO_NO_BLOCK_CACHE)

void* take(std::size_t bytes) { return ::operator new(bytes); }

void give(void* block, std::size_t) noexcept { ::operator delete(block); }

std::size_t cached(std::size_t) noexcept { return 0; }

#else

namespace {

constexpr std::size_t kSizes = kMaxCachedBytes / kGrain;

struct Block {
  Block* next;
};

// Trivially destructible, so that it stays usable (as closed) while the
// thread's other thread-local objects are destroyed, whatever their order.
struct Cache {
  std::array<Block*, kSizes> heads;
  std::array<std::uint8_t, kSizes> counts;
  bool armed;   // the Drain below is registered for this thread
  bool closed;  // the thread is exiting: the heap serves everything
};
static_assert(std::is_trivially_destructible_v<Cache>);
static_assert(kBlocksPerSize <= UINT8_MAX);

thread_local Cache t_cache{};

// Returns the cached blocks to the heap when the thread exits.
struct Drain {
  Drain() noexcept = default;
  Drain(const Drain&) = delete;
  Drain& operator=(const Drain&) = delete;
  ~Drain() {
    Cache& cache = t_cache;
    cache.closed = true;
    for (std::size_t c = 0; c < kSizes; ++c) {
      while (Block* b = cache.heads[c]) {
        cache.heads[c] = b->next;
        ::operator delete(b);
      }
      cache.counts[c] = 0;
    }
  }
};

void arm(Cache& cache) noexcept {
  thread_local Drain drain;
  static_cast<void>(drain);
  cache.armed = true;
}

// The size class of a request: blocks of (class + 1) * kGrain bytes.
std::size_t size_class(std::size_t bytes) noexcept { return bytes == 0 ? 0 : (bytes - 1) / kGrain; }

}  // namespace

void* take(std::size_t bytes) {
  const std::size_t c = size_class(bytes);
  if (c >= kSizes) return ::operator new(bytes);
  Cache& cache = t_cache;
  if (Block* b = cache.heads[c]) {
    cache.heads[c] = b->next;
    --cache.counts[c];
    return b;
  }
  return ::operator new((c + 1) * kGrain);
}

void give(void* block, std::size_t bytes) noexcept {
  const std::size_t c = size_class(bytes);
  if (c < kSizes) {
    Cache& cache = t_cache;
    if (!cache.armed) arm(cache);
    if (!cache.closed && cache.counts[c] < kBlocksPerSize) {
      auto* b = static_cast<Block*>(block);
      b->next = cache.heads[c];
      cache.heads[c] = b;
      ++cache.counts[c];
      return;
    }
  }
  ::operator delete(block);
}

std::size_t cached(std::size_t bytes) noexcept {
  const std::size_t c = size_class(bytes);
  return c < kSizes ? t_cache.counts[c] : 0;
}

#endif

}  // namespace zelvo::block_cache
