#include "eval/node_slots.h"

#include <bit>
#include <utility>

namespace zelvo {

const NodeSlots::Entry NodeSlots::View::kEmpty[1] = {};

NodeSlots::NodeSlots(std::span<const Entry> entries) {
  if (entries.empty()) return;
  const std::size_t capacity = std::bit_ceil(entries.size() * 2);
  storage_.assign(capacity, Entry{});
  view_.table_ = storage_.data();
  view_.mask_ = capacity - 1;
  view_.shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  for (const Entry& entry : entries) {
    std::size_t i = (reinterpret_cast<std::uintptr_t>(entry.node) * View::kMultiplier) >> view_.shift_ & view_.mask_;
    while (storage_[i].node != nullptr && storage_[i].node != entry.node) i = (i + 1) & view_.mask_;
    if (storage_[i].node == nullptr) ++size_;
    storage_[i] = entry;
  }
}

NodeSlots::NodeSlots(NodeSlots&& other) noexcept { *this = std::move(other); }

// The vector's buffer moves with it, so the view stays valid; the source
// is left empty.
NodeSlots& NodeSlots::operator=(NodeSlots&& other) noexcept {
  if (this == &other) return *this;
  storage_ = std::move(other.storage_);
  view_ = other.view_;
  size_ = other.size_;
  other.storage_.clear();
  other.view_ = View();
  other.size_ = 0;
  return *this;
}

}  // namespace zelvo
