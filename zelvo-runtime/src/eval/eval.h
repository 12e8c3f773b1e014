// The expression evaluator.
//
// eval_expr computes the Value of an IRExpr against one event and the
// engine's stored values. It never fails: an operation that does not apply
// to its operands yields Null (a few yield Bool false or Int 0). It keeps no
// state between calls and changes nothing it is given. It recurses once per
// level of expression nesting, which the decoder bounds.
#pragma once

#include <cstdint>
#include <span>

#include "event/event.h"
#include "event/value.h"
#include "model/policy.h"

namespace zelvo {

// What an expression may read. References are borrowed: the caller keeps
// the event and both maps alive (and unchanged) for the length of the call.
//
// Local bindings: only slot 0 is ever bound (by Quantifier and Count, to the
// element under inspection); every other slot reads as Null. A nested
// quantifier evaluates its body in a copy of this context whose slot 0 points
// at the inner element, so the caller's binding is never changed. The bound
// element is borrowed, not copied: a Ref to Local(0) copies it when read.
struct EvalContext {
  const Event& event;
  const ValueMap& context;
  const ValueMap& config;
  const Value* local0 = nullptr;
  // What the running engine derived from its policy (see
  // engine/prepared_nodes.h), or nothing: then every literal is built when
  // read and every field is found by key. A literal node's `slot` is its
  // position in `literals`, an event reference's `slot` the number of the
  // field it reads; `field_positions` are the event's, indexed by those
  // numbers (engine/field_positions.h). A slot out of a table's range
  // (kUnnumbered, or any number with empty tables) is not used.
  std::span<const Value> literals{};
  std::span<const std::uint32_t> field_positions{};

  EvalContext with_local0(const Value& element) const noexcept {
    EvalContext inner = *this;
    inner.local0 = &element;
    return inner;
  }
};

// Evaluates `expr`; the result is a new Value owned by the caller.
Value eval_expr(const IRExpr& expr, const EvalContext& ctx);

// truthy(eval_expr(expr, ctx)), computed without building the Value where
// the expression's kind yields a Bool by definition (comparisons, And, Or,
// Implies, Not, predicates, quantifiers) and without copying a referenced
// value. Conditions and guards are tested with it.
bool eval_truth(const IRExpr& expr, const EvalContext& ctx);

// Evaluates a decision tree node.
Value eval_decision(const DecisionNode& node, const EvalContext& ctx);

// The Value of a literal (durations scaled to milliseconds modulo 2^64, a
// regex as its pattern text).
Value literal_value(const LiteralValue& lit);
// The same Value, written into `out` in place.
void assign_literal(const LiteralValue& lit, Value& out);

}  // namespace zelvo
