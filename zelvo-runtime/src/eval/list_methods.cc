// Methods of List objects.
#include <cstdint>

#include "eval/methods.h"

namespace zelvo::eval {

Value list_method(const ValueList& object, std::string_view method) {
  if (method == "len" || method == "length") return Value::integer(static_cast<std::int64_t>(object.size()));
  if (method == "is_empty") return Value::boolean(object.empty());
  if (method == "first") return object.empty() ? Value() : object.front();
  if (method == "last") return object.empty() ? Value() : object.back();
  return Value();
}

}  // namespace zelvo::eval
