// The formatter: a source in canonical layout, its comments kept.
//
// format_source compiles the text, prints the policy (printer.h) and puts
// every comment of the source back beside the token it was written beside:
// a comment on a line of its own goes on a line of its own before the line
// that now holds the token that followed it (indented like that line); a
// comment after code goes at the end of the line that now holds the token
// before it. Tokens of the source and of the printed text are paired by a
// longest common subsequence within each rule, constraint, machine and the
// header (items are printed in model order: rules, then constraints, then
// machines), so a comment follows its token through reordering inside an
// item; an item too large for that pairing keeps its comments at its
// first line.
//
// Formatting its own output changes nothing: format_source(T) == T for
// every T it returned.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostic.h"

namespace zelvo::lang {

struct FormatResult {
  std::optional<std::string> text;       // absent when the source has errors
  std::vector<Diagnostic> diagnostics;   // the compiler's
};

FormatResult format_source(std::string_view source, std::string_view filename);

}  // namespace zelvo::lang
