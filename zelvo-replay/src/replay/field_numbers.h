// FieldNumbers: the number a policy gives each top-level event field it
// reads (engine/field_positions.h), found from the key's text as a line is
// read, so that the reader can note where each read field lands while it
// builds the event instead of searching the built map afterwards.
//
// Contracts:
//   - find(key) is exactly FieldUse::number_of(key) for the FieldUse the
//     table was built from (keys compared as exact bytes), or -1.
//   - The table copies nothing it does not own: it keeps its own copy of
//     every name, so it may outlive the FieldUse.
//   - Cost: one hash of the key's length and its first and last bytes, one
//     probe (rarely more) and one comparison of at most the key's bytes; a
//     table of 4x the names rounded up to a power of two, at least 16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/field_positions.h"

namespace zelvo::replay {

class FieldNumbers {
 public:
  explicit FieldNumbers(const FieldUse& use);

  // The fields numbered: every number found is below it.
  std::size_t count() const noexcept { return count_; }

  // `key`'s number, or -1 for a field the policy does not read.
  std::int32_t find(std::string_view key) const noexcept {
    std::size_t slot = hash(key) & mask_;
    for (;;) {
      const Slot& s = slots_[slot];
      if (s.number < 0) return -1;
      if (s.size == key.size() && same_bytes(names_.data() + s.offset, key)) return s.number;
      slot = (slot + 1) & mask_;
    }
  }

 private:
  struct Slot {
    std::uint32_t offset = 0;  // into names_
    std::uint32_t size = 0;
    std::int32_t number = -1;  // -1: empty
  };
  // Field names are short: a loop beats a call of memcmp.
  static bool same_bytes(const char* name, std::string_view key) noexcept {
    for (std::size_t i = 0; i < key.size(); ++i) {
      if (name[i] != key[i]) return false;
    }
    return true;
  }
  static std::size_t hash(std::string_view key) noexcept {
    if (key.empty()) return 0;
    const auto first = static_cast<unsigned char>(key.front());
    const auto last = static_cast<unsigned char>(key.back());
    const std::uint32_t h = static_cast<std::uint32_t>(key.size()) * 0x9E3779B1u ^ first * 0x85EBCA6Bu ^ last * 0xC2B2AE35u;
    return (h ^ (h >> 15)) * 0x2C1B3C6Du >> 8;
  }

  std::size_t count_ = 0;
  std::size_t mask_ = 0;
  std::string names_;
  std::vector<Slot> slots_;
};

}  // namespace zelvo::replay
