// The rule step of the evaluation pipeline: every rule, in policy order.
//
// A rule is selected when its on_events list is empty or holds the event's
// type exactly (bytes, case-sensitive; no patterns). A selected rule fires
// when it has no condition or its condition is truthy. A fired rule is
// listed in triggered_rules, applies its verdicts in order (verdict.h) and
// contributes one Action per IRAction. Severity plays no part. Rules that
// are not selected cost no expression evaluation.
//
// The engine walks the selected rules through its RuleIndex (rule_index.h),
// which yields exactly the rules that rule_selected accepts, in policy
// order, without visiting the others.
#pragma once

#include <string_view>
#include <vector>

#include "engine/result.h"
#include "engine/rule_index.h"
#include "eval/eval.h"
#include "model/policy.h"

namespace zelvo {

bool rule_selected(const CompiledRule& rule, std::string_view event_type) noexcept;

// Runs the rules at the positions of `listed` (may be null) and `unlisted`
// merged in ascending order: the rules that list the event's type and those
// that list no type. Both lists are ascending positions into `rules`.
void run_rules(const std::vector<CompiledRule>& rules, const std::vector<std::uint32_t>* listed,
               const std::vector<std::uint32_t>& unlisted, const EvalContext& ctx, EvalResult& result);
// Runs the rules at the positions of `walk` (ascending), already merged
// (RuleIndex::applying).
void run_rules(const std::vector<CompiledRule>& rules, const std::vector<std::uint32_t>& walk,
               const EvalContext& ctx, EvalResult& result);

}  // namespace zelvo
