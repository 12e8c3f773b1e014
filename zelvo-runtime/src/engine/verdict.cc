#include "engine/verdict.h"

#include <optional>
#include <string>
#include <utility>

namespace zelvo {
namespace {

std::string message_text(const IRExpr& message, const EvalContext& ctx) {
  const Value value = eval_expr(message, ctx);
  const Str* text = as_text(value);
  return text != nullptr ? text->str() : std::string();
}

}  // namespace

void apply_verdict(const IRVerdict& entry, const EvalContext& ctx, EvalResult& result) {
  std::optional<std::string> text;
  if (entry.message) text = message_text(**entry.message, ctx);
  if (!adopts(result.verdict, entry.verdict)) return;
  result.verdict = entry.verdict;
  if (text) result.reason = std::move(*text);
}

}  // namespace zelvo
