#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "event/cached_allocator.h"
#include "event/value.h"

namespace zelvo {
namespace {

using namespace block_cache;

// The cases that watch blocks being reused skip themselves where the cache
// is bypassed, with this message.
#define SKIP_WITHOUT_CACHE() \
  if (!kEnabled) GTEST_SKIP() << "the block cache is bypassed in this build (AddressSanitizer or ZELVO_BLOCK_CACHE=OFF)"

// Empties this thread's cache for `bytes`, so that a case starts from nothing.
void drain(std::size_t bytes) {
  std::vector<void*> held;
  while (cached(bytes) > 0) held.push_back(take(bytes));
  for (void* p : held) ::operator delete(p);
}

TEST(BlockCache, AFreedBlockServesTheNextRequestOfItsSize) {
  SKIP_WITHOUT_CACHE();
  drain(40);
  void* a = take(33);
  give(a, 33);
  EXPECT_EQ(cached(48), 1u);       // 33..48 bytes share one size
  EXPECT_EQ(cached(32), 0u);       // the size below does not see it
  EXPECT_EQ(take(48), a);          // any request of that size gets it
  EXPECT_EQ(cached(40), 0u);
  give(a, 48);
  drain(40);
}

TEST(BlockCache, KeepsABoundedNumberPerSizeAndNoLargeBlocks) {
  SKIP_WITHOUT_CACHE();
  drain(64);
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < kBlocksPerSize + 5; ++i) blocks.push_back(take(64));
  for (void* p : blocks) give(p, 64);
  EXPECT_EQ(cached(64), kBlocksPerSize);
  drain(64);

  void* big = take(kMaxCachedBytes + 1);
  give(big, kMaxCachedBytes + 1);
  EXPECT_EQ(cached(kMaxCachedBytes + 1), 0u);
  void* zero = take(0);  // the smallest size
  give(zero, 0);
  EXPECT_EQ(cached(1), 1u);
  drain(1);
}

TEST(BlockCache, BlocksFreedOnAnotherThreadJoinThatThreadsCache) {
  SKIP_WITHOUT_CACHE();
  drain(96);
  void* p = take(96);
  std::size_t there = 0;
  std::thread([&] {
    give(p, 96);
    there = cached(96);
  }).join();  // the thread's cache goes back to the heap as it exits (checked by the leak checker)
  EXPECT_EQ(there, 1u);
  EXPECT_EQ(cached(96), 0u);
}

TEST(BlockCache, ContainersMoveTheirStorageAcrossThreads) {
  ValueList items{Value::integer(1), Value::string(Str("two")), Value::list(ValueList{Value::boolean(true)})};
  ValueMap map;
  map.insert_or_assign(Str("k"), Value::list(std::move(items)));
  std::thread([moved = std::move(map)]() mutable {
    ValueMap copy = moved;
    ASSERT_NE(copy.find("k"), nullptr);
    EXPECT_EQ(copy.find("k")->as_list().size(), 3u);
  }).join();
}

TEST(BlockCache, IsBypassedExactlyWhenTheBuildSaysSo) {
#if ZELVO_ADDRESS_SANITIZER || defined(ZELVO_NO_BLOCK_CACHE)
  EXPECT_FALSE(kEnabled);
#else
  EXPECT_TRUE(kEnabled);
#endif
  // Every size the cache would keep, freed and then counted.
  for (std::size_t bytes : {std::size_t{1}, kGrain, 2 * kGrain + 1, kMaxCachedBytes}) {
    drain(bytes);
    give(take(bytes), bytes);
    EXPECT_EQ(cached(bytes), kEnabled ? 1u : 0u) << bytes;
    drain(bytes);
  }
}

// Reads a byte of `p` so that the compiler cannot drop the read.
unsigned char read_byte(const void* p) { return *static_cast<const volatile unsigned char*>(p); }

// A list's storage freed and then read: AddressSanitizer must report it,
// which it can only do if the block went back to the heap rather than
// into a cache. Called only in that build.
[[maybe_unused]] void read_freed_list_storage() {
  ValueList items{Value::integer(1), Value::integer(2)};
  const void* storage = items.data();
  items = ValueList();  // frees the storage
  static_cast<void>(read_byte(storage));
}

TEST(BlockCacheDeathTest, AUseAfterFreeInListStorageIsReported) {
#if ZELVO_ADDRESS_SANITIZER
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(read_freed_list_storage(), "heap-use-after-free");
#else
  GTEST_SKIP() << "runs only in the AddressSanitizer build (scripts/test_sanitizers.sh), where freed list "
                  "storage goes back to the heap";
#endif
}

}  // namespace
}  // namespace zelvo
