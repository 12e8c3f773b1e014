// Helpers shared by the compiler's suites.
#pragma once

#include <string>
#include <vector>

#include "compiler.h"
#include "diag/diagnostic.h"

namespace zelvo::lang::testing {

// Each diagnostic as "LINE:COL code: message [hint]", one per line.
inline std::string brief(const std::vector<Diagnostic>& ds) {
  std::string out;
  for (const Diagnostic& d : ds) {
    if (!out.empty()) out += "\n";
    out += std::to_string(d.line) + ":" + std::to_string(d.column) + " " + d.code + ": " + d.message;
    if (!d.hint.empty()) out += " [" + d.hint + "]";
  }
  return out;
}

inline constexpr const char* kHeader = "policy p severity low\n";

}  // namespace zelvo::lang::testing
