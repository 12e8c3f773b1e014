#include "engine/constraint_window.h"

#include <string>

namespace zelvo {

std::string constraint_reason(const CompiledConstraint& constraint, std::uint64_t count) {
  std::string text(to_name(constraint.kind));
  text += " exceeded: ";
  text += std::to_string(count);
  text += " events in ";
  text += std::to_string(constraint.window_millis);
  text += "ms window (limit: ";
  text += std::to_string(constraint.limit);
  text += ")";
  return text;
}

std::uint64_t ConstraintWindow::record(std::uint64_t ts, EvalResult& result) {
  const std::uint64_t cutoff = ts > constraint_.window_millis ? ts - constraint_.window_millis : 0;
  timestamps_.drop_below(cutoff);
  timestamps_.insert(ts);
  const std::uint64_t count = timestamps_.size();
  if (count > constraint_.limit) {
    result.constraint_violations.push_back(ConstraintViolation{
        constraint_.kind, constraint_.target, constraint_.limit, count, constraint_.window_millis});
    result.reason = constraint_reason(constraint_, count);
    result.verdict = Verdict::Deny;
  }
  return count;
}

}  // namespace zelvo
