// The checker: the compiler's diagnostics plus findings about meaning,
// optionally against a schema of the event types the host produces
// (docs/checker.md).
//
//   auto schema = parse_schema(json_text);          // or no schema at all
//   auto findings = check(source, "guard.zelvo", schema ? &schema.value() : nullptr);
//
// Contracts: check() never throws for any input (only std::bad_alloc may
// escape) and recurses no deeper than the compiler does; its findings are
// in source order, errors and warnings told apart by Diagnostic::level.
// When the source does not compile, only the compiler's diagnostics are
// returned.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostic.h"
#include "model/expected.h"

namespace zelvo::lang {

// The JSON types a field may have, as bits; kAnyType when the schema does
// not say.
enum TypeBit : std::uint8_t {
  kNullType = 1,
  kBoolType = 2,
  kIntType = 4,
  kNumberType = 8,  // any number, integers included
  kStringType = 16,
  kListType = 32,
  kMapType = 64,
};
inline constexpr std::uint8_t kAnyType = 0;

struct FieldSchema {
  std::uint8_t types = kAnyType;
  // For a map: the known properties; `closed` when no others occur
  // (additionalProperties false, the default for an object with
  // properties).
  std::map<std::string, FieldSchema, std::less<>> properties;
  bool closed = false;
  // Whether the schema says anything of the object's fields
  // (`properties` or `additionalProperties`). An object it says nothing
  // of (a tool's arguments) is where the checker suggests a field that
  // no event type has may belong.
  bool described = false;
};

struct Schema {
  // Event type -> its fields (a map schema).
  std::map<std::string, FieldSchema, std::less<>> events;
};

// Reads a schema; the error names the place, e.g.
// `schema: events.tool_call.properties.tool.type: unknown type "text"` or
// `schema: expected value at line 1 column 3`.
Expected<Schema, std::string> parse_schema(std::string_view json);

std::vector<Diagnostic> check(std::string_view source, std::string_view filename, const Schema* schema);

}  // namespace zelvo::lang
