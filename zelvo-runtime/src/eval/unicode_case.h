// Unicode case conversion of UTF-8 text, for the to_upper/to_lower string
// methods.
//
// Contracts:
//   - Full case mappings: one character may become several ("ß" upper-cases
//     to "SS", "İ" lower-cases to "i" + U+0307). The conditional,
//     language-specific mappings are not applied, except the final-sigma
//     rule of to_lower: a capital sigma (U+03A3) becomes the final small
//     sigma (U+03C2) when, skipping case-ignorable characters, it is
//     preceded by a cased character and not followed by one.
//   - Input is expected to be valid UTF-8; a byte that does not start a
//     well-formed sequence is copied through unchanged and counts as
//     neither cased nor case-ignorable.
//   - The mappings come from the Unicode Character Database version
//     `unicode_version()`, compiled into tables; nothing is read at run time.
#pragma once

#include <string>
#include <string_view>

namespace zelvo::unicode {

std::string to_upper(std::string_view text);
std::string to_lower(std::string_view text);

// Character properties used by the final-sigma rule.
bool is_cased(char32_t cp) noexcept;
bool is_case_ignorable(char32_t cp) noexcept;

// The version of the Unicode Character Database the tables come from.
std::string_view unicode_version() noexcept;

}  // namespace zelvo::unicode
