// The records that PolicyEngine::evaluate returns.
//
// Every record is a fresh, owned value: nothing in it refers back into the
// engine or its policy (Str text is immutable and may be shared).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "event/value.h"
#include "model/enums.h"
#include "model/str.h"

namespace zelvo {

// One action requested by a fired rule.
struct Action {
  ActionVerb verb = ActionVerb::Log;  // shown by its name: "Log", "Notify", ...
  ValueMap args;                      // argument name -> evaluated value (last one wins)
};

// One invariant violation reported by a state machine monitor.
struct Violation {
  Str proof;      // the machine's name
  Str invariant;  // the machine's invariant_name
  TemporalKind kind = TemporalKind::Always;
  std::string message;
};

// One exceeded rate-limit or quota constraint.
struct ConstraintViolation {
  ConstraintKind kind = ConstraintKind::RateLimit;
  Str target;
  std::uint64_t limit = 0;
  std::uint64_t current = 0;  // events in the window, the current one included
  std::uint64_t window_ms = 0;
};

struct EvalResult {
  Verdict verdict = Verdict::Allow;
  std::optional<Str> reason;                    // absent when no step produced one
  std::vector<std::uint32_t> triggered_rules;   // rule ids, policy order
  std::uint64_t eval_time_us = 0;               // whole microseconds, truncated
  std::vector<Action> actions;                  // rule order, then action order
  std::vector<Violation> violations;            // monitor order, at most one each
  std::vector<ConstraintViolation> constraint_violations;  // at most one

  // Back to a fresh record; the lists keep their storage for reuse.
  void clear() noexcept {
    verdict = Verdict::Allow;
    reason.reset();
    triggered_rules.clear();
    eval_time_us = 0;
    actions.clear();
    violations.clear();
    constraint_violations.clear();
  }
};

}  // namespace zelvo
