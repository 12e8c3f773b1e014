// NodeSlots: a number for some nodes of a policy, keyed by the node's
// address, for what an engine derives from its own copy of a policy (the
// place of a literal's prepared value, the number of the field a reference
// reads) without writing it into the policy's records.
//
// Contracts:
//   - Keys are addresses of records inside one CompiledPolicy that neither
//     changes nor moves its nodes while the table is used (moving the
//     policy object itself keeps every node where it is: nodes live in
//     vectors' and boxes' heap storage).
//   - find() costs one multiplicative hash of the address and, on average,
//     fewer than two probes of a table that is a power of two in size and
//     at most half full (16 bytes per entry). A node that was not added,
//     or any address at all on an empty table, gives kNoSlot.
//   - Immutable once built; move-only (a copy would point into storage it
//     does not own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelvo {

inline constexpr std::uint32_t kNoSlot = UINT32_MAX;

class NodeSlots {
 public:
  struct Entry {
    const void* node = nullptr;
    std::uint32_t slot = kNoSlot;
  };

  // A table's lookup, copied by value into each evaluation's context so
  // that a lookup reads no table object first. Valid while its table lives;
  // the default view is an empty table.
  class View {
   public:
    std::uint32_t find(const void* node) const noexcept {
      std::size_t i = (reinterpret_cast<std::uintptr_t>(node) * kMultiplier) >> shift_ & mask_;
      for (;;) {
        const Entry& e = table_[i];
        if (e.node == node || e.node == nullptr) [[likely]] return e.slot;
        i = (i + 1) & mask_;
      }
    }

   private:
    friend class NodeSlots;
    static constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;  // 2^64 / golden ratio
    static const Entry kEmpty[1];

    const Entry* table_ = kEmpty;  // a power of two of entries, at least one of them empty
    std::size_t mask_ = 0;
    unsigned shift_ = 63;
  };

  NodeSlots() noexcept = default;
  // Every entry's node must be distinct and non-null.
  explicit NodeSlots(std::span<const Entry> entries);
  NodeSlots(NodeSlots&& other) noexcept;
  NodeSlots& operator=(NodeSlots&& other) noexcept;
  NodeSlots(const NodeSlots&) = delete;
  NodeSlots& operator=(const NodeSlots&) = delete;

  std::uint32_t find(const void* node) const noexcept { return view_.find(node); }
  View view() const noexcept { return view_; }
  std::size_t size() const noexcept { return size_; }

 private:
  View view_;
  std::size_t size_ = 0;
  std::vector<Entry> storage_;
};

}  // namespace zelvo
