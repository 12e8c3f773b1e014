// Internal: the built-in methods, one family per object kind. MethodCall
// (method_call.cc) evaluates the object and the arguments and hands them
// here; each family matches the method name by exact bytes and gives Null
// for a name it does not know (a map takes the name as a key instead).
// Objects and arguments are only read; a result that is part of the object
// (an element, an entry's value) is a copy.
#pragma once

#include <span>
#include <string_view>

#include "eval/operand.h"

namespace zelvo::eval {

// len/length, is_empty, trim, to_upper(case), to_lower(case), split.
Value string_method(const Str& object, std::string_view method, std::span<const Operand> args);

// len/length, is_empty, first, last.
Value list_method(const ValueList& object, std::string_view method);

// len/length, keys, values, has_key/contains_key, else the entry named
// `method`.
Value map_method(const ValueMap& object, std::string_view method, std::span<const Operand> args);

}  // namespace zelvo::eval
