// Methods of Map objects. A name that is not a method reads the entry of
// that name, so policies can write `m.name` for `m["name"]`.
#include <cstdint>
#include <utility>

#include "eval/methods.h"

namespace zelvo::eval {
namespace {

Value keys(const ValueMap& map) {
  ValueList out;
  out.reserve(map.size());
  for (const MapEntry& entry : map) out.push_back(Value::string(entry.key));
  return Value::list(std::move(out));
}

Value values(const ValueMap& map) {
  ValueList out;
  out.reserve(map.size());
  for (const MapEntry& entry : map) out.push_back(entry.value);
  return Value::list(std::move(out));
}

// The key is a0's text, or the empty key when a0 is missing or not a String.
Value has_key(const ValueMap& map, std::span<const Operand> args) {
  const Str* key = args.empty() ? nullptr : as_text(args[0].get());
  return Value::boolean(map.contains(key != nullptr ? key->view() : std::string_view()));
}

}  // namespace

Value map_method(const ValueMap& object, std::string_view method, std::span<const Operand> args) {
  if (method == "len" || method == "length") return Value::integer(static_cast<std::int64_t>(object.size()));
  if (method == "keys") return keys(object);
  if (method == "values") return values(object);
  if (method == "has_key" || method == "contains_key") return has_key(object, args);
  const Value* entry = object.find(method);
  return entry != nullptr ? *entry : Value();
}

}  // namespace zelvo::eval
