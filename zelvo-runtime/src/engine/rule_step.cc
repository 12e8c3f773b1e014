#include "engine/rule_step.h"

#include "engine/actions.h"
#include "engine/verdict.h"

namespace zelvo {
namespace {

bool rule_fires(const CompiledRule& rule, const EvalContext& ctx) {
  return !rule.condition || truthy(eval_expr(*rule.condition, ctx));
}

void fire(const CompiledRule& rule, const EvalContext& ctx, EvalResult& result) {
  result.triggered_rules.push_back(rule.id);
  for (const IRVerdict& entry : rule.verdicts) apply_verdict(entry, ctx, result);
  for (const IRAction& action : rule.actions) result.actions.push_back(build_action(action, ctx));
}

}  // namespace

bool rule_selected(const CompiledRule& rule, std::string_view event_type) noexcept {
  if (rule.on_events.empty()) return true;
  for (const Str& listed : rule.on_events) {
    if (listed.view() == event_type) return true;
  }
  return false;
}

void run_rules(const std::vector<CompiledRule>& rules, const EvalContext& ctx, EvalResult& result) {
  const std::string_view event_type = ctx.event.event_type.view();
  for (const CompiledRule& rule : rules) {
    if (rule_selected(rule, event_type) && rule_fires(rule, ctx)) fire(rule, ctx, result);
  }
}

}  // namespace zelvo
