// Call: the built-in functions len/length, str/to_string, abs, min and max.
// Every argument is evaluated, in order, before the name is looked at; an
// unknown name or unsuitable argument gives Null. Arguments that are
// references to stored data are read in place; min and max copy the winner.
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {
namespace {

// Byte length, element count or entry count; 0 for anything else.
Value len(std::span<const Operand> args) {
  if (args.empty()) return Value::integer(0);
  const Value& a = args[0].get();
  switch (a.kind()) {
    case Value::Kind::String: return Value::integer(static_cast<std::int64_t>(a.as_string().size()));
    case Value::Kind::List: return Value::integer(static_cast<std::int64_t>(a.as_list().size()));
    case Value::Kind::Map: return Value::integer(static_cast<std::int64_t>(a.as_map().size()));
    default: return Value::integer(0);
  }
}

Value to_string(std::span<const Operand> args) {
  return Value::string(args.empty() ? Str() : Str(display(args[0].get())));
}

// Integers wrap (the minimum stays itself); floats lose their sign bit.
Value abs(std::span<const Operand> args) {
  if (args.empty()) return Value();
  const Value& a = args[0].get();
  if (a.is_int()) {
    const auto bits = static_cast<std::uint64_t>(a.as_int());
    return Value::integer(static_cast<std::int64_t>(a.as_int() < 0 ? 0 - bits : bits));
  }
  if (a.is_float()) return Value::floating(std::fabs(a.as_float()));
  return Value();
}

// min and max return one of their two arguments unchanged (the first on a
// tie); anything but exactly two arguments, or incomparable ones, is Null.
Value min(std::span<Operand> args) {
  if (args.size() != 2) return Value();
  switch (partial_compare(args[0].get(), args[1].get())) {
    case Ordering::Less:
    case Ordering::Equal: return std::move(args[0]).take();
    case Ordering::Greater: return std::move(args[1]).take();
    case Ordering::Incomparable: return Value();
  }
  return Value();
}

Value max(std::span<Operand> args) {
  if (args.size() != 2) return Value();
  switch (partial_compare(args[0].get(), args[1].get())) {
    case Ordering::Greater:
    case Ordering::Equal: return std::move(args[0]).take();
    case Ordering::Less: return std::move(args[1]).take();
    case Ordering::Incomparable: return Value();
  }
  return Value();
}

}  // namespace

Value eval_call(const IRExpr::Call& e, const EvalContext& ctx) {
  std::vector<Operand> args;
  args.reserve(e.args.size());
  for (const IRExpr& arg : e.args) args.push_back(eval_operand(arg, ctx));

  const std::string_view name = e.function.view();
  if (name == "len" || name == "length") return len(args);
  if (name == "str" || name == "to_string") return to_string(args);
  if (name == "abs") return abs(args);
  if (name == "min") return min(args);
  if (name == "max") return max(args);
  return Value();
}

}  // namespace zelvo::eval
