// The printer: a compiled policy -> its canonical source text.
//
// The layout is the canonical layout of docs/language.md; `korvanthel fmt`
// is compile, print, and the comments put back (format_source.h).
//
// Contract (lossless): for every policy P that the runtime's decoder can
// produce, compile(print_source(P)) succeeds and gives P again record for
// record (equal canonical JSON texts, policy_json.h). For every source S that
// compiles, print_source(compile(S)) is S in canonical layout, without its
// comments.
//
// Cost: linear in the output; recursion follows the depth of the
// expression trees, which the decoder and the compiler both bound.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/policy.h"

namespace zelvo::lang {

std::string print_source(const CompiledPolicy& policy);

// The printed text and where each top-level item landed in it, for the
// formatter. Lines are 0-based; `last_line` is inclusive.
struct PrintedSource {
  struct Item {
    std::uint32_t first_line = 0;
    std::uint32_t last_line = 0;
  };
  std::string text;
  Item preamble;                     // the header and the metadata lines
  std::vector<Item> rules;           // by position in CompiledPolicy::rules
  std::vector<Item> constraints;     // by position in CompiledPolicy::constraints
  std::vector<Item> machines;        // by position in CompiledPolicy::state_machines
};

PrintedSource print_source_layout(const CompiledPolicy& policy);

// One expression on its own (the layout of a `when` line at indentation
// `indent`; a decision tree spans several lines). Local slot 0 is printed
// as `local(0)`: no name is bound outside a quantifier or count.
std::string print_expr_source(const IRExpr& expr, int indent = 0);
// The same, inside a quantifier or count that binds `bound_name`: Local(0)
// without fields is printed as that name when it is an identifier.
std::string print_expr_source(const IRExpr& expr, int indent, std::string_view bound_name);

}  // namespace zelvo::lang
