// Methods of String objects. Lengths are in bytes; split, trim and the
// case conversions work on whole UTF-8 characters.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "eval/methods.h"
#include "eval/unicode_case.h"
#include "model/utf8.h"

namespace zelvo::eval {
namespace {

// The white space that trim removes: the Unicode White_Space characters.
bool is_trim_space(char32_t cp) noexcept {
  return (cp >= 0x0009 && cp <= 0x000D) || cp == 0x0020 || cp == 0x0085 || cp == 0x00A0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

Value trim(const Str& object) {
  const std::string_view text = object.view();
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const utf8::Decoded d = utf8::decode(text, begin);
    if (d.cp == utf8::kNotDecoded || !is_trim_space(d.cp)) break;
    begin += d.size;
  }
  while (end > begin) {
    const utf8::Decoded d = utf8::decode_before(text, end);
    if (d.cp == utf8::kNotDecoded || !is_trim_space(d.cp)) break;
    end -= d.size;
  }
  if (begin == 0 && end == text.size()) return Value::string(object);
  return Value::string(Str(text.substr(begin, end - begin)));
}

// A case conversion. ASCII texts (most identifiers, names and paths) are
// mapped byte by byte, short ones straight into the new Str's own storage;
// everything else goes through the full Unicode mapping.
template <char From, char To, typename Full>
Value case_mapped(const Str& object, Full&& full) {
  const std::string_view text = object.view();
  const auto map = [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return static_cast<char>(b >= From && b <= From + 25 ? b - From + To : b);
  };
  if (!std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return Value::string(Str(full(text)));
  }
  if (text.size() <= Str::kInlineCapacity) {
    char mapped[Str::kInlineCapacity];
    std::transform(text.begin(), text.end(), mapped, map);
    return Value::string(Str(std::string_view(mapped, text.size())));
  }
  std::string mapped(text);
  std::transform(mapped.begin(), mapped.end(), mapped.begin(), map);
  return Value::string(Str(mapped));
}

// An empty separator yields "", each character, then "" again.
ValueList split_characters(std::string_view text) {
  ValueList pieces;
  pieces.emplace_back(Value::string(Str()));
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8::decode(text, i).size;
    pieces.push_back(Value::string(Str(text.substr(i, n))));
    i += n;
  }
  pieces.emplace_back(Value::string(Str()));
  return pieces;
}

// Non-overlapping occurrences, left to right; empty pieces are kept.
ValueList split_on(std::string_view text, std::string_view separator) {
  ValueList pieces;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(separator, start)) != std::string_view::npos;) {
    pieces.push_back(Value::string(Str(text.substr(start, at - start))));
    start = at + separator.size();
  }
  pieces.push_back(Value::string(Str(text.substr(start))));
  return pieces;
}

// The separator is a0's text, or "," when a0 is missing or not a String.
Value split(const Str& object, std::span<const Operand> args) {
  const Str* given = args.empty() ? nullptr : as_text(args[0].get());
  const std::string_view separator = given != nullptr ? given->view() : std::string_view(",");
  return Value::list(separator.empty() ? split_characters(object.view()) : split_on(object.view(), separator));
}

}  // namespace

Value string_method(const Str& object, std::string_view method, std::span<const Operand> args) {
  if (method == "len" || method == "length") return Value::integer(static_cast<std::int64_t>(object.size()));
  if (method == "is_empty") return Value::boolean(object.empty());
  if (method == "trim") return trim(object);
  if (method == "to_upper" || method == "to_uppercase") return case_mapped<'a', 'A'>(object, unicode::to_upper);
  if (method == "to_lower" || method == "to_lowercase") return case_mapped<'A', 'a'>(object, unicode::to_lower);
  if (method == "split") return split(object, args);
  return Value();
}

}  // namespace zelvo::eval
