// Field numbers and field positions: how a host that converts an event's
// fields tells the engine where it stored the fields the policy reads, so
// that rules reach them without searching by name.
//
// The contract, for a host (the Python binding) and the engine:
//   1. The engine numbers the top-level event fields its policy can read
//      (FieldUse below, from engine.field_use()), 0..count()-1, in the
//      order the policy first names them. The numbering is fixed when the
//      engine is built and the policy's records are never changed for it:
//      the engine keeps, in tables of its own, which number each reference
//      reads (engine/prepared_nodes.h).
//   2. For one evaluation the host may set Event::field_positions (see
//      event/event.h) to a span of exactly count() entries: entry i is the
//      position in Event::fields of the entry whose key is field i's name,
//      or kNoFieldPosition when `fields` holds no such key. The span is
//      borrowed for the call only.
//   3. The engine uses the span only when its length is count(); any other
//      length (an empty span in particular) means "find fields by key". A
//      position past the end of `fields` reads as an absent field, never
//      as memory past the map. Given a span that obeys 2, every result is
//      exactly that of the same event found by key.
//   4. A host that converts fields one by one may leave out a field the
//      policy cannot read (reads() is false), but must still check that it
//      converts, so that a bad value fails the same way whether or not a
//      rule reads it. When reads_all() is true some expression reads the
//      whole event and every field must be kept.
//
// FieldUse is built once from a policy when its engine is built and is
// immutable afterwards, so a host may read it without the engine's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "event/value_map.h"
#include "model/policy.h"

namespace zelvo {

// An entry of Event::field_positions for a read field the event lacks.
inline constexpr std::uint32_t kNoFieldPosition = UINT32_MAX;

class FieldUse {
 public:
  // The fields `policy` reads: every field that a reference to the event
  // names first on its path, in a rule's condition, verdict message or
  // action argument, a decision tree, or a state machine guard.
  static FieldUse of(const CompiledPolicy& policy);

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
  // field, as rule 2 above describes.
  void locate(const ValueMap& fields, std::span<std::uint32_t> positions) const noexcept;

 private:
  bool all_ = false;
  ValueMap names_;  // the field names, each mapped to its number
};

}  // namespace zelvo
