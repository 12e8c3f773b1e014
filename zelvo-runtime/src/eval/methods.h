// Internal: the built-in methods, one family per object kind. MethodCall
// (method_call.cc) evaluates the object and the arguments and hands them
// here; each family matches the method name by exact bytes and gives Null
// for a name it does not know (a map takes the name as a key instead).
#pragma once

#include <span>
#include <string_view>

#include "event/value.h"

namespace zelvo::eval {

// len/length, is_empty, trim, to_upper(case), to_lower(case), split.
Value string_method(const Str& object, std::string_view method, std::span<const Value> args);

// len/length, is_empty, first, last. `object` is the caller's own
// evaluated list; an element that is returned is moved out of it.
Value list_method(ValueList& object, std::string_view method);

// len/length, keys, values, has_key/contains_key, else the entry named
// `method`. `object` is the caller's own evaluated map; an entry's value
// that is returned is moved out of it.
Value map_method(ValueMap& object, std::string_view method, std::span<const Value> args);

}  // namespace zelvo::eval
