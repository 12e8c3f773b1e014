// LiteralValues: the Value of every literal of a policy, built once when
// its engine is built, so that an operator reads a literal operand in place
// instead of building it on every evaluation.
//
// Contracts:
//   - Building LiteralValues numbers every literal expression of the policy
//     (IRExpr::Literal::value_slot, overwriting any earlier numbering);
//     values()[slot] is literal_value() of that literal.
//   - Immutable afterwards; valid as long as the LiteralValues lives.
#pragma once

#include <span>
#include <vector>

#include "event/value.h"
#include "model/policy.h"

namespace zelvo {

class LiteralValues {
 public:
  static LiteralValues of(CompiledPolicy& policy);

  std::span<const Value> values() const noexcept { return values_; }

 private:
  std::vector<Value> values_;
};

}  // namespace zelvo
