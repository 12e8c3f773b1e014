// The payload-free enumerations of the policy model.
//
// Variants are declared in their canonical order; the ordinal is the
// position. Each enumeration has a names table in the same order: the
// names are the only spellings the JSON decoder accepts and the text that
// messages, the status report and results show (see to_name).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace zelvo {

enum class Verdict : std::uint8_t { Allow, Deny, Audit, Redact };
enum class Severity : std::uint8_t { Critical, High, Medium, Low, Info };
enum class ActionVerb : std::uint8_t { Log, Notify, Escalate, Block, Tag };
enum class ConstraintKind : std::uint8_t { RateLimit, Quota };
enum class TemporalKind : std::uint8_t { Always, Eventually, Never, Until, Next };
enum class StateKind : std::uint8_t { Active, Satisfied, Violated };
enum class DurationUnit : std::uint8_t { Milliseconds, Seconds, Minutes, Hours, Days };
enum class BinaryOp : std::uint8_t { Add, Sub, Mul, Div, Mod, Eq, Neq, Lt, Le, Gt, Ge, And, Or, Implies, In };
enum class UnaryOp : std::uint8_t { Not, Neg };
enum class PredicateKind : std::uint8_t { Contains, Matches, StartsWith, EndsWith };
enum class QuantifierKind : std::uint8_t { All, Any, None, Exists };

// names<E>() is the table of variant names of E in declared order.
template <typename E>
struct EnumNames;

#define ZELVO_ENUM_NAMES(E, ...)                                         \
  template <>                                                            \
  struct EnumNames<E> {                                                  \
    static constexpr std::string_view type_name = #E;                    \
    static constexpr auto values = std::to_array<std::string_view>({__VA_ARGS__}); \
  };

ZELVO_ENUM_NAMES(Verdict, "Allow", "Deny", "Audit", "Redact")
ZELVO_ENUM_NAMES(Severity, "Critical", "High", "Medium", "Low", "Info")
ZELVO_ENUM_NAMES(ActionVerb, "Log", "Notify", "Escalate", "Block", "Tag")
ZELVO_ENUM_NAMES(ConstraintKind, "RateLimit", "Quota")
ZELVO_ENUM_NAMES(TemporalKind, "Always", "Eventually", "Never", "Until", "Next")
ZELVO_ENUM_NAMES(StateKind, "Active", "Satisfied", "Violated")
ZELVO_ENUM_NAMES(DurationUnit, "Milliseconds", "Seconds", "Minutes", "Hours", "Days")
ZELVO_ENUM_NAMES(BinaryOp, "Add", "Sub", "Mul", "Div", "Mod", "Eq", "Neq", "Lt", "Le", "Gt", "Ge", "And", "Or",
                 "Implies", "In")
ZELVO_ENUM_NAMES(UnaryOp, "Not", "Neg")
ZELVO_ENUM_NAMES(PredicateKind, "Contains", "Matches", "StartsWith", "EndsWith")
ZELVO_ENUM_NAMES(QuantifierKind, "All", "Any", "None", "Exists")

#undef ZELVO_ENUM_NAMES

template <typename E>
constexpr const auto& names() noexcept {
  return EnumNames<E>::values;
}

// The variant's declared name, e.g. to_name(ConstraintKind::RateLimit) == "RateLimit".
template <typename E>
constexpr std::string_view to_name(E e) noexcept {
  return EnumNames<E>::values[static_cast<std::size_t>(e)];
}

}  // namespace zelvo
