// ConstraintWindow: the sliding window of one rate-limit or quota target.
//
// The engine keeps one window per distinct constraint target; an event whose
// type equals the target is counted here before any rule runs, and an event
// that takes the count over the limit is denied. Both constraint kinds
// behave identically; the kind only names the constraint in results.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "engine/result.h"
#include "engine/timestamp_window.h"
#include "model/policy.h"

namespace zelvo {

class ConstraintWindow {
 public:
  explicit ConstraintWindow(CompiledConstraint constraint) : constraint_(std::move(constraint)) {}

  const CompiledConstraint& constraint() const noexcept { return constraint_; }

  // Number of timestamps currently held.
  std::uint64_t size() const noexcept { return timestamps_.size(); }

  // Counts one event of the target type at `ts` (ms):
  //   - drops every entry earlier than ts - window_millis (floored at 0); an
  //     entry equal to that cut-off stays, and so does any entry later than
  //     ts (events may arrive out of timestamp order);
  //   - adds ts, whether or not the event turns out to violate;
  //   - when the count now exceeds `limit`, appends a ConstraintViolation to
  //     `result`, sets its reason to
  //     "<Kind> exceeded: <count> events in <window>ms window (limit: <limit>)"
  //     and its verdict to Deny.
  // Returns the count, the current event included.
  std::uint64_t record(std::uint64_t ts, EvalResult& result);

  // Forgets every timestamp (reset); the constraint stays.
  void clear() noexcept { timestamps_.clear(); }

 private:
  friend struct EngineStateAccess;  // engine/state_snapshot.cc: save and restore

  CompiledConstraint constraint_;
  TimestampWindow timestamps_;
};

// The reason text of an exceeded constraint.
std::string constraint_reason(const CompiledConstraint& constraint, std::uint64_t count);

}  // namespace zelvo
