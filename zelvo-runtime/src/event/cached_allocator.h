// CachedAllocator: the allocator of the storage of lists and maps.
//
// Every event builds a few small lists and maps (its fields, the arguments
// of the actions it requests) and frees them once its result is out; the
// next event builds lists and maps of the same few sizes. Each thread keeps
// the small blocks it freed last, by size, and hands them out again before
// asking the heap: a block then costs a pop from a list, not a malloc and a
// free.
//
// Contracts:
//   - Blocks of up to kMaxCachedBytes bytes are cached, at most
//     kBlocksPerSize of each size (rounded up to kGrain bytes) per thread:
//     a thread never holds more than a few kilobytes. Larger blocks come
//     from the heap and go back to it.
//   - A block may be freed by another thread than the one that took it; it
//     joins the freeing thread's cache.
//   - A thread's cache is returned to the heap when the thread exits; blocks
//     freed later on that thread (by its other thread-local objects' clean
//     up) go straight back to the heap.
//   - Stateless: every CachedAllocator equals every other, so containers
//     move and swap their storage as with std::allocator.
//   - Bypassed (every block from the heap and straight back to it, so that
//     the heap's checks see each one) in builds with AddressSanitizer and
//     where the build defines ZELVO_NO_BLOCK_CACHE (the CMake option
//     ZELVO_BLOCK_CACHE=OFF): block_cache::kEnabled says which.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>

#if defined(__SANITIZE_ADDRESS__)
#define ZELVO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELVO_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef ZELVO_ADDRESS_SANITIZER
#define ZELVO_ADDRESS_SANITIZER 0
#endif

namespace zelvo {

namespace block_cache {

#if ZELVO_ADDRESS_SANITIZER || defined(ZELVO_NO_BLOCK_CACHE)
inline constexpr bool kEnabled = false;
#else
inline constexpr bool kEnabled = true;
#endif

inline constexpr std::size_t kGrain = 16;
inline constexpr std::size_t kMaxCachedBytes = 256;
inline constexpr std::size_t kBlocksPerSize = 16;

// Storage for `bytes` bytes, aligned as ::operator new aligns; throws
// std::bad_alloc.
void* take(std::size_t bytes);
// Returns a block from take(bytes), with the same `bytes`.
void give(void* block, std::size_t bytes) noexcept;
// How many blocks that would serve take(bytes) this thread holds (always
// 0 where the cache is bypassed).
std::size_t cached(std::size_t bytes) noexcept;

}  // namespace block_cache

template <typename T>
struct CachedAllocator {
  using value_type = T;
  using is_always_equal = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;

  CachedAllocator() noexcept = default;
  template <typename U>
  CachedAllocator(const CachedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(block_cache::take(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { block_cache::give(p, n * sizeof(T)); }

  template <typename U>
  friend bool operator==(const CachedAllocator&, const CachedAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace zelvo
