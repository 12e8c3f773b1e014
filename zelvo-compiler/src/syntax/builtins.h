// The built-in functions and methods the language knows by plain name,
// with the numbers of arguments they take (docs/language.md). A call of
// another name, or with another count, must be written raw (`name`(...)).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace zelvo::lang {

struct Builtin {
  std::string_view name;
  std::size_t min_args;
  std::size_t max_args;
};

std::span<const Builtin> builtin_functions() noexcept;
std::span<const Builtin> builtin_methods() noexcept;

const Builtin* find_function(std::string_view name) noexcept;
const Builtin* find_method(std::string_view name) noexcept;

// True when `name(args)` / `obj.name(args)` with `count` arguments is a
// plain call of a built-in.
bool is_plain_function_call(std::string_view name, std::size_t count) noexcept;
bool is_plain_method_call(std::string_view name, std::size_t count) noexcept;

// The method-position words that compile to other expression kinds:
// contains, matches, starts_with, ends_with (Predicate), all, any, none,
// exists (Quantifier), count (Count).
bool is_special_method_word(std::string_view name) noexcept;

}  // namespace zelvo::lang
