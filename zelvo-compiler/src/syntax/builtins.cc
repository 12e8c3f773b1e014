#include "syntax/builtins.h"

#include <array>

namespace zelvo::lang {

namespace {

constexpr std::array<Builtin, 7> kFunctions{{
    {"len", 1, 1}, {"length", 1, 1}, {"str", 1, 1}, {"to_string", 1, 1},
    {"abs", 1, 1}, {"min", 2, 2}, {"max", 2, 2},
}};

constexpr std::array<Builtin, 15> kMethods{{
    {"len", 0, 0}, {"length", 0, 0}, {"is_empty", 0, 0}, {"trim", 0, 0},
    {"to_upper", 0, 0}, {"to_uppercase", 0, 0}, {"to_lower", 0, 0}, {"to_lowercase", 0, 0},
    {"split", 0, 1}, {"first", 0, 0}, {"last", 0, 0}, {"keys", 0, 0},
    {"values", 0, 0}, {"has_key", 1, 1}, {"contains_key", 1, 1},
}};

constexpr std::array<std::string_view, 9> kSpecial{
    "contains", "matches", "starts_with", "ends_with", "all", "any", "none", "exists", "count"};

const Builtin* find_in(std::span<const Builtin> table, std::string_view name) noexcept {
  for (const Builtin& b : table) {
    if (b.name == name) return &b;
  }
  return nullptr;
}

bool accepts(const Builtin* b, std::size_t count) noexcept {
  return b != nullptr && count >= b->min_args && count <= b->max_args;
}

}  // namespace

std::span<const Builtin> builtin_functions() noexcept { return kFunctions; }
std::span<const Builtin> builtin_methods() noexcept { return kMethods; }
const Builtin* find_function(std::string_view name) noexcept { return find_in(kFunctions, name); }
const Builtin* find_method(std::string_view name) noexcept { return find_in(kMethods, name); }

bool is_plain_function_call(std::string_view name, std::size_t count) noexcept {
  return accepts(find_function(name), count);
}

bool is_plain_method_call(std::string_view name, std::size_t count) noexcept {
  return accepts(find_method(name), count);
}

bool is_special_method_word(std::string_view name) noexcept {
  for (std::string_view w : kSpecial) {
    if (w == name) return true;
  }
  return false;
}

}  // namespace zelvo::lang
