// The rule step of the evaluation pipeline: every rule, in policy order.
//
// A rule is selected when its on_events list is empty or holds the event's
// type exactly (bytes, case-sensitive; no patterns). A selected rule fires
// when it has no condition or its condition is truthy. A fired rule is
// listed in triggered_rules, applies its verdicts in order (verdict.h) and
// contributes one Action per IRAction. Severity plays no part. Rules that
// are not selected cost no expression evaluation.
#pragma once

#include <string_view>
#include <vector>

#include "engine/result.h"
#include "eval/eval.h"
#include "model/policy.h"

namespace zelvo {

bool rule_selected(const CompiledRule& rule, std::string_view event_type) noexcept;

void run_rules(const std::vector<CompiledRule>& rules, const EvalContext& ctx, EvalResult& result);

}  // namespace zelvo
