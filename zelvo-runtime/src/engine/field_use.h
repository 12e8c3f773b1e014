// FieldUse: the top-level event fields that a policy's expressions can read.
//
// A field that no expression names can never change a result, so a host
// that converts fields one by one may leave such a field out of the Event
// it hands to evaluate(); it must still check that the field converts, so
// that a bad value fails the same way whether or not a rule reads it.
//
// Contracts:
//   - Built once from a policy, when its engine is built; immutable
//     afterwards, so it may be read without the engine's lock.
//   - reads_all() is true when some expression reads the whole event (a
//     reference to the event with no keys): every field must be kept.
//   - reads(name) is true for every field that a reference to the event
//     names first on its path, in a rule's condition, verdict message or
//     action argument, a decision tree, or a state machine guard.
//   - The read fields are numbered 0..count()-1 in the order the policy
//     first names them. Building a FieldUse sets every event reference's
//     field_slot to its first key's number (kNoFieldSlot for a reference
//     without keys), so that an Event's field_positions (see event.h) are
//     indexed by these numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "event/value_map.h"
#include "model/policy.h"

namespace zelvo {

class FieldUse {
 public:
  // Numbers the policy's field references (see above).
  static FieldUse of(CompiledPolicy& policy);

  bool reads_all() const noexcept { return all_; }
  bool reads(std::string_view field) const noexcept { return all_ || names_.contains(field); }
  // How many fields an Event needs room for, out of `given`.
  std::size_t kept_of(std::size_t given) const noexcept { return all_ || given < names_.size() ? given : names_.size(); }

  // The number of read fields, and the number of one (nullopt if unread).
  std::size_t count() const noexcept { return names_.size(); }
  std::optional<std::uint32_t> number_of(std::string_view field) const noexcept;
  // The names read, each mapped to its number as an Int.
  const ValueMap& names() const noexcept { return names_; }

  // Fills `positions` (count() entries) with where `fields` holds each read
  // field, for an Event's field_positions.
  void locate(const ValueMap& fields, std::span<std::uint32_t> positions) const noexcept;

 private:
  bool all_ = false;
  ValueMap names_;  // the field names, each mapped to its number
};

}  // namespace zelvo
