// The canonical JSON form of a compiled policy.
//
// write_policy_json writes every record in its object form with every field,
// in declared order; an absent optional field is written as null (so the
// text always has the same keys in the same places), enumerations as their
// variant names, payload variants as one-key objects. Strings are escaped
// only where JSON requires it; floats are the shortest text that reads back
// as the same double.
//
// Contract: the runtime's decoder (parse_policy_json) reads the text back
// into a policy that writes the same text again, for every policy whose
// texts are valid UTF-8, whose floats are finite and whose nesting stays
// within the decoder's limit of 127 open arrays and objects (each expression
// level costs two). Two policies are the same record for record exactly
// when their canonical texts are equal: tests compare policies that way.
//
// Cost: one pass over the policy, linear in the size of the output; the
// recursion follows the depth of the expression trees.
#pragma once

#include <string>

#include "json/writer.h"
#include "model/policy.h"

namespace zelvo::lang {

// Compact, or indented by two spaces a level.
using JsonLayout = json::Layout;

std::string write_policy_json(const CompiledPolicy& policy, JsonLayout layout = JsonLayout::Compact);

// The JSON form of one expression (for messages and tests).
std::string write_expr_json(const IRExpr& expr, JsonLayout layout = JsonLayout::Compact);

}  // namespace zelvo::lang
