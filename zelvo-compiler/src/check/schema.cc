// The schema's JSON: read into a small tree with the runtime's JSON reader
// (its nesting limit bounds the recursion), then interpreted.
#include <string>
#include <vector>

#include "check/check.h"
#include "model/json_error.h"
#include "model/json_reader.h"

namespace zelvo::lang {

namespace {

struct JsonValue {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;
  std::vector<JsonValue> items;   // an array's elements, or an object's values
  std::vector<std::string> keys;  // an object's keys, one per value

  const JsonValue* get(std::string_view key) const {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return &items[i];
    }
    return nullptr;
  }
};

bool read_value(json::JsonReader& r, JsonValue& out) {
  const int c = r.skip_ws();
  switch (c) {
    case '{': {
      if (!r.enter()) return false;
      r.eat();
      out.kind = JsonValue::Kind::Object;
      bool first = true;
      bool more = true;
      for (;;) {
        std::string_view key;
        if (!r.next_key(first, more, key)) return false;
        if (!more) break;
        std::string k(key);
        if (!r.colon()) return false;
        JsonValue v;
        if (!read_value(r, v)) return false;
        out.keys.push_back(std::move(k));
        out.items.push_back(std::move(v));
      }
      r.leave();
      return r.end_object();
    }
    case '[': {
      if (!r.enter()) return false;
      r.eat();
      out.kind = JsonValue::Kind::Array;
      bool first = true;
      bool more = true;
      for (;;) {
        if (!r.next_element(first, more)) return false;
        if (!more) break;
        JsonValue v;
        if (!read_value(r, v)) return false;
        out.items.push_back(std::move(v));
      }
      r.leave();
      return r.end_array();
    }
    case '"': {
      r.eat();
      std::string_view s;
      if (!r.string(s)) return false;
      out.kind = JsonValue::Kind::String;
      out.text = std::string(s);
      return true;
    }
    case 't':
      r.eat();
      out.kind = JsonValue::Kind::Bool;
      out.boolean = true;
      return r.ident("rue");
    case 'f':
      r.eat();
      out.kind = JsonValue::Kind::Bool;
      return r.ident("alse");
    case 'n':
      r.eat();
      return r.ident("ull");
    default: {
      const bool negative = c == '-';
      if (negative) r.eat();
      json::Number n;
      out.kind = JsonValue::Kind::Number;
      return r.number(!negative, n);
    }
  }
}

struct Interpreter {
  std::string error;

  bool fail(const std::string& where, const std::string& what) {
    error = "schema: " + where + ": " + what;
    return false;
  }

  bool type_bits(const JsonValue& v, const std::string& where, std::uint8_t& out) {
    auto one = [&](const JsonValue& t) -> bool {
      if (t.kind != JsonValue::Kind::String) return fail(where, "a type must be a string");
      static const std::pair<std::string_view, std::uint8_t> kTypes[] = {
          {"null", kNullType},     {"boolean", kBoolType}, {"integer", kIntType}, {"number", kNumberType},
          {"string", kStringType}, {"array", kListType},   {"object", kMapType}};
      for (const auto& [name, bit] : kTypes) {
        if (t.text == name) {
          out |= bit;
          return true;
        }
      }
      return fail(where, "unknown type \"" + t.text + "\"");
    };
    if (v.kind == JsonValue::Kind::Array) {
      for (const JsonValue& t : v.items) {
        if (!one(t)) return false;
      }
      return true;
    }
    return one(v);
  }

  bool field(const JsonValue& v, const std::string& where, FieldSchema& out) {
    if (v.kind != JsonValue::Kind::Object) return fail(where, "expected an object");
    if (const JsonValue* t = v.get("type")) {
      if (!type_bits(*t, where + ".type", out.types)) return false;
    }
    if (const JsonValue* props = v.get("properties")) {
      if (props->kind != JsonValue::Kind::Object) return fail(where + ".properties", "expected an object");
      out.closed = true;
      out.described = true;
      for (std::size_t i = 0; i < props->keys.size(); ++i) {
        const std::string& name = props->keys[i];
        FieldSchema f;
        if (!field(props->items[i], where + ".properties." + name, f)) return false;
        out.properties.insert_or_assign(name, std::move(f));
      }
      if (out.types == kAnyType) out.types = kMapType;
    }
    if (const JsonValue* extra = v.get("additionalProperties")) {
      out.described = true;
      if (extra->kind == JsonValue::Kind::Bool) {
        out.closed = !extra->boolean;
      } else if (extra->kind == JsonValue::Kind::Object) {
        out.closed = false;
      } else {
        return fail(where + ".additionalProperties", "expected true, false or an object");
      }
    }
    return true;
  }
};

}  // namespace

Expected<Schema, std::string> parse_schema(std::string_view json_text) {
  json::JsonReader reader(json_text, true);
  JsonValue root;
  if (!read_value(reader, root) || !reader.end_root()) {
    json::Fault fault = reader.fault();
    const auto [line, column] = json::locate(json_text, fault.offset);
    return unexpected("schema: " + json::describe(fault) + " at line " + std::to_string(line) + " column " +
                      std::to_string(column));
  }
  Interpreter in;
  if (root.kind != JsonValue::Kind::Object) return unexpected(std::string("schema: expected an object at the top"));
  const JsonValue* events = root.get("events");
  if (events == nullptr || events->kind != JsonValue::Kind::Object) {
    return unexpected(std::string("schema: expected an object \"events\" mapping event types to their fields"));
  }
  Schema schema;
  for (std::size_t i = 0; i < events->keys.size(); ++i) {
    const std::string& type = events->keys[i];
    FieldSchema f;
    if (!in.field(events->items[i], "events." + type, f)) return unexpected(in.error);
    if (f.types == kAnyType) f.types = kMapType;
    schema.events.insert_or_assign(type, std::move(f));
  }
  return schema;
}

}  // namespace zelvo::lang
