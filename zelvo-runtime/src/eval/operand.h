// Operand: the value of a sub-expression as an operator reads it.
//
// Operators (comparisons, equality, In, arithmetic, Not, Neg) only read their
// operands, so a reference to stored data (an event field, a context or
// configuration value, the bound element of a quantifier) is borrowed
// instead of copied; every other expression is evaluated into an owned
// Value. The observable result is the same as evaluating the operand with
// eval_expr; only the deep copy of a borrowed list or map is saved.
//
// A borrowed Operand points into the EvalContext's event, maps or local
// binding, which the caller keeps alive and unchanged for the whole
// evaluation; an Operand must not outlive that evaluation.
#pragma once

#include <new>
#include <utility>

#include "eval/eval.h"

namespace zelvo::eval {

class Operand {
 public:
  static Operand owned(Value v) noexcept { return Operand(std::move(v)); }
  static Operand borrowed(const Value& v) noexcept { return Operand(&v); }
  // An owned value written in place by fill(Value&), with no Value moved
  // into the Operand afterwards.
  template <typename Fill>
  static Operand built(Fill&& fill) {
    Operand op{Value()};
    std::forward<Fill>(fill)(op.owned_);
    return op;
  }

  Operand(Operand&& other) noexcept : borrowed_(other.borrowed_) {
    if (borrowed_ == nullptr) new (&owned_) Value(std::move(other.owned_));
  }
  Operand(const Operand&) = delete;
  Operand& operator=(const Operand&) = delete;
  Operand& operator=(Operand&&) = delete;
  ~Operand() {
    if (borrowed_ == nullptr) owned_.~Value();
  }

  const Value& get() const noexcept { return borrowed_ != nullptr ? *borrowed_ : owned_; }
  // The value as a new owned Value: a copy when borrowed, a move otherwise.
  Value take() && { return borrowed_ != nullptr ? *borrowed_ : std::move(owned_); }

 private:
  explicit Operand(Value v) noexcept : borrowed_(nullptr) { new (&owned_) Value(std::move(v)); }
  explicit Operand(const Value* b) noexcept : borrowed_(b) {}

  // A borrowed operand never constructs (or destroys) a Value of its own.
  union {
    Value owned_;
  };
  const Value* borrowed_;
};

// A reference resolved without copying where the value is stored as such
// (ref.cc); the whole-event map of an empty Event path is built and owned.
Operand ref_operand_general(const IRExpr::Ref& e, const EvalContext& ctx);
// Every other expression, evaluated into an owned Value (operand.cc).
Operand owned_operand(const IRExpr& expr, const EvalContext& ctx);

// The operands met most often are read here, where the operator that reads
// them is compiled: an event field at a noted position (or one key into a
// map held there, as in args.url), a quantifier's bound element, and a
// literal prepared by the engine. Each gives exactly what the general paths
// give.
inline Operand ref_operand(const IRExpr::Ref& e, const EvalContext& ctx) {
  const RefPath& path = e.path;
  const RefRoot::Kind root = path.root.kind;
  const std::size_t depth = path.fields.size();
  if (root == RefRoot::Kind::Event && !ctx.field_positions.empty() && (depth == 1 || depth == 2)) {
    const std::uint32_t number = e.slot;
    if (number < ctx.field_positions.size()) {
      const std::size_t pos = ctx.field_positions[number];
      if (pos >= ctx.event.fields.size()) return Operand::owned(Value());
      const Value& field = ctx.event.fields.begin()[pos].value;
      if (depth == 1) return Operand::borrowed(field);
      // The one step of lookup_path: a map holding the second key.
      const Value* found = field.is_map() ? field.as_map().find_str(path.fields[1]) : nullptr;
      return found != nullptr ? Operand::borrowed(*found) : Operand::owned(Value());
    }
  } else if (root == RefRoot::Kind::Local && path.root.slot == 0 && ctx.local0 != nullptr) {
    // The element a quantifier or count has bound (keys not applied).
    return Operand::borrowed(*ctx.local0);
  }
  return ref_operand_general(e, ctx);
}

// Evaluates `expr` for reading: references borrow, everything else owns.
// Inlined into each operator (a handful of call sites): the call would cost
// about as much as the common reads themselves.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline Operand eval_operand(const IRExpr& expr, const EvalContext& ctx) {
  if (const auto* ref = std::get_if<IRExpr::Ref>(&expr.v)) return ref_operand(*ref, ctx);
  if (const auto* lit = std::get_if<IRExpr::Literal>(&expr.v)) {
    if (lit->slot < ctx.literals.size()) return Operand::borrowed(ctx.literals[lit->slot]);
  }
  return owned_operand(expr, ctx);
}

}  // namespace zelvo::eval
