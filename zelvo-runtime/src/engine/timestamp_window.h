// TimestampWindow: the sorted multiset of event timestamps behind one
// constraint window.
//
// A constraint window only ever asks three things of its timestamps: drop
// every entry below a cut-off, add one entry, and report how many remain.
// Because only that count is observable, the entries are kept in ascending
// order rather than in arrival order; the count after any sequence of
// operations is the same either way.
//
// Storage is one ring buffer of u64 (8 bytes per entry, capacity a power of
// two, so at most 16 bytes per entry while growing). Expired entries leave
// from the front and their slots are reused by later entries; the buffer
// never shrinks except through release().
//
// Cost per operation:
//   - drop_below: O(log n) (a binary search, then the head moves).
//   - insert: O(1) amortised for a timestamp not earlier than the latest
//     entry (the normal case: timestamps come from a wall clock). An earlier
//     timestamp costs a binary search plus moving the shorter side of the
//     ring by one slot: O(log n + min(k, n - k)) for insertion position k.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelvo {

class TimestampWindow {
 public:
  TimestampWindow() = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Removes every entry strictly less than `cutoff`.
  void drop_below(std::uint64_t cutoff) noexcept;

  // Adds one entry (duplicates are kept).
  void insert(std::uint64_t ts);

  // Removes every entry; keeps the storage for reuse.
  void clear() noexcept { head_ = 0; size_ = 0; }

  // The i-th smallest entry; i < size().
  std::uint64_t at(std::size_t i) const noexcept { return buf_[(head_ + i) & mask_]; }

 private:
  std::uint64_t& slot(std::size_t i) noexcept { return buf_[(head_ + i) & mask_]; }
  // Number of entries less than `value` (or not greater, when `inclusive`).
  std::size_t rank(std::uint64_t value, bool inclusive) const noexcept;
  void grow();

  std::vector<std::uint64_t> buf_;  // capacity buf_.size(), 0 or a power of two
  std::size_t mask_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

static_assert(sizeof(std::uint64_t) == 8, "one window entry is 8 bytes");

}  // namespace zelvo
