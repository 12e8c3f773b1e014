// The trace of one expression: every sub-expression in pre-order, with its
// value and whether it decided the truth of the whole.
//
// Contracts:
//   - Nodes are numbered exactly as the compiler's source map numbers them
//     (zelvo-compiler/src/compiler.h, SourceMap): the root is 0, then each
//     child in the declared field order of its record.
//   - Values come from the evaluator's public entry point, eval_expr, on
//     each sub-expression. A node inside a quantifier's body or a count's
//     filter reads the bound element, which exists only per element: its
//     value is absent, and its text names the element by the name the
//     quantifier binds. Instead, the quantifier or count node lists the
//     elements it visits (a quantifier stops where its value is decided),
//     the first kMaxElements of them with the body's value for each.
//   - `decisive` marks the nodes that decided the root's truth: the root;
//     for `and` that is false, its first falsy operand (for `or` that is
//     true, its first truthy one; for `implies` that is true, a falsy
//     left or else the truthy right); otherwise every operand; for `not`
//     its operand; for any other kind every child with a value.
//   - Changes nothing it is given. Cost: one evaluation per node (so
//     quadratic in the depth at worst) plus the printed text of each node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "eval/eval.h"
#include "event/value.h"
#include "compiler.h"
#include "model/policy.h"

namespace zelvo::explain {

// How many visited elements a quantifier or count node lists.
inline constexpr std::size_t kMaxElements = 10;

struct ElementStep {
  Value element;
  Value body;  // the body's (or the filter's) value for this element
};

struct ExprStep {
  std::uint32_t index = 0;   // pre-order number
  std::uint32_t depth = 0;   // 0 for the root
  std::string text;          // the sub-expression as source
  std::optional<Value> value;
  bool decisive = false;
  std::optional<lang::Span> span;  // filled by explain() from a source map
  // Quantifiers and counts with a body: the name they bind ("" for none),
  // the elements visited in all, and the first kMaxElements of them (only
  // when the node itself has a value).
  std::optional<std::string> binds;
  std::uint64_t visited = 0;
  std::vector<ElementStep> elements;
};

std::vector<ExprStep> trace_expr(const IRExpr& root, const EvalContext& ctx);

}  // namespace zelvo::explain
