#include "engine/timestamp_window.h"

#include <utility>

namespace zelvo {

std::size_t TimestampWindow::rank(std::uint64_t value, bool inclusive) const noexcept {
  std::size_t lo = 0;
  std::size_t hi = size_;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint64_t entry = at(mid);
    const bool before = inclusive ? entry <= value : entry < value;
    if (before) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void TimestampWindow::drop_below(std::uint64_t cutoff) noexcept {
  if (size_ == 0 || at(0) >= cutoff) return;
  const std::size_t expired = rank(cutoff, /*inclusive=*/false);
  head_ = (head_ + expired) & mask_;
  size_ -= expired;
  if (size_ == 0) head_ = 0;
}

void TimestampWindow::grow() {
  const std::size_t capacity = buf_.empty() ? 16 : buf_.size() * 2;
  std::vector<std::uint64_t> next(capacity);
  for (std::size_t i = 0; i < size_; ++i) next[i] = at(i);
  buf_ = std::move(next);
  mask_ = capacity - 1;
  head_ = 0;
}

void TimestampWindow::insert(std::uint64_t ts) {
  if (size_ == buf_.size()) grow();
  if (size_ == 0 || at(size_ - 1) <= ts) {
    slot(size_) = ts;
    ++size_;
    return;
  }
  // Out of order: keep ascending order by opening a slot at the insertion
  // point, moving whichever side of it is shorter.
  const std::size_t pos = rank(ts, /*inclusive=*/true);
  if (pos < size_ - pos) {
    head_ = (head_ + mask_) & mask_;  // one slot back; old entry i is now at i + 1
    for (std::size_t i = 0; i < pos; ++i) slot(i) = slot(i + 1);
  } else {
    for (std::size_t i = size_; i > pos; --i) slot(i) = slot(i - 1);
  }
  slot(pos) = ts;
  ++size_;
}

}  // namespace zelvo
