// FieldUse: the top-level event fields that a policy's expressions can read.
//
// A field that no expression names can never change a result, so a host
// that converts fields one by one may leave such a field out of the Event
// it hands to evaluate(); it must still check that the field converts, so
// that a bad value fails the same way whether or not a rule reads it.
//
// Contracts:
//   - Built once from a policy; immutable afterwards, so it may be read
//     without the engine's lock.
//   - reads_all() is true when some expression reads the whole event (a
//     reference to the event with no keys): every field must be kept.
//   - reads(name) is true for every field that a reference to the event
//     names first on its path, in a rule's condition, verdict message or
//     action argument, a decision tree, or a state machine guard.
#pragma once

#include <cstddef>
#include <string_view>

#include "event/value_map.h"
#include "model/policy.h"

namespace zelvo {

class FieldUse {
 public:
  static FieldUse of(const CompiledPolicy& policy);

  bool reads_all() const noexcept { return all_; }
  bool reads(std::string_view field) const noexcept { return all_ || names_.contains(field); }
  // The names read, each mapped to Null (empty when reads_all()).
  const ValueMap& names() const noexcept { return names_; }
  // How many fields an Event needs room for, out of `given`.
  std::size_t kept_of(std::size_t given) const noexcept { return all_ || given < names_.size() ? given : names_.size(); }

 private:
  friend class FieldUseCollector;
  bool all_ = false;
  ValueMap names_;  // the field names, each mapped to Null
};

}  // namespace zelvo
