// The checker: compile diagnostics plus findings about meaning, optionally
// against a schema of the event types the host produces.
//
// The schema is JSON, a subset of JSON Schema (docs/checker.md):
//
//   {"events": {"tool_call": {"type": "object",
//                              "properties": {"tool": {"type": "string"},
//                                             "args": {"type": "object",
//                                                      "properties": {"url": {"type": "string"}}}},
//                              "additionalProperties": false}}}
//
// Contracts: check() never throws for any input (only std::bad_alloc may
// escape); its findings are in source order, errors and warnings
// distinguished by Diagnostic::level.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostic.h"
#include "model/expected.h"

namespace zelvo::lang {

// The type of a field, as far as the schema says.
enum class FieldType : std::uint8_t { Any, Null, Bool, Int, Float, Number, String, List, Map };

struct FieldSchema {
  FieldType type = FieldType::Any;
  // For Map: the known properties; `open` when others may occur too.
  std::map<std::string, FieldSchema, std::less<>> properties;
  bool open = true;
  // For List: the element type (null: any).
  std::shared_ptr<FieldSchema> items;
};

struct Schema {
  // Event type -> its fields (a Map schema).
  std::map<std::string, FieldSchema, std::less<>> events;
};

// Reads a schema; the error text names the place, e.g.
// "schema: events.tool_call.properties.tool.type: unknown type \"text\"".
Expected<Schema, std::string> parse_schema(std::string_view json);

std::vector<Diagnostic> check(std::string_view source, std::string_view filename, const Schema* schema);

}  // namespace zelvo::lang
