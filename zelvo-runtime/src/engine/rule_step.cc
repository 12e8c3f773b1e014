#include "engine/rule_step.h"

#include "engine/actions.h"
#include "engine/verdict.h"

namespace zelvo {
namespace {

bool rule_fires(const CompiledRule& rule, const EvalContext& ctx) {
  return !rule.condition || eval_truth(*rule.condition, ctx);
}

// Room for a few rules and actions at the first of each, rather than
// growing one entry at a time.
constexpr std::size_t kFirstCapacity = 4;

void fire(const CompiledRule& rule, const EvalContext& ctx, EvalResult& result) {
  if (result.triggered_rules.empty()) result.triggered_rules.reserve(kFirstCapacity);
  if (result.actions.empty() && !rule.actions.empty()) result.actions.reserve(kFirstCapacity);
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

void run_rules(const std::vector<CompiledRule>& rules, const std::vector<std::uint32_t>* listed,
               const std::vector<std::uint32_t>& unlisted, const EvalContext& ctx, EvalResult& result) {
  auto run = [&](std::uint32_t pos) {
    const CompiledRule& rule = rules[pos];
    if (rule_fires(rule, ctx)) fire(rule, ctx, result);
  };
  auto a = unlisted.begin();
  const auto a_end = unlisted.end();
  if (listed != nullptr) {
    for (std::uint32_t pos : *listed) {
      for (; a != a_end && *a < pos; ++a) run(*a);
      run(pos);
    }
  }
  for (; a != a_end; ++a) run(*a);
}

void run_rules(const std::vector<CompiledRule>& rules, const std::vector<std::uint32_t>& walk,
               const EvalContext& ctx, EvalResult& result) {
  const CompiledRule* const base = rules.data();
  for (const std::uint32_t pos : walk) {
    const CompiledRule& rule = base[pos];
    if (rule_fires(rule, ctx)) fire(rule, ctx, result);
  }
}

}  // namespace zelvo
