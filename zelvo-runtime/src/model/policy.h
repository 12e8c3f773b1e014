// The compiled policy model: plain records produced by the JSON decoder
// (model/json_decoder.h) and read by the evaluator and the engine.
//
// Contracts:
//   - Records are regular value types: the implicit copy constructor of
//     every record is a deep copy (children are held in Box, lists own their
//     elements, Str text is immutable and shared).
//   - Fields are declared in the canonical order, which is also the order of
//     each record's JSON array form.
//   - std::optional marks an optional field; absence is distinct from any
//     value of the field's type.
//   - The model validates nothing beyond its types: state positions, ids
//     and targets are taken as they come.
//   - Variants of a sum type are held in std::variant in declared order, so
//     variant index == declared ordinal (see the Kind enumerations).
//   - Immutable once loaded, with one exception: the `slot` of a literal
//     and of a reference node. It is not data of the policy (no decoder
//     reads it, no writer writes it, it is kUnnumbered until an engine
//     numbers it); an engine writes it into its own copy of the policy
//     once, when it prepares that copy, so that an operator finds the
//     node's entry in the engine's tables by index (engine/prepared_nodes.h).
//     Everything else an engine derives (field numbers, prepared literal
//     values, its rule index) lives in tables the engine owns
//     (engine/prepared_nodes.h, engine/field_positions.h,
//     engine/rule_index.h).
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "model/box.h"
#include "model/enums.h"
#include "model/str.h"

namespace zelvo {

struct IRExpr;
struct DecisionNode;

struct DurationLit {
  std::uint64_t value = 0;
  DurationUnit unit = DurationUnit::Milliseconds;
};

// LiteralValue: Bool, Int, Float, String, Duration, Regex.
struct LiteralValue {
  struct Bool { bool value; };
  struct Int { std::int64_t value; };
  struct Float { double value; };
  struct String { Str value; };
  struct Duration { DurationLit value; };
  struct Regex { Str value; };
  enum class Kind : std::uint8_t { Bool, Int, Float, String, Duration, Regex };

  std::variant<Bool, Int, Float, String, Duration, Regex> v;
  LiteralValue() : v(Bool{false}) {}
  template <typename Alt>
    requires(!std::is_same_v<std::remove_cvref_t<Alt>, LiteralValue>)
  LiteralValue(Alt alt) : v(std::move(alt)) {}  // NOLINT: implicit from any variant
  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
};

// RefRoot: Event, Context, Local(slot), Policy. `slot` is meaningful only
// for Local.
struct RefRoot {
  enum class Kind : std::uint8_t { Event, Context, Local, Policy };
  Kind kind = Kind::Event;
  std::uint32_t slot = 0;
};

// The `slot` of a node no engine has numbered: it indexes no table.
inline constexpr std::uint32_t kUnnumbered = UINT32_MAX;

struct LiteralExpr {
  LiteralValue value;
  std::uint32_t slot = kUnnumbered;  // engine-owned; see the contracts above
};

struct RefPath {
  RefRoot root;
  std::vector<Str> fields;
};

struct IRVerdict {
  Verdict verdict = Verdict::Allow;
  std::optional<Box<IRExpr>> message;
};

struct IRAction {
  ActionVerb verb = ActionVerb::Log;
  std::vector<std::pair<Str, Box<IRExpr>>> args;
};

// IRExpr: eleven variants, in declared order.
struct IRExpr {
  using Literal = LiteralExpr;
  struct Ref { RefPath path; std::uint32_t slot = kUnnumbered; };  // slot: engine-owned, see above
  struct Binary { BinaryOp op; Box<IRExpr> left; Box<IRExpr> right; };
  struct Unary { UnaryOp op; Box<IRExpr> operand; };
  struct Predicate { PredicateKind kind; Box<IRExpr> subject; Box<IRExpr> argument; };
  struct Quantifier { QuantifierKind kind; Box<IRExpr> collection; Str param; Box<IRExpr> body; };
  struct Count { Box<IRExpr> collection; std::optional<Str> param; std::optional<Box<IRExpr>> filter; };
  struct Call { Str function; std::vector<IRExpr> args; };
  struct MethodCall { Box<IRExpr> object; Str method; std::vector<IRExpr> args; };
  struct DecisionTree { Box<DecisionNode> node; };
  struct List { std::vector<IRExpr> items; };
  enum class Kind : std::uint8_t {
    Literal, Ref, Binary, Unary, Predicate, Quantifier, Count, Call, MethodCall, DecisionTree, List
  };

