#include "engine/verdict.h"

namespace zelvo {
namespace {

// A message that is not a String reads as the empty text.
Str message_text(const IRExpr& message, const EvalContext& ctx) {
  const Value value = eval_expr(message, ctx);
  const Str* text = as_text(value);
  return text != nullptr ? *text : Str();
}

}  // namespace

// Evaluating a message has no effect, so a message whose verdict is not
// adopted is not evaluated.
void apply_verdict(const IRVerdict& entry, const EvalContext& ctx, EvalResult& result) {
  if (!adopts(result.verdict, entry.verdict)) return;
  result.verdict = entry.verdict;
  if (entry.message) result.reason = message_text(**entry.message, ctx);
}

}  // namespace zelvo
