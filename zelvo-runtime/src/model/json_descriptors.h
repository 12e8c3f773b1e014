// Internal: the table of the policy's records and sum types as the JSON form
// names them. Field lists are in declared order (the array form's order and
// the order in which missing fields are reported); optional masks mark the
// fields that may be absent or null.
#pragma once

#include <array>
#include <string_view>

#include "model/json_record.h"

namespace zelvo::json {

template <std::size_t N>
using Names = std::array<std::string_view, N>;

// --- Policy-level records ------------------------------------------------------
inline constexpr Names<7> kPolicyFields{"name", "severity", "scopes", "rules", "constraints", "state_machines",
                                        "metadata"};
inline constexpr Names<6> kRuleFields{"id", "on_events", "condition", "verdicts", "actions", "severity"};
inline constexpr Names<2> kVerdictFields{"verdict", "message"};
inline constexpr Names<2> kActionFields{"verb", "args"};
inline constexpr Names<4> kConstraintFields{"kind", "target", "limit", "window_millis"};
inline constexpr Names<10> kMachineFields{"id",          "name",          "invariant_name",   "kind",
                                          "states",      "transitions",   "initial_state",    "accepting_states",
                                          "violating_states", "deadline_millis"};
inline constexpr Names<3> kStateFields{"id", "label", "kind"};
inline constexpr Names<3> kTransitionFields{"from", "to", "guard"};
inline constexpr Names<3> kMetadataFields{"annotations", "source_hash", "compiler_version"};

inline constexpr RecordDesc kPolicyRecord{"struct CompiledPolicy", kPolicyFields};
inline constexpr RecordDesc kRuleRecord{"struct CompiledRule", kRuleFields, (1u << 2) | (1u << 5)};
inline constexpr RecordDesc kVerdictRecord{"struct IRVerdict", kVerdictFields, 1u << 1};
inline constexpr RecordDesc kActionRecord{"struct IRAction", kActionFields};
inline constexpr RecordDesc kConstraintRecord{"struct CompiledConstraint", kConstraintFields};
inline constexpr RecordDesc kMachineRecord{"struct StateMachine", kMachineFields, 1u << 9};
inline constexpr RecordDesc kStateRecord{"struct State", kStateFields};
inline constexpr RecordDesc kTransitionRecord{"struct Transition", kTransitionFields};
inline constexpr RecordDesc kMetadataRecord{"struct PolicyMetadata", kMetadataFields};

// --- Expression-level records ----------------------------------------------------
inline constexpr Names<2> kDurationFields{"value", "unit"};
inline constexpr Names<2> kRefPathFields{"root", "fields"};
inline constexpr Names<2> kCaseFields{"test", "body"};
inline constexpr Names<3> kBinaryFields{"op", "left", "right"};
inline constexpr Names<2> kUnaryFields{"op", "operand"};
inline constexpr Names<3> kPredicateFields{"kind", "subject", "argument"};
inline constexpr Names<4> kQuantifierFields{"kind", "collection", "param", "body"};
inline constexpr Names<3> kCountFields{"collection", "param", "filter"};
inline constexpr Names<2> kCallFields{"function", "args"};
inline constexpr Names<3> kMethodCallFields{"object", "method", "args"};
inline constexpr Names<3> kSwitchFields{"subject", "cases", "default"};

inline constexpr RecordDesc kDurationRecord{"struct DurationLit", kDurationFields};
inline constexpr RecordDesc kRefPathRecord{"struct RefPath", kRefPathFields};
inline constexpr RecordDesc kCaseRecord{"struct DecisionCase", kCaseFields};
inline constexpr RecordDesc kBinaryRecord{"struct variant IRExpr::Binary", kBinaryFields};
inline constexpr RecordDesc kUnaryRecord{"struct variant IRExpr::Unary", kUnaryFields};
inline constexpr RecordDesc kPredicateRecord{"struct variant IRExpr::Predicate", kPredicateFields};
inline constexpr RecordDesc kQuantifierRecord{"struct variant IRExpr::Quantifier", kQuantifierFields};
inline constexpr RecordDesc kCountRecord{"struct variant IRExpr::Count", kCountFields, (1u << 1) | (1u << 2)};
inline constexpr RecordDesc kCallRecord{"struct variant IRExpr::Call", kCallFields};
inline constexpr RecordDesc kMethodCallRecord{"struct variant IRExpr::MethodCall", kMethodCallFields};
inline constexpr RecordDesc kSwitchRecord{"struct variant DecisionNode::Switch", kSwitchFields, 1u << 2};

// --- Sum types with payloads, variants in declared order -------------------------
inline constexpr Names<11> kExprVariants{"Literal", "Ref",   "Binary",     "Unary",        "Predicate", "Quantifier",
                                         "Count",   "Call",  "MethodCall", "DecisionTree", "List"};
inline constexpr Names<6> kLiteralVariants{"Bool", "Int", "Float", "String", "Duration", "Regex"};
inline constexpr Names<4> kRefRootVariants{"Event", "Context", "Local", "Policy"};
inline constexpr Names<4> kGuardVariants{"Predicate", "NegatedPredicate", "Timeout", "Always"};
inline constexpr Names<3> kNodeVariants{"Switch", "Leaf", "VerdictLeaf"};
inline constexpr Names<3> kCaseTestVariants{"Literal", "Constructor", "Guard"};

}  // namespace zelvo::json