  std::variant<Literal, Ref, Binary, Unary, Predicate, Quantifier, Count, Call, MethodCall, DecisionTree, List> v;
  IRExpr() : v(Literal{}) {}
  template <typename Alt>
    requires(!std::is_same_v<std::remove_cvref_t<Alt>, IRExpr>)
  IRExpr(Alt alt) : v(std::move(alt)) {}  // NOLINT: implicit from any variant
  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
};

// CaseTest: Literal(LiteralValue), Constructor(type name), Guard(expr).
struct CaseTest {
  struct Literal { LiteralValue value; };
  struct Constructor { Str name; };
  struct Guard { Box<IRExpr> expr; };
  enum class Kind : std::uint8_t { Literal, Constructor, Guard };

  std::variant<Literal, Constructor, Guard> v;
  CaseTest() : v(Literal{}) {}
  template <typename Alt>
    requires(!std::is_same_v<std::remove_cvref_t<Alt>, CaseTest>)
  CaseTest(Alt alt) : v(std::move(alt)) {}  // NOLINT: implicit from any variant
  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
};

struct DecisionCase;

// DecisionNode: Switch, Leaf(expr), VerdictLeaf(IRVerdict).
struct DecisionNode {
  struct Switch { Box<IRExpr> subject; std::vector<DecisionCase> cases; std::optional<Box<DecisionNode>> default_; };
  struct Leaf { Box<IRExpr> expr; };
  struct VerdictLeaf { IRVerdict verdict; };
  enum class Kind : std::uint8_t { Switch, Leaf, VerdictLeaf };

  std::variant<Switch, Leaf, VerdictLeaf> v;
  DecisionNode();
  template <typename Alt>
    requires(!std::is_same_v<std::remove_cvref_t<Alt>, DecisionNode>)
  DecisionNode(Alt alt) : v(std::move(alt)) {}  // NOLINT: implicit from any variant
  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
};

struct DecisionCase {
  CaseTest test;
  DecisionNode body;
};

// Defined here, where DecisionCase is complete: constructing the variant
// instantiates Switch's destructor, which needs it.
inline DecisionNode::DecisionNode() : v(Leaf{}) {}

struct CompiledRule {
  std::uint32_t id = 0;
  std::vector<Str> on_events;
  std::optional<IRExpr> condition;
  std::vector<IRVerdict> verdicts;
  std::vector<IRAction> actions;
  std::optional<Severity> severity;
};

struct CompiledConstraint {
  ConstraintKind kind = ConstraintKind::RateLimit;
  Str target;
  std::uint64_t limit = 0;
  std::uint64_t window_millis = 0;
};

struct State {
  std::uint32_t id = 0;
  Str label;
  StateKind kind = StateKind::Active;
};

// TransitionGuard: Predicate(expr), NegatedPredicate(expr), Timeout, Always.
// `expr` is present exactly for Predicate and NegatedPredicate.
struct TransitionGuard {
  enum class Kind : std::uint8_t { Predicate, NegatedPredicate, Timeout, Always };
  Kind kind = Kind::Always;
  std::optional<Box<IRExpr>> expr;
};

struct Transition {
  std::uint32_t from = 0;
  std::uint32_t to = 0;
  TransitionGuard guard;
};

struct StateMachine {
  std::uint32_t id = 0;
  Str name;
  Str invariant_name;
  TemporalKind kind = TemporalKind::Always;
  std::vector<State> states;
  std::vector<Transition> transitions;
  std::uint32_t initial_state = 0;
  std::vector<std::uint32_t> accepting_states;
  std::vector<std::uint32_t> violating_states;
  std::optional<std::uint64_t> deadline_millis;
};

struct PolicyMetadata {
  std::vector<std::pair<Str, Str>> annotations;
  std::uint64_t source_hash = 0;
  Str compiler_version;
};

struct CompiledPolicy {
  Str name;
  Severity severity = Severity::Critical;
  std::vector<Str> scopes;
  std::vector<CompiledRule> rules;
  std::vector<CompiledConstraint> constraints;
  std::vector<StateMachine> state_machines;
  PolicyMetadata metadata;
};

}  // namespace zelvo
