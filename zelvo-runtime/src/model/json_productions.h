// Internal: one production per record and sum type of the policy's JSON
// form. Each decodes the value at the reader's cursor into `out` (which it
// may leave half-filled on failure; callers then discard it).
#pragma once

#include <vector>

#include "model/json_reader.h"
#include "model/policy.h"

namespace zelvo::json {

bool decode_policy(JsonReader& r, CompiledPolicy& out);
bool decode_verdict(JsonReader& r, IRVerdict& out);
bool decode_expr(JsonReader& r, IRExpr& out);
bool decode_literal(JsonReader& r, LiteralValue& out);
bool decode_ref_path(JsonReader& r, RefPath& out);
bool decode_node(JsonReader& r, DecisionNode& out);

bool read_str_list(JsonReader& r, std::vector<Str>& out);
bool read_expr_list(JsonReader& r, std::vector<IRExpr>& out);

}  // namespace zelvo::json
