// The policy compiler: source text of a *.zelvo file -> CompiledPolicy.
//
//   CompileResult r = zelvo::lang::compile(text, "guard.zelvo");
//   if (!r.policy) { std::cerr << render_all(r.diagnostics); }
//
// Contracts:
//   - compile() never throws for any input (bad input gives diagnostics;
//     only std::bad_alloc may escape), never recurses deeper than a fixed
//     bound, and allocates in proportion to the input.
//   - `policy` is present exactly when no diagnostic is an error. A
//     present policy always loads in the engine: every expression fits the
//     JSON form's nesting limit (see docs/language.md, "Nesting").
//   - Diagnostics are in source order, at most CompileOptions::max_errors
//     errors (warnings do not count); when the limit is reached the last
//     diagnostic is a "too-many-errors" error.
//   - Cost: linear in the source size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostic.h"
#include "model/policy.h"
#include "syntax/span.h"

namespace zelvo::lang {

// The compiler's version text: metadata.compiler_version when the source
// has no `compiler_version` line (and the printer leaves that line out
// when the policy's version equals it).
inline constexpr std::string_view kCompilerVersion = "zelvo-compiler 0.1.0";

struct CompileOptions {
  std::size_t max_errors = 20;
  // False: the result's source map stays empty (no span is kept or
  // positioned), for callers that only want the model or its JSON.
  bool source_map = true;
};

struct CompileResult {
  std::optional<CompiledPolicy> policy;
  std::vector<Diagnostic> diagnostics;
  SourceMap source_map;            // filled when `policy` is present and options.source_map
  std::vector<Comment> comments;   // every comment, in source order
};

CompileResult compile(std::string_view source, std::string_view filename, const CompileOptions& options = {});

}  // namespace zelvo::lang
