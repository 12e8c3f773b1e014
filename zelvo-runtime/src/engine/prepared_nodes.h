// PreparedNodes: what an engine derives from the expressions of its own
// copy of a policy, so that an operator reads a literal operand, or a
// top-level event field, without building or searching for it:
//   - the Value of every literal, built once (literal_value());
//   - for every reference to the event with keys, the number of the field
//     its first key names (engine/field_positions.h);
// each found through the node's address (eval/node_slots.h). The policy's
// records are only read: they carry nothing of this.
//
// Contracts:
//   - Valid while the policy it was built from lives and is not changed;
//     the engine keeps both and never changes its policy.
//   - Immutable once built; move-only.
#pragma once

#include <span>
#include <vector>

#include "engine/field_positions.h"
#include "eval/eval.h"
#include "eval/node_slots.h"
#include "event/value.h"
#include "model/policy.h"

namespace zelvo {

class PreparedNodes {
 public:
  PreparedNodes() = default;
  // `fields` is FieldUse::of(policy).
  static PreparedNodes of(const CompiledPolicy& policy, const FieldUse& fields);

  // The literals' values, in the order walk_exprs meets them.
  std::span<const Value> literals() const noexcept { return literals_; }
  // Literal node -> position in literals(); event reference -> field number.
  const NodeSlots& slots() const noexcept { return slots_; }

  // Points `ctx` at these tables.
  void attach(EvalContext& ctx) const noexcept {
    ctx.slots = slots_.view();
    ctx.literals = literals_;
  }

 private:
  std::vector<Value> literals_;
  NodeSlots slots_;
};

}  // namespace zelvo
