// PreparedNodes: what an engine derives from the expressions of its own
// copy of a policy, so that an operator reads a literal operand, or a
// top-level event field, without building or searching for it:
//   - the Value of every literal, built once (literal_value());
//   - for every reference to the event with keys, the number of the field
//     its first key names (engine/field_positions.h).
// Each node finds its entry by index: of() writes into every literal node
// the position of its value in literals(), and into every reference node
// its field number (kUnnumbered for a reference to anything else, or to a
// field the policy does not number). A read costs one load and one bounds
// check, no search.
//
// Contracts:
//   - of() numbers every literal and reference node of the policy it is
//     given, overwriting whatever a copy carried from an earlier engine, and
//     changes nothing else. The engine calls it once, on its own copy,
//     before it evaluates anything; the numbers are only valid with the
//     tables of the same call.
//   - Valid while the policy it was built from lives and is not changed;
//     the engine keeps both and never changes its policy after that.
//   - Immutable once built; move-only.
#pragma once

#include <span>
#include <vector>

#include "engine/field_positions.h"
#include "eval/eval.h"
#include "event/value.h"
#include "model/policy.h"

namespace zelvo {

class PreparedNodes {
 public:
  PreparedNodes() = default;
  PreparedNodes(PreparedNodes&&) noexcept = default;
  PreparedNodes& operator=(PreparedNodes&&) noexcept = default;
  PreparedNodes(const PreparedNodes&) = delete;
  PreparedNodes& operator=(const PreparedNodes&) = delete;

  // Numbers the nodes of `policy` (see above); `fields` is FieldUse::of(policy).
  static PreparedNodes of(CompiledPolicy& policy, const FieldUse& fields);

  // The literals' values, in the order walk_exprs meets them.
  std::span<const Value> literals() const noexcept { return literals_; }

  // Points `ctx` at these tables.
  void attach(EvalContext& ctx) const noexcept { ctx.literals = literals_; }

 private:
  std::vector<Value> literals_;
};

}  // namespace zelvo
